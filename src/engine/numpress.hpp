// MS-Numpress codings of peak arrays, through the reference library
// (libmsnumpress): linear prediction for m/z, positive integers or short
// logged floats for intensities. Each is lossy within a known bound; the
// fixed point each array is coded with is the most precise one its values
// allow, and it travels in the array's first 8 bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace corvex::engine {

enum class Numpress {
    linear,  // |error| <= 0.5 / fixed point
    pic,     // rounded to the nearest integer: |error| <= 0.5; values 0 to 2^31 - 1
    slof,    // log(x + 1) as 16-bit fixed point: relative error of x + 1 <= exp(0.5 / fixed point) - 1; x >= 0
};

// Replaces `out` with the coding of `values`. Returns what is wrong when a
// value cannot be coded (not finite, or outside the coding's range), and
// leaves `out` empty then.
std::optional<std::string> numpress_encode(Numpress coding, std::span<const double> values,
                                           std::vector<unsigned char>& out);

}  // namespace corvex::engine
