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
    //
    // A NaN intercept makes every m/z NaN, but which NaN: when the product
    // is NaN too, an addition gives the NaN of whichever operand the
    // instruction takes first, and the compiler orders the operands as it
    // likes, differently in a loop's vector body and its remainder. The
    // intercept's NaN (quieted, as the addition would) is taken for every
    // channel instead, so the bits never depend on the code that computed
    // them.
    constexpr double mz(double channel) const noexcept {
        if (intercept != intercept) return intercept + 0.0;
        const double product = slope * channel;
        return intercept + product;
    }

    friend bool operator==(const Calibration&, const Calibration&) = default;
};

}  // namespace corvex::raw
