// Little-endian byte buffers for decoder tests: fields are poked at explicit
// offsets so each test states the layout it exercises.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace corvex::test {

struct ByteBuilder {
    std::vector<std::uint8_t> bytes;

    explicit ByteBuilder(std::size_t size, std::uint8_t fill = 0) : bytes(size, fill) {}

    template <class T>
    ByteBuilder& put(std::size_t offset, T value) {
        if (bytes.size() < offset + sizeof value) bytes.resize(offset + sizeof value);
        std::memcpy(bytes.data() + offset, &value, sizeof value);
        return *this;
    }

    // ASCII text as UTF-16LE code units.
    ByteBuilder& put_utf16(std::size_t offset, std::string_view ascii) {
        for (std::size_t i = 0; i < ascii.size(); ++i) {
            put<std::uint16_t>(offset + 2 * i, static_cast<std::uint8_t>(ascii[i]));
        }
        return *this;
    }
};

// A copy of `bytes` cut (or zero-extended) to `length`.
inline std::vector<std::uint8_t> resized(std::vector<std::uint8_t> bytes, std::size_t length) {
    bytes.resize(length);
    return bytes;
}

// A copy of `bytes` with one field overwritten.
template <class T>
std::vector<std::uint8_t> patched(std::vector<std::uint8_t> bytes, std::size_t offset, T value) {
    ByteBuilder b(0);
    b.bytes = std::move(bytes);
    return b.put<T>(offset, value).bytes;
}

// A whole text as UTF-16LE bytes.
inline std::vector<std::uint8_t> utf16le(std::string_view ascii) {
    return ByteBuilder(0).put_utf16(0, ascii).bytes;
}

}  // namespace corvex::test
