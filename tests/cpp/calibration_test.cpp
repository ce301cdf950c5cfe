#include "corvex/raw/calibration.hpp"

#include <gtest/gtest.h>

#include "byte_builder.hpp"

namespace corvex::raw {
namespace {

using test::ByteBuilder;

class CalibrationSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CalibrationSizes, NeedsBothValues) {
    const std::size_t length = GetParam();
    ByteBuilder b(64, 0x11);
    b.put<double>(32, 2.5e-4).put<double>(40, -3.75);
    b.bytes.resize(length);
    const auto calibration = Calibration::from_bytes(b.bytes);
    if (length < 48) {
        EXPECT_FALSE(calibration.has_value());
    } else {
        ASSERT_TRUE(calibration.has_value());
        EXPECT_EQ(*calibration, (Calibration{.slope = 2.5e-4, .intercept = -3.75}));
        EXPECT_EQ(calibration->mz(1000.0), -3.75 + 2.5e-4 * 1000.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Boundaries, CalibrationSizes, ::testing::Values(0, 32, 40, 47, 48, 64));

}  // namespace
}  // namespace corvex::raw
