// UTF-16LE to UTF-8, the two ways the WIFF streams need it: parameter names
// must be well-formed, while free log text is decoded whatever it holds.
#pragma once

#include <optional>
#include <string>

#include "corvex/raw/bytes.hpp"

namespace corvex::raw {

// Decodes the code units of `bytes` (a final odd byte is ignored); an
// unpaired surrogate makes the whole text absent.
std::optional<std::string> decode_utf16le_strict(ByteView bytes);

// Same, but every unpaired surrogate becomes U+FFFD. Never fails.
std::string decode_utf16le_lossy(ByteView bytes);

}  // namespace corvex::raw
