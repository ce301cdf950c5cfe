#include "corvex/raw/dde.hpp"

namespace corvex::raw {

std::vector<DdeRecord> DdeRecord::parse_stream(ByteView bytes) {
    if (bytes.size() < header_size + record_size) return {};
    const std::size_t count = (bytes.size() - header_size) / record_size;

    std::vector<DdeRecord> records(count);
    const std::uint8_t* record = bytes.data() + header_size;
    for (std::size_t i = 0; i < count; ++i, record += record_size) {
        records[i].precursor_mz = load_le<double>(record + 4);
    }
    return records;
}

}  // namespace corvex::raw
