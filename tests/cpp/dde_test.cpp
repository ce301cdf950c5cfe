#include "corvex/raw/dde.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "byte_builder.hpp"

namespace corvex::raw {
namespace {

using test::ByteBuilder;

constexpr std::size_t mz_at(std::size_t record) { return 32 + 76 * record + 4; }

class DdeSizes : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(DdeSizes, WholeRecordsOnly) {
    const auto [length, expected] = GetParam();
    ByteBuilder b(length, 0xCD);
    for (std::size_t i = 0; i < expected; ++i) b.put<double>(mz_at(i), 100.0 + static_cast<double>(i));
    ASSERT_EQ(b.bytes.size(), length);
    const auto records = DdeRecord::parse_stream(b.bytes);
    ASSERT_EQ(records.size(), expected);
    for (std::size_t i = 0; i < expected; ++i) EXPECT_EQ(records[i].precursor_mz, 100.0 + static_cast<double>(i));
}

INSTANTIATE_TEST_SUITE_P(Boundaries, DdeSizes,
                         ::testing::Values(std::pair<std::size_t, std::size_t>{0, 0}, std::pair<std::size_t, std::size_t>{31, 0},
                                           std::pair<std::size_t, std::size_t>{32, 0}, std::pair<std::size_t, std::size_t>{107, 0},
                                           std::pair<std::size_t, std::size_t>{108, 1}, std::pair<std::size_t, std::size_t>{183, 1},
                                           std::pair<std::size_t, std::size_t>{184, 2}, std::pair<std::size_t, std::size_t>{200, 2}));

TEST(Dde, KeepsEveryValueAsStored) {
    const double values[] = {0.0, -0.0, -512.25, std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN(), 0.0};
    ByteBuilder b(32 + 76 * std::size(values));
    for (std::size_t i = 0; i < std::size(values); ++i) b.put<double>(mz_at(i), values[i]);
    const auto records = DdeRecord::parse_stream(b.bytes);
    ASSERT_EQ(records.size(), std::size(values));
    for (std::size_t i = 0; i < std::size(values); ++i) {
        if (std::isnan(values[i])) {
            EXPECT_TRUE(std::isnan(records[i].precursor_mz));
        } else {
            EXPECT_EQ(records[i].precursor_mz, values[i]);
            EXPECT_EQ(std::signbit(records[i].precursor_mz), std::signbit(values[i]));
        }
    }
}

}  // namespace
}  // namespace corvex::raw
