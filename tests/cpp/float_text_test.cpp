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

// Rendered when the table is built, so one table serves both widths.
struct TextCase {
    std::string actual;
    std::string expected;
};

class Text : public testing::TestWithParam<TextCase> {};

TEST_P(Text, IsShortestPositional) { EXPECT_EQ(GetParam().actual, GetParam().expected); }

constexpr double max64 = std::numeric_limits<double>::max();
constexpr double inf64 = std::numeric_limits<double>::infinity();
constexpr float inf32 = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Double, Text,
    testing::Values(
        TextCase{float_text(1.0), "1"}, TextCase{float_text(2.0), "2"}, TextCase{float_text(125.0), "125"},
        TextCase{float_text(0.5), "0.5"}, TextCase{float_text(-0.25), "-0.25"}, TextCase{float_text(0.0), "0"},
        TextCase{float_text(-0.0), "-0"}, TextCase{float_text(123.456), "123.456"},
        TextCase{float_text(1e21), "1" + std::string(21, '0')}, TextCase{float_text(1e-7), "0.0000001"},
        TextCase{float_text(1.2345678901234568e20), "123456789012345680000"},
        // The 32-bit float nearest 0.1, widened: its own 64-bit digits.
        TextCase{float_text(static_cast<double>(0.1f)), "0.10000000149011612"},
        TextCase{float_text(5e-324), "0." + std::string(323, '0') + "5"},
        TextCase{float_text(max64), "17976931348623157" + std::string(292, '0')},
        TextCase{float_text(-max64), "-17976931348623157" + std::string(292, '0')},
        TextCase{float_text(std::numeric_limits<double>::quiet_NaN()), "NaN"},
        TextCase{float_text(-std::numeric_limits<double>::quiet_NaN()), "NaN"},
        TextCase{float_text(inf64), "inf"}, TextCase{float_text(-inf64), "-inf"}));

INSTANTIATE_TEST_SUITE_P(
    Float, Text,
    testing::Values(
        TextCase{float_text(0.1f), "0.1"}, TextCase{float_text(0.3f), "0.3"}, TextCase{float_text(550.0f), "550"},
        TextCase{float_text(-0.0f), "-0"}, TextCase{float_text(16777217.0f), "16777216"},
        TextCase{float_text(std::numeric_limits<float>::max()), "34028235" + std::string(31, '0')},
        TextCase{float_text(std::numeric_limits<float>::min()), "0." + std::string(37, '0') + "11754944"},
        TextCase{float_text(std::numeric_limits<float>::denorm_min()), "0." + std::string(44, '0') + "1"},
        TextCase{float_text(std::numeric_limits<float>::quiet_NaN()), "NaN"},
        TextCase{float_text(inf32), "inf"}, TextCase{float_text(-inf32), "-inf"}));

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
