// Text conversions for messages and names read from files.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace corvex {

// `bytes` as UTF-8, each maximal invalid sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// A path as message text: its bytes, with invalid UTF-8 replaced.
inline std::string to_display_text(const std::filesystem::path& path) {
    return utf8_lossy(path.native());
}

}  // namespace corvex
