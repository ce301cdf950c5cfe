// The linear map from a scan block's channel index to m/z, from the optional
// TOFCalibrationData stream.
#pragma once

#include <optional>

#include "corvex/raw/bytes.hpp"

namespace corvex::raw {

// m/z = intercept + slope * channel index.
struct Calibration {
    double slope = 0.0;
    double intercept = 0.0;

    // Slope at offset 32 and intercept at 40, as stored (not validated);
    // absent when the stream is shorter than 48 bytes.
    static std::optional<Calibration> from_bytes(ByteView bytes);

    // m/z at a channel position, whole (a decoded point) or fractional (a
    // centroid): the rounded product, then the rounded sum. Every unit that
    // includes this is built with -ffp-contract=off, so the pair is never
    // fused into one multiply-add, which would change the last bit.
    constexpr double mz(double channel) const noexcept {
        const double product = slope * channel;
        return intercept + product;
    }

    friend bool operator==(const Calibration&, const Calibration&) = default;
};

}  // namespace corvex::raw
