#include "corvex/raw/idx.hpp"

namespace corvex::raw {

DecodeResult<std::vector<IdxRecord>> IdxRecord::parse_stream(ByteView bytes) {
    if (bytes.size() < header_size) {
        return lumora::fail(DecodeError{"Idx stream too short for header"});
    }
    const std::size_t slots = (bytes.size() - header_size) / record_size;

    std::vector<IdxRecord> records;
    // Real indexes rarely skip slots, but a quarter keeps a hostile stream of
    // empty slots from costing a full-size allocation.
    records.reserve(slots / 4);

    const std::uint8_t* slot = bytes.data() + header_size;
    for (std::size_t i = 0; i < slots; ++i, slot += record_size) {
        const auto scan_size = load_le<std::uint32_t>(slot + 4);
        if (scan_size <= min_scan_size_exclusive) continue;
        records.push_back(IdxRecord{
            .scan_offset = load_le<std::uint32_t>(slot),
            .scan_size = scan_size,
            .retention_time_min = load_le<float>(slot + 12),
            .ms_level = slot[16] == 1 ? 1U : 2U,
            .tic = load_le<double>(slot + 18),
        });
    }
    if (records.empty()) {
        return lumora::fail(DecodeError{"Idx stream contained no valid scan records"});
    }
    return records;
}

}  // namespace corvex::raw
