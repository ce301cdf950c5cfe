#include <cstdlib>
#include <string_view>

#include "corvex/raw/instrument_log.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvex::raw;
    const auto info = parse_instrument_info(ByteView(data, size));
    if (info) {
        if (info->component_id.empty() || !info->manufacturer || info->manufacturer->empty()) std::abort();
        if (info->model_number && info->model_number->empty()) std::abort();
        (void)resolve_cv_term(info->component_id);
    }
    // The text functions take any bytes, valid UTF-8 or not.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string key = normalize(text);
    if (key.size() > size) std::abort();
    (void)resolve_cv_term(text);
    if (const auto field = extract_field(text, "Model:"); field && field->empty()) std::abort();
    return 0;
}
