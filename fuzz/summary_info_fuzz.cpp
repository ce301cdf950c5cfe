#include <cstdlib>
#include <cstring>

#include "corvex/raw/summary_info.hpp"

namespace {

// Every rendering is YYYY-MM-DDTHH:MM:SS[.mmm]Z with a year of at least four
// characters.
bool well_shaped(const std::string& text) {
    const std::size_t t = text.find('T');
    if (t == std::string::npos || t < 10 || text.back() != 'Z') return false;
    const std::size_t tail = text.size() - t;
    return tail == 10 || tail == 14;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvex::raw;
    if (const auto text = parse_create_timestamp(ByteView(data, size)); text && !well_shaped(*text)) std::abort();
    if (size >= 8) {
        std::int64_t filetime;
        std::memcpy(&filetime, data, sizeof filetime);
        if (!well_shaped(filetime_to_rfc3339(filetime))) std::abort();
    }
    return 0;
}
