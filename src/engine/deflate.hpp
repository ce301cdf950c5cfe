// Whole buffers as zlib streams (RFC 1950), the compression every mzML
// reader decodes. ISA-L does the work: it picks its routines for the CPU
// when the library loads.
//
// A stream of its own builds its own Huffman codes, at level 3 by default,
// which compresses MS arrays best of ISA-L's levels. Arrays alike (a run's
// m/z arrays, its intensity arrays) can instead share codes made once from
// a sample of them: they are then coded at level 0, without building codes
// per stream, several times faster on arrays of a few kilobytes and within
// about 2 % of level 3's size (README: deflate).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct isal_hufftables;

namespace corvex::engine {

// Huffman codes made from sample bytes; every byte value, length and
// distance gets a code, so any input can be coded with them. Immutable:
// any number of threads may use one at once.
class DeflateCodes {
public:
    explicit DeflateCodes(std::span<const std::byte> sample);

private:
    friend class ZlibCompressor;
    std::shared_ptr<const isal_hufftables> tables_;
};

class ZlibCompressor {
public:
    static constexpr int default_level = 3;

    // Levels 0 to 3; a level outside that range makes every compress() fail.
    explicit ZlibCompressor(int level = default_level);

    // The most bytes compress() writes for `size` input bytes.
    static std::size_t bound(std::size_t size) noexcept;

    // Compresses `size` bytes at `data` into `out` (room for `capacity`
    // bytes, at least bound(size)) as one zlib stream, with `codes` when
    // given, else at this compressor's level; returns its length, or 0 when
    // it could not: too little room, a bad level, or an input of 4 GiB or
    // more. A stream is never empty, so 0 is never a length.
    std::size_t compress(const void* data, std::size_t size, unsigned char* out, std::size_t capacity,
                         const DeflateCodes* codes = nullptr) noexcept;

    int level() const noexcept { return level_; }

private:
    int level_;
    std::vector<std::uint8_t> level_buffer_;  // the level's hash tables, reused by every call
};

}  // namespace corvex::engine
