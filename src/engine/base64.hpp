// Standard base64 (RFC 4648 alphabet, '=' padding, no line breaks), the
// text form of mzML's binary arrays. OpenSSL's EVP_EncodeBlock does the
// work (README: base64).
#pragma once

#include <cstddef>
#include <string>

namespace corvex::engine {

constexpr std::size_t base64_length(std::size_t size) noexcept { return (size + 2) / 3 * 4; }

// Appends the base64 text of `size` bytes at `data` to `out`.
void append_base64(std::string& out, const void* data, std::size_t size);

}  // namespace corvex::engine
