// The sample's scan index: one fixed-size record per acquired scan, in
// acquisition order.
#pragma once

#include <cstdint>
#include <vector>

#include "corvex/raw/bytes.hpp"
#include "corvex/raw/decode_error.hpp"

namespace corvex::raw {

struct IdxRecord {
    std::uint32_t scan_offset = 0;  // byte offset of the scan's block in the scan data file
    std::uint32_t scan_size = 0;    // size of that block in bytes
    float retention_time_min = 0.0F;
    std::uint32_t ms_level = 0;     // 1, or 2 for every other stored code
    double tic = 0.0;               // total ion current as recorded in the index (counts/s)

    static constexpr std::size_t header_size = 32;
    static constexpr std::size_t record_size = 54;
    // A block of this size or less cannot hold any peak data; its slot is skipped.
    static constexpr std::uint32_t min_scan_size_exclusive = 56;

    // Decodes the whole Idx stream. The list is never empty: a stream too
    // short for its header, or one without a usable slot, is an error.
    static DecodeResult<std::vector<IdxRecord>> parse_stream(ByteView bytes);

    friend bool operator==(const IdxRecord&, const IdxRecord&) = default;
};

}  // namespace corvex::raw
