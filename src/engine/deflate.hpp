// Whole buffers as zlib streams (RFC 1950), the compression every mzML
// reader decodes. ISA-L does the work: it picks its routines for the CPU
// when the library loads, and at level 3 it is about as fast as its level 1
// and compresses MS arrays best (README: deflate).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvex::engine {

class ZlibCompressor {
public:
    static constexpr int default_level = 3;

    // Levels 0 to 3; a level outside that range makes every compress() fail.
    explicit ZlibCompressor(int level = default_level);

    // The most bytes compress() writes for `size` input bytes.
    static std::size_t bound(std::size_t size) noexcept;

    // Compresses `size` bytes at `data` into `out` (room for `capacity`
    // bytes, at least bound(size)) as one zlib stream; returns its length,
    // or 0 when it could not: too little room, a bad level, or an input of
    // 4 GiB or more. A stream is never empty, so 0 is never a length.
    std::size_t compress(const void* data, std::size_t size, unsigned char* out, std::size_t capacity) noexcept;

    int level() const noexcept { return level_; }

private:
    int level_;
    std::vector<std::uint8_t> level_buffer_;  // the level's hash tables, reused by every call
};

}  // namespace corvex::engine
