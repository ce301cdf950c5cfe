#include "corvex/raw/instrument_log.hpp"

#include <array>

#include "corvex/raw/utf16.hpp"

namespace corvex::raw {

namespace {

constexpr std::string_view section_label = "Mass Spectrometer:";

struct InstrumentModel {
    std::string_view key;  // normalize() of the term's name
    lumora::cv::Term term;
};

constexpr std::array<InstrumentModel, 7> instrument_models{{
    {"QTRAP5500", lumora::cv::qtrap_5500},
    {"QTRAP6500", lumora::cv::qtrap_6500},
    {"QTRAP6500+", lumora::cv::qtrap_6500_plus},
    {"TRIPLETOF5600", lumora::cv::triple_tof_5600},
    {"TRIPLETOF5600+", lumora::cv::triple_tof_5600_plus},
    {"TRIPLETOF6600", lumora::cv::triple_tof_6600},
    {"ZENOTOF7600", lumora::cv::zeno_tof_7600},
}};

constexpr std::uint8_t byte_at(std::string_view text, std::size_t i) noexcept {
    return static_cast<std::uint8_t>(text[i]);
}

// Byte length of the White_Space character that starts `text`, or 0. The
// multi-byte members all have lead bytes C2, E1, E2 or E3, which never occur
// inside another character, so matching byte patterns is exact.
constexpr std::size_t leading_space(std::string_view text) noexcept {
    if (text.empty()) return 0;
    const std::uint8_t b0 = byte_at(text, 0);
    if (b0 == 0x20 || (b0 >= 0x09 && b0 <= 0x0D)) return 1;
    if (b0 < 0xC2 || text.size() < 2) return 0;
    const std::uint8_t b1 = byte_at(text, 1);
    if (b0 == 0xC2) return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;  // U+0085, U+00A0
    if (text.size() < 3) return 0;
    const std::uint8_t b2 = byte_at(text, 2);
    switch (b0) {
        case 0xE1: return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;  // U+1680
        case 0xE2:
            if (b1 == 0x80) {
                // U+2000..U+200A, U+2028, U+2029, U+202F
                const bool space = b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF;
                return (b2 >= 0x80 && space) ? 3 : 0;
            }
            return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;  // U+205F
        case 0xE3: return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;  // U+3000
        default: return 0;
    }
}

// Byte length of the White_Space character that ends `text`, or 0.
constexpr std::size_t trailing_space(std::string_view text) noexcept {
    for (std::size_t width = 1; width <= 3 && width <= text.size(); ++width) {
        if (leading_space(text.substr(text.size() - width)) == width) return width;
    }
    return 0;
}

std::string_view trim(std::string_view text) noexcept {
    while (const std::size_t n = leading_space(text)) text.remove_prefix(n);
    while (const std::size_t n = trailing_space(text)) text.remove_suffix(n);
    return text;
}

constexpr char ascii_lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char ascii_upper(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool names_sciex(std::string_view manufacturer) {
    std::string lowered(manufacturer);
    for (char& c : lowered) c = ascii_lower(c);
    return lowered.find("sciex") != std::string::npos;
}

std::optional<InstrumentInfo> read_section(std::string_view section) {
    auto manufacturer = extract_field(section, "Manufacturer:");
    if (!manufacturer || !names_sciex(*manufacturer)) return std::nullopt;
    auto component_id = extract_field(section, "Component ID:");
    if (!component_id) component_id = extract_field(section, "Component Id:");
    if (!component_id) return std::nullopt;
    return InstrumentInfo{
        .component_id = std::move(*component_id),
        .manufacturer = std::move(manufacturer),
        .model_number = extract_field(section, "Model:"),
        .serial_number = extract_field(section, "Serial Number:"),
    };
}

}  // namespace

std::optional<InstrumentInfo> parse_instrument_info(ByteView log_stream) {
    // Labels are ASCII and UTF-8 is self-synchronising, so searching the UTF-8
    // text byte-wise finds exactly the occurrences a search by character would.
    const std::string text = decode_utf16le_lossy(log_stream);
    const std::string_view view = text;

    std::size_t start = view.find(section_label);
    while (start != std::string_view::npos) {
        const std::size_t after_label = start + section_label.size();
        const std::size_t next = view.find(section_label, after_label);
        const std::string_view section =
            view.substr(start, next == std::string_view::npos ? std::string_view::npos : next - start);
        if (auto info = read_section(section)) return info;
        start = next;
    }
    return std::nullopt;
}

std::optional<std::string> extract_field(std::string_view section, std::string_view label) {
    const std::size_t at = section.find(label);
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view value = section.substr(at + label.size());
    value = value.substr(0, value.find_first_of("\n\r,"));
    value = trim(value);
    if (value.empty()) return std::nullopt;
    return std::string(value);
}

std::string normalize(std::string_view text) {
    std::string key;
    key.reserve(text.size());
    while (!text.empty()) {
        if (const std::size_t n = leading_space(text)) {
            text.remove_prefix(n);
            continue;
        }
        key.push_back(ascii_upper(text.front()));
        text.remove_prefix(1);
    }
    return key;
}

std::optional<lumora::cv::Term> resolve_cv_term(std::string_view component_id) {
    constexpr std::string_view system_suffix = "SYSTEM";
    std::string key = normalize(component_id);
    if (key.ends_with(system_suffix)) key.resize(key.size() - system_suffix.size());
    for (const InstrumentModel& model : instrument_models) {
        if (model.key == key) return model.term;
    }
    return std::nullopt;
}

}  // namespace corvex::raw
