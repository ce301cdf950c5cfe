#include <cstdlib>

#include "corvex/raw/dde.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using corvex::raw::DdeRecord;
    const auto records = DdeRecord::parse_stream(corvex::raw::ByteView(data, size));
    const std::size_t expected = size < 108 ? 0 : (size - 32) / 76;
    if (records.size() != expected) std::abort();
    return 0;
}
