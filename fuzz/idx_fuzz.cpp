#include <cstdlib>

#include "corvex/raw/idx.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using corvex::raw::IdxRecord;
    const auto result = IdxRecord::parse_stream(corvex::raw::ByteView(data, size));
    if (!result.ok()) return 0;
    const auto& records = result.value();
    if (records.empty() || records.size() > (size - IdxRecord::header_size) / IdxRecord::record_size) std::abort();
    for (const IdxRecord& r : records) {
        if (r.scan_size <= IdxRecord::min_scan_size_exclusive || (r.ms_level != 1 && r.ms_level != 2)) std::abort();
    }
    return 0;
}
