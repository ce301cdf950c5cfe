#include "engine/deflate.hpp"

#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <limits>

namespace corvex::engine {

namespace {

std::size_t level_buffer_size(int level) {
    switch (level) {
        case 1: return ISAL_DEF_LVL1_DEFAULT;
        case 2: return ISAL_DEF_LVL2_DEFAULT;
        case 3: return ISAL_DEF_LVL3_DEFAULT;
        default: return 0;
    }
}

}  // namespace

DeflateCodes::DeflateCodes(std::span<const std::byte> sample) {
    isal_huff_histogram histogram{};
    // The histogram takes an int length: a sample is counted in pieces.
    constexpr std::size_t piece = std::size_t{1} << 30;
    for (std::size_t at = 0; at < sample.size(); at += piece) {
        const std::size_t length = std::min(piece, sample.size() - at);
        // ISA-L takes a non-const pointer but does not write through it.
        auto* bytes = reinterpret_cast<std::uint8_t*>(const_cast<std::byte*>(sample.data() + at));
        isal_update_histogram(bytes, static_cast<int>(length), &histogram);
    }
    auto tables = std::make_shared<isal_hufftables>();
    isal_create_hufftables(tables.get(), &histogram);
    tables_ = std::move(tables);
}

ZlibCompressor::ZlibCompressor(int level) : level_(level), level_buffer_(level_buffer_size(level)) {}

std::size_t ZlibCompressor::bound(std::size_t size) noexcept {
    // Incompressible input falls back to stored blocks: the input plus 5
    // bytes per block of up to 64 KiB (one per KiB allowed, to spare), the
    // stream's 2-byte header and 4-byte checksum, and the largest block
    // header ISA-L may write before it gives up compressing.
    return size + (size >> 10) + ISAL_DEF_MAX_HDR_SIZE + 64;
}

std::size_t ZlibCompressor::compress(const void* data, std::size_t size, unsigned char* out,
                                     std::size_t capacity, const DeflateCodes* codes) noexcept {
    constexpr std::size_t most = std::numeric_limits<std::uint32_t>::max();
    if (level_ < 0 || level_ > ISAL_DEF_MAX_LEVEL || size >= most) return 0;
    isal_zstream stream;
    isal_deflate_stateless_init(&stream);
    stream.gzip_flag = IGZIP_ZLIB;
    if (codes != nullptr) {
        // Level 0 codes with the stream's tables as they are; ISA-L only reads them.
        stream.level = 0;
        stream.hufftables = const_cast<isal_hufftables*>(codes->tables_.get());
    } else {
        stream.level = static_cast<std::uint32_t>(level_);
        stream.level_buf = level_buffer_.empty() ? nullptr : level_buffer_.data();
        stream.level_buf_size = static_cast<std::uint32_t>(level_buffer_.size());
    }
    // ISA-L takes a non-const pointer but does not write through it.
    stream.next_in = static_cast<std::uint8_t*>(const_cast<void*>(data));
    stream.avail_in = static_cast<std::uint32_t>(size);
    stream.next_out = out;
    stream.avail_out = static_cast<std::uint32_t>(capacity < most ? capacity : most);
    stream.end_of_stream = 1;
    stream.flush = NO_FLUSH;
    if (isal_deflate_stateless(&stream) != COMP_OK) return 0;
    return stream.total_out;
}

}  // namespace corvex::engine
