// The run's creation time, from the root summary-information property set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "corvex/raw/bytes.hpp"

namespace corvex::raw {

// The creation-time property (identifier 12) of the first property set, as
// RFC 3339 UTC text. Never fails: any shortfall gives no text.
std::optional<std::string> parse_create_timestamp(ByteView stream);

// YYYY-MM-DDTHH:MM:SSZ, or with ".mmm" before the Z when the time has a
// millisecond part (finer ticks are truncated). Defined for every input,
// including FILETIMEs with the top bit set, which give years before 1601.
std::string filetime_to_rfc3339(std::int64_t filetime);

}  // namespace corvex::raw
