// Precursors chosen in data-dependent acquisition, one record per survey
// scan, from the optional DDERealTimeDataEx stream.
#pragma once

#include <cstddef>
#include <vector>

#include "corvex/raw/bytes.hpp"

namespace corvex::raw {

struct DdeRecord {
    double precursor_mz = 0.0;

    static constexpr std::size_t header_size = 32;
    static constexpr std::size_t record_size = 76;

    // Every whole record after the header, in stream order, values kept as
    // stored (zero, negative, NaN). Never fails: a short stream gives none.
    static std::vector<DdeRecord> parse_stream(ByteView bytes);

    friend bool operator==(const DdeRecord&, const DdeRecord&) = default;
};

}  // namespace corvex::raw
