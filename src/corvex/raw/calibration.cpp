#include "corvex/raw/calibration.hpp"

namespace corvex::raw {

namespace {
constexpr std::size_t slope_offset = 32;
constexpr std::size_t intercept_offset = 40;
}  // namespace

std::optional<Calibration> Calibration::from_bytes(ByteView bytes) {
    if (!has_bytes(bytes, intercept_offset, sizeof(double))) return std::nullopt;
    return Calibration{
        .slope = load_f64(bytes, slope_offset),
        .intercept = load_f64(bytes, intercept_offset),
    };
}

}  // namespace corvex::raw
