// The WIFF reader's error: what goes wrong while listing or opening a sample
// and while reading its scans.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "lumora/error.hpp"
#include "lumora/result.hpp"

namespace corvex {

using lumora::IoError;
using lumora::IoErrorKind;

class Error {
public:
    struct Io {
        IoError error;
    };
    struct Parse {
        std::string message;
    };
    struct ScanRead {
        std::uint32_t scan_number;  // 1-based position among the sample's Idx records
        std::uint64_t offset;       // the scan's offset as its Idx record gives it
        IoError source;
    };

    static Error io(IoError error) { return Error(Io{std::move(error)}); }
    static Error parse(std::string message) { return Error(Parse{std::move(message)}); }
    static Error scan_read(std::uint32_t scan_number, std::uint64_t offset, IoError source) {
        return Error(ScanRead{scan_number, offset, std::move(source)});
    }

    const std::variant<Io, Parse, ScanRead>& kind() const noexcept { return kind_; }
    template <class Kind>
    const Kind* as() const noexcept { return std::get_if<Kind>(&kind_); }

    std::string display() const;
    // Kind and fields, for diagnostics: Io("..."), Parse("..."),
    // ScanRead { scan_number: 3, offset: 400, source: "..." }.
    std::string debug() const;
    // The I/O error underneath: the Io error itself, a ScanRead's source; none for Parse.
    const IoError* cause() const noexcept;

private:
    template <class Kind>
    explicit Error(Kind kind) : kind_(std::move(kind)) {}

    std::variant<Io, Parse, ScanRead> kind_;
};

template <class T>
using Result = lumora::Result<T, Error>;
using lumora::fail;

// A reader error handed out through the source interface.
inline lumora::Error to_record_error(Error error) {
    return lumora::Error::vendor(std::move(error));
}

}  // namespace corvex
