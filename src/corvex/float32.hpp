// Rounding a double to the nearest float without undefined behaviour: a
// plain conversion of a finite value beyond the float range is undefined in
// C++, while IEEE rounding sends it to infinity.
#pragma once

#include <limits>

namespace corvex {

inline float round_to_float(double value) noexcept {
    constexpr double max = std::numeric_limits<float>::max();
    // FLT_MAX is 0x1.fffffep+127; values from halfway to the next power of
    // two on round to infinity, values below it to FLT_MAX.
    constexpr double overflow = 0x1.ffffffp+127;
    if (value >= overflow) return std::numeric_limits<float>::infinity();
    if (value <= -overflow) return -std::numeric_limits<float>::infinity();
    if (value > max) return std::numeric_limits<float>::max();
    if (value < -max) return -std::numeric_limits<float>::max();
    return static_cast<float>(value);
}

}  // namespace corvex
