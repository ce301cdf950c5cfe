// Rounding a double to the nearest float without undefined behaviour: a
// plain conversion of a finite value beyond the float range is undefined in
// C++, while IEEE rounding sends it to infinity.
#pragma once

#include <cmath>
#include <limits>

namespace corvex {

inline float round_to_float(double value) noexcept {
    constexpr double max = std::numeric_limits<float>::max();
    // Halfway between FLT_MAX and the next power of two still rounds down.
    constexpr double overflow = max + std::ldexp(1.0, 103);
    if (value >= overflow) return std::numeric_limits<float>::infinity();
    if (value <= -overflow) return -std::numeric_limits<float>::infinity();
    if (value > max) return std::numeric_limits<float>::max();
    if (value < -max) return -std::numeric_limits<float>::max();
    return static_cast<float>(value);
}

}  // namespace corvex
