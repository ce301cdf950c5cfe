// Identity of the mass spectrometer, from the sample's UTF-16LE Log stream,
// and its PSI-MS instrument-model term.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "corvex/raw/bytes.hpp"
#include "lumora/cv.hpp"

namespace corvex::raw {

struct InstrumentInfo {
    std::string component_id;
    std::optional<std::string> manufacturer;  // always present in a decoded record
    std::optional<std::string> model_number;
    std::optional<std::string> serial_number;

    friend bool operator==(const InstrumentInfo&, const InstrumentInfo&) = default;
};

// The first "Mass Spectrometer:" section of the log whose manufacturer names
// SCIEX and which has a component id. Never fails: anything short of that
// gives no record.
std::optional<InstrumentInfo> parse_instrument_info(ByteView log_stream);

// The value after the first occurrence of `label` in `section`, up to the next
// CR, LF or comma, trimmed of Unicode white space; absent when the label is
// missing or the value is empty. Text is UTF-8.
std::optional<std::string> extract_field(std::string_view section, std::string_view label);

// Lookup key form of a model name: Unicode white space dropped, ASCII letters
// upper-cased, everything else kept.
std::string normalize(std::string_view text);

// The instrument-model term of a component id ("TripleTOF 5600+ System"
// resolves like "TripleTOF 5600+"); none for a model outside the table.
std::optional<lumora::cv::Term> resolve_cv_term(std::string_view component_id);

}  // namespace corvex::raw
