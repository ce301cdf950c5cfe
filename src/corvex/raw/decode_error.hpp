// The error of a decoder that can refuse its input: what in the bytes it
// could not accept. The reader turns it into its own error.
#pragma once

#include <string>

#include "lumora/result.hpp"

namespace corvex::raw {

struct DecodeError {
    std::string message;

    const std::string& display() const noexcept { return message; }
};

template <class T>
using DecodeResult = lumora::Result<T, DecodeError>;

}  // namespace corvex::raw
