// The per-peak pass of a run report: one spectrum's intensity sum and base
// peak, an intensity histogram, its m/z range, and its intensities binned by
// m/z into one row of a grid. Spans in, values out; the caller owns the
// histogram and the grid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace corvex::engine {

// Intensity histogram bins: a positive 32-bit float's exponent and top three
// mantissa bits. Each octave of intensity falls into eight bins whose edges
// are exact floats (2^e, 1.125 * 2^e, ..., 1.875 * 2^e), and finding a bin is
// a shift of the value's bits. Bin 0 also takes zero, negative numbers and
// negative NaNs; the top bins take infinity and positive NaNs.
inline constexpr unsigned kIntensityBinShift = 20;
inline constexpr std::size_t kIntensityBins = std::size_t{1} << (31 - kIntensityBinShift);

struct PeakStats {
    std::uint64_t count = 0;
    double intensity_sum = 0.0;  // summed in 64-bit
    // The first peak of highest intensity (NaN intensities never are); both
    // NaN when there is none.
    double base_peak_mz;
    float base_peak_intensity;
};

// Sums one spectrum and finds its base peak; adds one count per peak to
// `histogram`. `mz` and `intensity` have the same length.
PeakStats peak_stats(std::span<const double> mz, std::span<const float> intensity,
                     std::span<std::uint64_t, kIntensityBins> histogram) noexcept;

struct MzRange {
    double low;   // NaN when no m/z is a number
    double high;
};

MzRange mz_range(std::span<const double> mz) noexcept;

// Adds every peak's intensity to row[floor((mz - low_mz) * (1 / bin_width))].
// Peaks that fall outside the row (or whose m/z is not a number) are left
// out; returns how many.
std::uint64_t bin_peaks(std::span<const double> mz, std::span<const float> intensity, double low_mz,
                        double bin_width, std::span<double> row) noexcept;

}  // namespace corvex::engine
