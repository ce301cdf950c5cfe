#include "corvex/raw/utf16.hpp"

namespace corvex::raw {

namespace {

constexpr char32_t replacement_character = 0xFFFD;

inline bool is_high_surrogate(std::uint32_t unit) noexcept { return unit >= 0xD800 && unit <= 0xDBFF; }
inline bool is_low_surrogate(std::uint32_t unit) noexcept { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Writes one scalar value; `out` must have room for 4 bytes.
inline char* put_utf8(char* out, char32_t cp) noexcept {
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

// One pass over the code units. A lone unit never takes more than 3 UTF-8
// bytes and a surrogate pair (2 units) takes 4, so 3 bytes per unit bounds
// the output: the buffer is sized once and trimmed at the end.
template <bool Lossy>
std::optional<std::string> decode(ByteView bytes) {
    const std::size_t units = bytes.size() / 2;
    std::string text(units * 3, '\0');
    char* out = text.data();
    const std::uint8_t* in = bytes.data();
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint32_t unit = load_le<std::uint16_t>(in + 2 * i);
        char32_t cp = unit;
        if (is_high_surrogate(unit) && i + 1 < units) {
            const std::uint32_t next = load_le<std::uint16_t>(in + 2 * (i + 1));
            if (is_low_surrogate(next)) {
                cp = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
                ++i;
                out = put_utf8(out, cp);
                continue;
            }
        }
        if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
            if constexpr (!Lossy) return std::nullopt;
            cp = replacement_character;
        }
        out = put_utf8(out, cp);
    }
    text.resize(static_cast<std::size_t>(out - text.data()));
    return text;
}

}  // namespace

std::optional<std::string> decode_utf16le_strict(ByteView bytes) { return decode<false>(bytes); }

std::string decode_utf16le_lossy(ByteView bytes) { return *decode<true>(bytes); }

}  // namespace corvex::raw
