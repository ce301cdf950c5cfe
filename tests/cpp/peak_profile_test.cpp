#include "engine/peak_profile.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

using corvex::engine::kIntensityBins;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr float nanf = std::numeric_limits<float>::quiet_NaN();

struct StatsCase {
    std::string name;
    std::vector<double> mz;
    std::vector<float> intensity;
    double sum;
    double base_mz;       // NaN: none
    float base_intensity;
};

class Stats : public testing::TestWithParam<StatsCase> {};

TEST_P(Stats, SumBasePeakAndOneHistogramCountPerPeak) {
    const StatsCase& c = GetParam();
    std::array<std::uint64_t, kIntensityBins> histogram{};
    const auto stats = corvex::engine::peak_stats(c.mz, c.intensity, histogram);
    EXPECT_EQ(stats.count, c.intensity.size());
    if (std::isnan(c.sum)) {
        EXPECT_TRUE(std::isnan(stats.intensity_sum));
    } else {
        EXPECT_EQ(stats.intensity_sum, c.sum);
    }
    if (std::isnan(c.base_mz)) {
        EXPECT_TRUE(std::isnan(stats.base_peak_mz) && std::isnan(stats.base_peak_intensity));
    } else {
        EXPECT_EQ(stats.base_peak_mz, c.base_mz);
        EXPECT_EQ(stats.base_peak_intensity, c.base_intensity);
    }
    std::uint64_t counted = 0;
    for (auto n : histogram) counted += n;
    EXPECT_EQ(counted, c.intensity.size());
}

// Sizes around the four lanes; the top value in each lane and in the tail.
INSTANTIATE_TEST_SUITE_P(
    PeakStats, Stats,
    testing::Values(StatsCase{"Empty", {}, {}, 0.0, nan, 0.0f},
                    StatsCase{"One", {100.5}, {7.0f}, 7.0, 100.5, 7.0f},
                    StatsCase{"TopInTail", {1, 2, 3, 4, 5}, {1, 2, 3, 4, 9}, 19.0, 5.0, 9.0f},
                    StatsCase{"TopInThirdLane", {1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 8, 4, 5, 6, 7, 1}, 34.0, 3.0, 8.0f},
                    StatsCase{"TiesGiveTheFirst", {10, 20, 30, 40, 50, 60}, {5, 9, 1, 9, 9, 2}, 35.0, 20.0, 9.0f},
                    StatsCase{"NaNNeverWins", {1, 2, 3}, {nanf, 4, 2}, nan, 2.0, 4.0f},
                    StatsCase{"AllNaN", {1, 2}, {nanf, nanf}, nan, nan, 0.0f}),
    [](const testing::TestParamInfo<StatsCase>& info) { return info.param.name; });

TEST(PeakStats, SumOfAFloatIsNotRounded) {
    // Each 2^24 + 1 is not a float; 2^24 + 2 is, and four of them overflow float's exact range in sum.
    const std::vector<float> intensity(9, 16777218.0f);
    const std::vector<double> mz(9, 1.0);
    std::array<std::uint64_t, kIntensityBins> histogram{};
    EXPECT_EQ(corvex::engine::peak_stats(mz, intensity, histogram).intensity_sum, 9.0 * 16777218.0);
}

struct BinCase {
    std::string name;
    float intensity;
    std::size_t bin;
};

class IntensityBin : public testing::TestWithParam<BinCase> {};

TEST_P(IntensityBin, EightBinsPerOctave) {
    std::array<std::uint64_t, kIntensityBins> histogram{};
    const std::vector<double> mz{1.0};
    const std::vector<float> intensity{GetParam().intensity};
    corvex::engine::peak_stats(mz, intensity, histogram);
    EXPECT_EQ(histogram[GetParam().bin], 1U);
}

// 1.0f is 0x3F800000: exponent 127, bin 127 * 8. 1.125 starts the next bin.
INSTANTIATE_TEST_SUITE_P(
    PeakStats, IntensityBin,
    testing::Values(BinCase{"One", 1.0f, 1016}, BinCase{"JustBelowNextEighth", 1.1249999f, 1016},
                    BinCase{"NextEighth", 1.125f, 1017}, BinCase{"Two", 2.0f, 1024}, BinCase{"Zero", 0.0f, 0},
                    BinCase{"Negative", -5.0f, 0}, BinCase{"Infinity", std::numeric_limits<float>::infinity(), 2040}),
    [](const testing::TestParamInfo<BinCase>& info) { return info.param.name; });

struct RangeCase {
    std::string name;
    std::vector<double> mz;
    double low;  // NaN: none
    double high;
};

class Range : public testing::TestWithParam<RangeCase> {};

TEST_P(Range, LowestAndHighestNumber) {
    const auto range = corvex::engine::mz_range(GetParam().mz);
    if (std::isnan(GetParam().low)) {
        EXPECT_TRUE(std::isnan(range.low) && std::isnan(range.high));
    } else {
        EXPECT_EQ(range.low, GetParam().low);
        EXPECT_EQ(range.high, GetParam().high);
    }
}

INSTANTIATE_TEST_SUITE_P(MzRange, Range,
                         testing::Values(RangeCase{"Empty", {}, nan, nan},
                                         RangeCase{"Unsorted", {5, 3, 9, 1, 7}, 1, 9},
                                         RangeCase{"NaNLeftOut", {nan, 4, 2, nan, 8}, 2, 8},
                                         RangeCase{"OnlyNaN", {nan, nan}, nan, nan}),
                         [](const testing::TestParamInfo<RangeCase>& info) { return info.param.name; });

struct BinPeaksCase {
    std::string name;
    std::vector<double> mz;
    std::vector<float> intensity;
    std::vector<double> row;  // after binning into 4 columns from 10.0, 2.5 wide
    std::uint64_t outside;
};

class BinPeaks : public testing::TestWithParam<BinPeaksCase> {};

TEST_P(BinPeaks, AddsEachIntensityToTheColumnOfItsMz) {
    std::vector<double> row{0.5, 0.0, 0.0, 0.0};  // adds to what the row holds
    const auto outside = corvex::engine::bin_peaks(GetParam().mz, GetParam().intensity, 10.0, 2.5, row);
    EXPECT_EQ(row, GetParam().row);
    EXPECT_EQ(outside, GetParam().outside);
}

INSTANTIATE_TEST_SUITE_P(
    BinPeaks, BinPeaks,
    testing::Values(
        BinPeaksCase{"Runs", {10, 11, 12.4, 12.5, 19.9}, {1, 2, 4, 8, 16}, {7.5, 8, 0, 16}, 0},
        BinPeaksCase{"Unsorted", {19, 10, 13, 10.5}, {1, 2, 4, 8}, {10.5, 4, 0, 1}, 0},
        BinPeaksCase{"EdgesOutside", {9.99, 20.0, 25, nan, 10.0}, {1, 2, 4, 8, 16}, {16.5, 0, 0, 0}, 4}),
    [](const testing::TestParamInfo<BinPeaksCase>& info) { return info.param.name; });

}  // namespace
