#include "corvex/text.hpp"

#include <cstdint>

namespace corvex {

namespace {
constexpr std::string_view replacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence starting at `i`, or the length of the
// maximal prefix of one (as a negative number) when it is invalid, so that
// each maximal invalid subpart becomes one replacement character.
int sequence_length(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
    const std::uint8_t lead = byte(i);
    if (lead < 0x80) return 1;
    int need;
    std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return -1;
    }
    for (int k = 1; k <= need; ++k) {
        if (i + k >= s.size()) return -k;
        const std::uint8_t b = byte(i + k);
        const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
        if (!ok) return -k;
    }
    return need + 1;
}
}  // namespace

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const int length = sequence_length(bytes, i);
        if (length > 0) {
            out.append(bytes.substr(i, static_cast<std::size_t>(length)));
            i += static_cast<std::size_t>(length);
        } else {
            out.append(replacement);
            i += static_cast<std::size_t>(-length);
        }
    }
    return out;
}

}  // namespace corvex
