#include "engine/peak_profile.hpp"

#include <algorithm>
#include <bit>
#include <limits>

namespace corvex::engine {

namespace {

// Four independent lanes: loops without one long chain of dependent
// additions or comparisons, which the compiler can also vectorise. The
// lanes are combined in a fixed order, so results never vary between runs.
constexpr std::size_t kLanes = 4;

std::size_t intensity_bin(float value) noexcept {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t positive = (bits >> 31) ^ 1U;  // 0 for the sign bit set
    return (bits >> kIntensityBinShift) * positive;
}

}  // namespace

PeakStats peak_stats(std::span<const double> mz, std::span<const float> intensity,
                     std::span<std::uint64_t, kIntensityBins> histogram) noexcept {
    constexpr float lowest = -std::numeric_limits<float>::infinity();
    const std::size_t n = intensity.size();
    double sums[kLanes] = {};
    float highest[kLanes] = {lowest, lowest, lowest, lowest};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            const float value = intensity[i + lane];
            sums[lane] += value;
            highest[lane] = value > highest[lane] ? value : highest[lane];
            ++histogram[intensity_bin(value)];
        }
    }
    for (; i < n; ++i) {
        const float value = intensity[i];
        sums[0] += value;
        highest[0] = value > highest[0] ? value : highest[0];
        ++histogram[intensity_bin(value)];
    }
    const float best = std::max(std::max(highest[0], highest[1]), std::max(highest[2], highest[3]));
    PeakStats stats{.count = n,
                    .intensity_sum = (sums[0] + sums[1]) + (sums[2] + sums[3]),
                    .base_peak_mz = std::numeric_limits<double>::quiet_NaN(),
                    .base_peak_intensity = std::numeric_limits<float>::quiet_NaN()};
    const auto found = std::find(intensity.begin(), intensity.end(), best);
    if (found != intensity.end()) {
        stats.base_peak_mz = mz[static_cast<std::size_t>(found - intensity.begin())];
        stats.base_peak_intensity = best;
    }
    return stats;
}

MzRange mz_range(std::span<const double> mz) noexcept {
    constexpr double inf = std::numeric_limits<double>::infinity();
    double low[kLanes] = {inf, inf, inf, inf};
    double high[kLanes] = {-inf, -inf, -inf, -inf};
    std::size_t i = 0;
    for (; i + kLanes <= mz.size(); i += kLanes) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            const double value = mz[i + lane];
            low[lane] = value < low[lane] ? value : low[lane];
            high[lane] = value > high[lane] ? value : high[lane];
        }
    }
    for (; i < mz.size(); ++i) {
        low[0] = mz[i] < low[0] ? mz[i] : low[0];
        high[0] = mz[i] > high[0] ? mz[i] : high[0];
    }
    MzRange range{std::min(std::min(low[0], low[1]), std::min(low[2], low[3])),
                  std::max(std::max(high[0], high[1]), std::max(high[2], high[3]))};
    if (range.low > range.high) range.low = range.high = std::numeric_limits<double>::quiet_NaN();
    return range;
}

std::uint64_t bin_peaks(std::span<const double> mz, std::span<const float> intensity, double low_mz,
                        double bin_width, std::span<double> row) noexcept {
    const double columns = static_cast<double>(row.size());
    const double scale = 1.0 / bin_width;
    constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
    // Peaks come in m/z order, so neighbours mostly share a column: add up a
    // run in a register and store it when the column changes, instead of a
    // read-modify-write of memory per peak. The sums differ from adding peak
    // by peak only in rounding (not at all for whole-number intensities).
    std::size_t column = none;
    double run = 0.0;
    std::uint64_t outside = 0;
    for (std::size_t i = 0; i < intensity.size(); ++i) {
        const double position = (mz[i] - low_mz) * scale;
        // Written so that NaN fails the test; truncation is floor here.
        if (!(position >= 0.0 && position < columns)) {
            ++outside;
            continue;
        }
        const auto at = static_cast<std::size_t>(position);
        if (at != column) {
            if (column != none) row[column] += run;
            column = at;
            run = 0.0;
        }
        run += intensity[i];
    }
    if (column != none) row[column] += run;
    return outside;
}

}  // namespace corvex::engine
