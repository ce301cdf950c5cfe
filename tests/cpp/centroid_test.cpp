// The peak picker on small hand-made profiles whose centroids are known
// exactly or to a stated tolerance. Most profiles start with a lone count at
// channel 0, so that most channels of the spectrum are zeros, as in a real
// one, and the baseline is near 0 with a noise of 1 count.
#include "engine/centroid.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace corvex::engine {
namespace {

struct Segment {
    std::uint32_t first_channel;
    std::vector<float> values;
};

struct Profile {
    std::vector<std::uint32_t> channels;
    std::vector<float> intensities;
};

Profile profile(const std::vector<Segment>& segments) {
    Profile p;
    for (const Segment& segment : segments) {
        for (std::size_t k = 0; k < segment.values.size(); ++k) {
            p.channels.push_back(segment.first_channel + static_cast<std::uint32_t>(k));
            p.intensities.push_back(segment.values[k]);
        }
    }
    return p;
}

Centroids pick(const Profile& p, const CentroidParameters& parameters = {}) {
    CentroidScratch scratch;
    Centroids out;
    centroid_profile(p.channels, p.intensities, parameters, scratch, out);
    return out;
}

// A Gaussian of height 1000 and standard deviation 2 channels centred on
// `centre`, sampled at channels 100 to 112.
std::vector<float> gaussian(double centre) {
    std::vector<float> values;
    for (int channel = 100; channel <= 112; ++channel) {
        values.push_back(static_cast<float>(1000.0 * std::exp(-0.5 * std::pow((channel - centre) / 2.0, 2))));
    }
    return values;
}

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
const Segment lone_count{0, {1}};
const std::vector<float> symmetric = {5, 20, 60, 100, 60, 20, 5};
const std::vector<float> off_centre = gaussian(105.3);
const std::vector<Segment> wide_flank_with_hole = {
    lone_count, {100, {10, 40, 100, 160, 190, 200, 190, 180}}, {109, {160, 150, 140, 120, 100, 80, 60, 40, 20, 10}}};

CentroidParameters with(void (*change)(CentroidParameters&)) {
    CentroidParameters parameters;
    change(parameters);
    return parameters;
}

struct Expected {
    double channel;
    double tolerance;
    float apex;
    std::uint32_t points;
};

struct PickCase {
    const char* name;
    std::vector<Segment> segments;
    CentroidParameters parameters;
    std::vector<Expected> expected;
};

class PickProfiles : public ::testing::TestWithParam<PickCase> {};

TEST_P(PickProfiles, FindTheExpectedCentroids) {
    const PickCase& c = GetParam();
    const Centroids out = pick(profile(c.segments), c.parameters);
    ASSERT_EQ(out.size(), c.expected.size());
    ASSERT_EQ(out.intensity.size(), out.size());
    ASSERT_EQ(out.apex_intensity.size(), out.size());
    ASSERT_EQ(out.point_count.size(), out.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_NEAR(out.channel[i], c.expected[i].channel, c.expected[i].tolerance) << "centroid " << i;
        EXPECT_EQ(out.apex_intensity[i], c.expected[i].apex) << "centroid " << i;
        EXPECT_EQ(out.point_count[i], c.expected[i].points) << "centroid " << i;
    }
}

const auto gaussian_fit = with([](CentroidParameters& p) { p.position = CentroidPosition::gaussian_fit; });
const auto single_points = with([](CentroidParameters& p) { p.single_point_peaks = true; });

INSTANTIATE_TEST_SUITE_P(
    Centroids, PickProfiles,
    ::testing::Values(
        PickCase{"empty", {}, {}, {}},
        // A lone point is its own baseline: nothing stands out.
        PickCase{"one_point", {{500, {100}}}, single_points, {}},
        PickCase{"isolated_point_is_no_peak", {lone_count, {500, {100}}}, {}, {}},
        PickCase{"isolated_point_when_asked", {lone_count, {500, {100}}}, single_points, {{500, 0, 100, 1}}},
        PickCase{"symmetric", {lone_count, {100, symmetric}}, {}, {{103, 1e-12, 100, 7}}},
        PickCase{"symmetric_gaussian_fit", {lone_count, {100, symmetric}}, gaussian_fit, {{103, 1e-12, 100, 7}}},
        // Sampled off-centre, a window of whole points would lean by a
        // quarter of a channel; the fractional window ends do not.
        PickCase{"off_centre", {lone_count, {100, off_centre}}, {}, {{105.3, 0.02, off_centre[5], 13}}},
        PickCase{"off_centre_gaussian_fit", {lone_count, {100, off_centre}}, gaussian_fit,
                 {{105.3, 1e-3, off_centre[5], 13}}},
        PickCase{"flat_top", {lone_count, {100, {5, 20, 60, 100, 100, 100, 60, 20, 5}}}, {}, {{104, 1e-12, 100, 9}}},
        PickCase{"flat_top_gaussian_fit",
                 {lone_count, {100, {5, 20, 60, 100, 100, 100, 60, 20, 5}}},
                 gaussian_fit,
                 {{104, 1e-12, 100, 9}}},
        // A peak cut by either end of the spectrum stays inside it.
        PickCase{"first_channel", {{0, {100, 60, 20, 5}}, {300, {1}}}, {}, {{0.5, 0.5, 100, 4}}},
        PickCase{"first_channel_gaussian_fit", {{0, {100, 60, 20, 5}}, {300, {1}}}, gaussian_fit, {{0.5, 0.5, 100, 4}}},
        PickCase{"last_channel", {lone_count, {300, {5, 20, 60, 100}}}, {}, {{302.5, 0.5, 100, 4}}},
        PickCase{"deep_valley",
                 {lone_count, {100, {10, 50, 100, 50, 10, 2, 10, 50, 100, 50, 10}}},
                 {},
                 {{102, 0.05, 100, 5}, {108, 0.05, 100, 6}}},
        PickCase{"shallow_valley", {lone_count, {100, {10, 50, 100, 90, 95, 50, 10}}}, {}, {{103, 1, 100, 7}}},
        // Relatively deep, but within the counting noise of so few counts...
        PickCase{"valley_within_noise", {lone_count, {100, {2, 5, 7, 5, 2, 1, 2, 5, 7, 5, 2}}}, {}, {{105, 0.5, 7, 11}}},
        // ...unless fewer standard deviations are asked for.
        PickCase{"valley_within_noise_split",
                 {lone_count, {100, {2, 5, 7, 5, 2, 1, 2, 5, 7, 5, 2}}},
                 with([](CentroidParameters& p) { p.min_valley_snr = 2; }),
                 {{102, 0.25, 7, 5}, {108, 0.25, 7, 6}}},
        PickCase{"below_threshold", {lone_count, {100, {1, 2, 3, 2, 1}}}, {}, {}},
        PickCase{"lower_threshold",
                 {lone_count, {100, {1, 2, 3, 2, 1}}},
                 with([](CentroidParameters& p) { p.min_snr = 1; }),
                 {{102, 1e-12, 3, 3}}},
        PickCase{"min_intensity",
                 {lone_count, {100, symmetric}},
                 with([](CentroidParameters& p) { p.min_intensity = 101; }),
                 {}},
        PickCase{"three_points", {lone_count, {100, {50, 100, 50}}}, {}, {{101, 1e-12, 100, 3}}},
        PickCase{"min_points",
                 {lone_count, {100, {50, 100, 50}}},
                 with([](CentroidParameters& p) { p.min_points = 4; }),
                 {}},
        // A flank broken off by a missing channel belongs to its peak...
        PickCase{"gap_in_flank",
                 {lone_count, {100, {5, 20, 60, 100, 60, 20, 8}}, {108, {6, 7, 5}}},
                 {},
                 {{103, 0.1, 100, 10}}},
        // ...unless gaps may not be bridged.
        PickCase{"gap_not_bridged",
                 {lone_count, {100, {5, 20, 60, 100, 60, 20, 8}}, {108, {6, 7, 5}}},
                 with([](CentroidParameters& p) { p.max_gap_channels = 0; }),
                 {{103, 0.1, 100, 7}, {109, 0.1, 7, 3}}},
        // A hole high in a slowly falling flank: interpolated, it is part of
        // the peak; as a zero, the flank beyond it rises to a maximum of its own.
        PickCase{"hole_in_wide_flank", wide_flank_with_hole, {}, {{107, 1, 200, 18}}},
        PickCase{"hole_as_zero",
                 wide_flank_with_hole,
                 with([](CentroidParameters& p) { p.max_gap_channels = 0; }),
                 {{105, 0.5, 200, 8}, {111, 0.5, 160, 10}}},
        // Channels that fall start a new run: no harm, no joined peak.
        PickCase{"channels_out_of_order",
                 {lone_count, {100, {50, 100, 50}}, {99, {50, 100, 50}}},
                 {},
                 {{101, 1e-12, 100, 3}, {100, 1e-12, 100, 3}}},
        PickCase{"nan_and_negative_are_zero", {lone_count, {100, {nan, 20, 60, 100, 60, 20, -5}}}, {},
                 {{103, 1e-12, 100, 5}}}),
    [](const ::testing::TestParamInfo<PickCase>& info) { return std::string(info.param.name); });

TEST(Centroids, IntensityIsTheCountsAboveTheBaselineOverThePeak) {
    const Centroids out = pick(profile({lone_count, {100, symmetric}}));
    ASSERT_EQ(out.size(), 1U);
    EXPECT_FLOAT_EQ(out.intensity[0], static_cast<float>(270.0 - 7 * out.noise.baseline));
    EXPECT_GT(out.noise.baseline, 0.0);
}

struct NoiseCase {
    const char* name;
    Profile profile;
    double baseline;
    double sigma;
};

Profile consecutive(std::vector<float> values) { return profile({{1000, std::move(values)}}); }

std::vector<float> each_of(int from, int to, int times) {
    std::vector<float> values;
    for (int k = 0; k < times; ++k) {
        for (int v = from; v <= to; ++v) values.push_back(static_cast<float>(v));
    }
    return values;
}

constexpr double quartile_z = 0.6744897501960817;

class NoiseEstimates : public ::testing::TestWithParam<NoiseCase> {};

TEST_P(NoiseEstimates, AreQuantilesOfEveryChannel) {
    const NoiseCase& c = GetParam();
    const Centroids out = pick(c.profile);
    EXPECT_NEAR(out.noise.baseline, c.baseline, 1e-9);
    EXPECT_NEAR(out.noise.sigma, c.sigma, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Centroids, NoiseEstimates,
    ::testing::Values(
        // Counts 0 to 19 five times each: quartile 4.5, median 9.5.
        NoiseCase{"whole_counts", consecutive(each_of(0, 19, 5)), 9.5, 5.0 / quartile_z},
        // 4 points over 1001 channels: 997 zeros, then both quantiles in bin 0.
        NoiseCase{"mostly_missing",
                  profile({{0, {3}}, {500, {7, 9}}, {1000, {2}}}),
                  -0.5 + 0.5 * 1001 / 997,
                  1.0},
        NoiseCase{"all_zero", consecutive(std::vector<float>(50, 0.0F)), 0.0, 1.0},
        // Above the histogram's range the quantiles are exact ranks.
        NoiseCase{"large_counts", consecutive(each_of(5000, 5099, 1)), 5050, 25.0 / quartile_z}),
    [](const ::testing::TestParamInfo<NoiseCase>& info) { return std::string(info.param.name); });

TEST(Centroids, DecodedPointsGiveTheSameCentroidsAsArrays) {
    // Zero-intensity points, as the decoder keeps them, are zeros either way.
    const Profile p = profile({lone_count, {100, {0, 5, 20, 60, 100, 60, 20, 5, 0}}, {200, {40, 90, 100, 40}}});
    std::vector<raw::ScanPoint> points;
    for (std::size_t i = 0; i < p.channels.size(); ++i) {
        points.emplace_back(p.channels[i], static_cast<std::uint32_t>(p.intensities[i]));
    }
    CentroidScratch scratch;
    Centroids from_points;
    centroid_profile(points, {}, scratch, from_points);
    const Centroids from_arrays = pick(p);
    ASSERT_EQ(from_points.size(), 2U);
    EXPECT_EQ(from_points.channel, from_arrays.channel);
    EXPECT_EQ(from_points.intensity, from_arrays.intensity);
    EXPECT_EQ(from_points.point_count, from_arrays.point_count);
}

TEST(Centroids, ReusedScratchAndOutputLeaveNothingBehind) {
    std::vector<float> long_run(5000, 3.0F);
    for (std::size_t k = 0; k < long_run.size(); k += 50) long_run[k] = 400.0F;
    const Profile large = profile({{0, long_run}});
    const Profile small = profile({lone_count, {100, symmetric}});
    CentroidScratch scratch;
    Centroids out;
    centroid_profile(large.channels, large.intensities, {}, scratch, out);
    EXPECT_GT(out.size(), 50U);
    centroid_profile(small.channels, small.intensities, {}, scratch, out);
    const Centroids fresh = pick(small);
    EXPECT_EQ(out.channel, fresh.channel);
    EXPECT_EQ(out.intensity, fresh.intensity);
    EXPECT_EQ(out.noise.baseline, fresh.noise.baseline);
}

TEST(Centroids, MzUsesTheDecodersFormula) {
    const raw::Calibration calibration{.slope = 0.002, .intercept = 100.0};
    const std::vector<double> channels = {0.0, 123456.0, 123456.25, 4294967295.0};
    std::vector<double> mz(channels.size());
    channels_to_mz(calibration, channels, mz);
    // Whole channels: what the scan decoder gives for points there.
    const raw::PeakArrays decoded = raw::points_to_arrays(
        {raw::ScanPoint(0, 1), raw::ScanPoint(123456, 1), raw::ScanPoint(4294967295U, 1)}, calibration);
    EXPECT_EQ(mz[0], decoded.mz[0]);
    EXPECT_EQ(mz[1], decoded.mz[1]);
    EXPECT_EQ(mz[3], decoded.mz[2]);
    const double product = 0.002 * 123456.25;
    EXPECT_EQ(mz[2], 100.0 + product);
    // In place.
    std::vector<double> in_place = channels;
    channels_to_mz(calibration, in_place, in_place);
    EXPECT_EQ(in_place, mz);
}

struct ParameterCase {
    const char* name;
    void (*change)(CentroidParameters&);
    const char* error;  // nullptr: usable
};

class Parameters : public ::testing::TestWithParam<ParameterCase> {};

TEST_P(Parameters, AreCheckedBeforeUse) {
    const auto error = parameter_error(with(GetParam().change));
    if (GetParam().error == nullptr) {
        EXPECT_FALSE(error.has_value()) << *error;
    } else {
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(*error, GetParam().error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Centroids, Parameters,
    ::testing::Values(
        ParameterCase{"defaults", [](CentroidParameters&) {}, nullptr},
        ParameterCase{"absolute_threshold_only",
                      [](CentroidParameters& p) {
                          p.min_snr = 0;
                          p.min_intensity = 50;
                          p.valley_ratio = 1;
                      },
                      nullptr},
        ParameterCase{"negative_snr", [](CentroidParameters& p) { p.min_snr = -1; },
                      "min_snr must be a number from 0 to 1e12"},
        ParameterCase{"nan_snr", [](CentroidParameters& p) { p.min_snr = std::nan(""); },
                      "min_snr must be a number from 0 to 1e12"},
        ParameterCase{"nan_valley_snr", [](CentroidParameters& p) { p.min_valley_snr = std::nan(""); },
                      "min_valley_snr must be a number from 0 to 1e12"},
        ParameterCase{"infinite_intensity",
                      [](CentroidParameters& p) { p.min_intensity = std::numeric_limits<double>::infinity(); },
                      "min_intensity must be a finite number of at least 0"},
        ParameterCase{"no_points", [](CentroidParameters& p) { p.min_points = 0; }, "min_points must be at least 1"},
        ParameterCase{"wide_gaps", [](CentroidParameters& p) { p.max_gap_channels = 1001; },
                      "max_gap_channels must be from 0 to 1000"},
        ParameterCase{"valley_ratio_above_one", [](CentroidParameters& p) { p.valley_ratio = 1.5; },
                      "valley_ratio must be a number from 0 to 1"},
        ParameterCase{"unknown_position",
                      [](CentroidParameters& p) { p.position = static_cast<CentroidPosition>(7); },
                      "position is not a known method"}),
    [](const ::testing::TestParamInfo<ParameterCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvex::engine
