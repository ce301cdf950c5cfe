#include "corvex/raw/calibration.hpp"

#include <gtest/gtest.h>

#include "byte_builder.hpp"

namespace corvex::raw {
namespace {

class CalibrationSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CalibrationSizes, NeedsBothValues) {
    test::ByteBuilder b(64, 0x11);
    b.put<double>(32, 2.5e-4).put<double>(40, -3.75);
    const auto calibration = Calibration::from_bytes(test::resized(b.bytes, GetParam()));
    if (GetParam() < 48) {
        EXPECT_FALSE(calibration.has_value());
    } else {
        EXPECT_EQ(calibration, (Calibration{.slope = 2.5e-4, .intercept = -3.75}));
    }
}

INSTANTIATE_TEST_SUITE_P(Boundaries, CalibrationSizes, ::testing::Values(0, 40, 47, 48, 64));

}  // namespace
}  // namespace corvex::raw
