#include "engine/base64.hpp"

#include <openssl/evp.h>

namespace corvex::engine {

void append_base64(std::string& out, const void* data, std::size_t size) {
    // EVP_EncodeBlock takes an int length and ends its text with a NUL: encode
    // whole 3-byte groups a chunk at a time, each NUL overwritten by the next
    // chunk and the last one cut off.
    constexpr std::size_t chunk = 3 << 20;
    const std::size_t start = out.size();
    out.resize(start + base64_length(size) + 1);
    auto* to = reinterpret_cast<unsigned char*>(out.data() + start);
    const auto* from = static_cast<const unsigned char*>(data);
    for (std::size_t done = 0; done < size;) {
        const std::size_t n = size - done < chunk ? size - done : chunk;
        to += EVP_EncodeBlock(to, from + done, static_cast<int>(n));
        done += n;
    }
    out.resize(start + base64_length(size));
}

}  // namespace corvex::engine
