// Little-endian reads from byte views. WIFF streams put 64-bit floats at
// unaligned offsets, so every read goes through memcpy; the caller checks the
// range once (`has_bytes`) and the loads themselves are unchecked.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace corvex::raw {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

static_assert(std::endian::native == std::endian::little,
              "the decoders load little-endian fields with plain copies");

// True when [offset, offset + count) lies inside `bytes`, without overflow.
constexpr bool has_bytes(ByteView bytes, std::size_t offset, std::size_t count) noexcept {
    return offset <= bytes.size() && count <= bytes.size() - offset;
}

template <class T>
inline T load_le(const std::uint8_t* at) noexcept {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

inline std::uint16_t load_u16(ByteView bytes, std::size_t offset) noexcept {
    return load_le<std::uint16_t>(bytes.data() + offset);
}
inline std::uint32_t load_u32(ByteView bytes, std::size_t offset) noexcept {
    return load_le<std::uint32_t>(bytes.data() + offset);
}
inline std::int32_t load_i32(ByteView bytes, std::size_t offset) noexcept {
    return load_le<std::int32_t>(bytes.data() + offset);
}
inline std::uint64_t load_u64(ByteView bytes, std::size_t offset) noexcept {
    return load_le<std::uint64_t>(bytes.data() + offset);
}
inline float load_f32(ByteView bytes, std::size_t offset) noexcept {
    return load_le<float>(bytes.data() + offset);
}
inline double load_f64(ByteView bytes, std::size_t offset) noexcept {
    return load_le<double>(bytes.data() + offset);
}

}  // namespace corvex::raw
