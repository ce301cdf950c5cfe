#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "corvex/float32.hpp"
#include "corvex/reader.hpp"

namespace corvex {
namespace {

struct PathCase {
    const char* path;
    std::optional<std::string> stem;
    const char* scan_file;
};

class PathRules : public testing::TestWithParam<PathCase> {};

TEST_P(PathRules, StemAndScanFile) {
    const PathCase& c = GetParam();
    const auto stem = file_stem(c.path);
    EXPECT_EQ(stem ? std::optional<std::string>(*stem) : std::nullopt, c.stem);
    EXPECT_EQ(scan_file_path_for(c.path).native(), c.scan_file);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PathRules,
    testing::Values(PathCase{"run.wiff", "run", "run.wiff.scan"},
                    PathCase{"/data/Run 01.WIFF", "Run 01", "/data/Run 01.WIFF.scan"},
                    PathCase{"dir/a.b.wiff", "a.b", "dir/a.b.wiff.scan"},
                    PathCase{"dir/noextension", "noextension", "dir/noextension.scan"},
                    PathCase{"dir/.hidden", ".hidden", "dir/.hidden.scan"},
                    PathCase{"dir/.hidden.wiff", ".hidden", "dir/.hidden.wiff.scan"},
                    PathCase{"dir/trailing.", "trailing", "dir/trailing..scan"},
                    PathCase{"dir/run.wiff/", "run", "dir/run.wiff.scan"},
                    PathCase{"dir/run.wiff/.", "run", "dir/run.wiff.scan"},
                    PathCase{"/", std::nullopt, "/.scan"},
                    PathCase{"..", std::nullopt, "../.scan"},
                    PathCase{"", std::nullopt, ".scan"}));

TEST(PathRules, InvalidUtf8IsReplacedInTheScanFileName) {
    // The scan file name is built from the name as text, so bytes that are
    // not UTF-8 come out as U+FFFD.
    EXPECT_EQ(scan_file_path_for("d/r\xFFn.wiff").native(), "d/r\xEF\xBF\xBDn.wiff.scan");
}

TEST(StreamPaths, SampleStreamsLieUnderTheSampleStorage) {
    EXPECT_EQ(idx_stream("Sample1"), "SampleSubtree/Sample1/Idx");
    EXPECT_EQ(log_stream("A b"), "SampleSubtree/A b/Log");
    EXPECT_EQ(calibration_stream("S"), "SampleSubtree/S/TOFCalibrationData");
    EXPECT_EQ(dde_stream("S"), "SampleSubtree/S/DDERealTimeDataEx");
}

struct RoundCase {
    double value;
    float expected;
};

class RoundToFloat : public testing::TestWithParam<RoundCase> {};

TEST_P(RoundToFloat, RoundsToNearestWithOverflowToInfinity) {
    const float got = round_to_float(GetParam().value);
    if (std::isnan(GetParam().expected)) {
        EXPECT_TRUE(std::isnan(got));
    } else {
        EXPECT_EQ(got, GetParam().expected);
        EXPECT_EQ(std::signbit(got), std::signbit(GetParam().expected));
    }
}

constexpr float float_max = std::numeric_limits<float>::max();
constexpr float inf = std::numeric_limits<float>::infinity();
INSTANTIATE_TEST_SUITE_P(
    Values, RoundToFloat,
    testing::Values(RoundCase{16777217.0, 16777216.0F}, RoundCase{16777219.0, 16777220.0F},
                    RoundCase{1e39, inf}, RoundCase{-1e39, -inf},
                    RoundCase{double(float_max), float_max},
                    // Just under halfway to the next power of two rounds down; halfway overflows.
                    RoundCase{double(float_max) + std::ldexp(1.0, 102), float_max},
                    RoundCase{double(float_max) + std::ldexp(1.0, 103), inf},
                    RoundCase{-0.0, -0.0F}, RoundCase{1e-50, 0.0F},
                    RoundCase{std::numeric_limits<double>::infinity(), inf},
                    RoundCase{std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<float>::quiet_NaN()}));

}  // namespace
}  // namespace corvex
