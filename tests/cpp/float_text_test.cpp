#include "lumora/float_text.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

namespace {

using lumora::float_text;

struct DoubleCase {
    double value;
    std::string text;
};

class DoubleText : public testing::TestWithParam<DoubleCase> {};

TEST_P(DoubleText, IsShortestPositional) { EXPECT_EQ(float_text(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Values, DoubleText,
    testing::Values(
        DoubleCase{1.0, "1"}, DoubleCase{2.0, "2"}, DoubleCase{125.0, "125"}, DoubleCase{0.5, "0.5"},
        DoubleCase{-0.25, "-0.25"}, DoubleCase{0.0, "0"}, DoubleCase{-0.0, "-0"},
        DoubleCase{1e21, "1" + std::string(21, '0')}, DoubleCase{1e-7, "0.0000001"},
        DoubleCase{123.456, "123.456"}, DoubleCase{1.2345678901234568e20, "123456789012345680000"},
        DoubleCase{static_cast<double>(0.1f), "0.10000000149011612"},
        DoubleCase{5e-324, "0." + std::string(323, '0') + "5"},
        DoubleCase{std::numeric_limits<double>::max(), "17976931348623157" + std::string(292, '0')},
        DoubleCase{-std::numeric_limits<double>::max(), "-17976931348623157" + std::string(292, '0')},
        DoubleCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
        DoubleCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"},
        DoubleCase{std::numeric_limits<double>::infinity(), "inf"},
        DoubleCase{-std::numeric_limits<double>::infinity(), "-inf"}));

struct FloatCase {
    float value;
    std::string text;
};

class FloatText : public testing::TestWithParam<FloatCase> {};

TEST_P(FloatText, IsShortestAtThirtyTwoBits) { EXPECT_EQ(float_text(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Values, FloatText,
    testing::Values(FloatCase{0.1f, "0.1"}, FloatCase{0.3f, "0.3"}, FloatCase{550.0f, "550"},
                    FloatCase{-0.0f, "-0"}, FloatCase{16777217.0f, "16777216"},
                    FloatCase{std::numeric_limits<float>::max(), "34028235" + std::string(31, '0')},
                    FloatCase{std::numeric_limits<float>::min(), "0." + std::string(37, '0') + "11754944"},
                    FloatCase{std::numeric_limits<float>::denorm_min(), "0." + std::string(44, '0') + "1"},
                    FloatCase{std::numeric_limits<float>::infinity(), "inf"},
                    FloatCase{-std::numeric_limits<float>::infinity(), "-inf"},
                    FloatCase{std::numeric_limits<float>::quiet_NaN(), "NaN"}));

bool positional(const std::string& text) {
    return text.find_first_not_of("-0123456789.") == std::string::npos;
}

// Random bit patterns cover every exponent: each finite value must read back
// bit-exactly at its own width and never use an exponent.
TEST(FloatText, RandomValuesRoundTrip) {
    std::mt19937_64 random(20261208);
    for (int i = 0; i < 20000; ++i) {
        const auto bits = random();
        const double d = std::bit_cast<double>(bits);
        if (std::isfinite(d)) {
            const std::string text = float_text(d);
            ASSERT_TRUE(positional(text)) << text;
            ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)), bits) << text;
        }
        const float f = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
        if (std::isfinite(f)) {
            const std::string text = float_text(f);
            ASSERT_TRUE(positional(text)) << text;
            ASSERT_EQ(std::bit_cast<std::uint32_t>(std::strtof(text.c_str(), nullptr)),
                      static_cast<std::uint32_t>(bits))
                << text;
        }
    }
}

}  // namespace
