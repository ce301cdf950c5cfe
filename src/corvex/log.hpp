// A minimal logging facade. The library emits records; a host may attach a
// sink and raise the maximum level. As shipped the level is Off, so records
// are neither formatted nor written.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace corvex::log {

enum class Level { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

using Sink = std::function<void(Level level, std::string_view target, std::string_view message)>;

void set_sink(Sink sink);
void set_max_level(Level level);
Level max_level() noexcept;

// Writes one record to the sink, if any. Callers test `enabled` first so that
// a disabled level costs no formatting.
void write(Level level, std::string_view target, std::string_view message);

inline bool enabled(Level level) noexcept {
    return level != Level::Off && static_cast<int>(level) <= static_cast<int>(max_level());
}

template <class MakeMessage>
void warn(std::string_view target, MakeMessage&& make_message) {
    if (enabled(Level::Warn)) write(Level::Warn, target, make_message());
}

}  // namespace corvex::log
