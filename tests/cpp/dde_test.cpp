#include "corvex/raw/dde.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "byte_builder.hpp"

namespace corvex::raw {
namespace {

class DdeSizes : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

// Each record's m/z is its position minus one, so zero and a negative value
// are among them and must come through as stored.
TEST_P(DdeSizes, WholeRecordsOnly) {
    const auto [length, expected] = GetParam();
    test::ByteBuilder b(length, 0xCD);
    for (std::size_t i = 0; i < expected; ++i) b.put<double>(32 + 76 * i + 4, static_cast<double>(i) - 1.0);
    ASSERT_EQ(b.bytes.size(), length);
    const auto records = DdeRecord::parse_stream(b.bytes);
    ASSERT_EQ(records.size(), expected);
    for (std::size_t i = 0; i < expected; ++i) EXPECT_EQ(records[i].precursor_mz, static_cast<double>(i) - 1.0);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, DdeSizes,
                         ::testing::ValuesIn(std::vector<std::pair<std::size_t, std::size_t>>{
                             {0, 0}, {31, 0}, {32, 0}, {107, 0}, {108, 1}, {183, 1}, {184, 2}, {200, 2}, {260, 3}}));

TEST(Dde, KeepsNaN) {
    test::ByteBuilder b(108);
    b.put<double>(36, std::nan(""));
    const auto records = DdeRecord::parse_stream(b.bytes);
    ASSERT_EQ(records.size(), 1U);
    EXPECT_TRUE(std::isnan(records[0].precursor_mz));
}

}  // namespace
}  // namespace corvex::raw
