#include "corvex/raw/idx.hpp"

#include <gtest/gtest.h>

#include "byte_builder.hpp"

namespace corvex::raw {
namespace {

using test::ByteBuilder;

constexpr std::size_t slot_at(std::size_t i) { return 32 + 54 * i; }

struct SizeCase {
    std::size_t length;
    std::uint32_t scan_size;  // written into every whole slot
    std::size_t records;
    const char* error;  // the Parse message, or nullptr for success
};

class IdxSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(IdxSizes, SlotsAndFailures) {
    const SizeCase& c = GetParam();
    ByteBuilder b(c.length, 0xAB);
    for (std::size_t i = 0; slot_at(i + 1) <= c.length; ++i) b.put<std::uint32_t>(slot_at(i) + 4, c.scan_size);
    const auto result = IdxRecord::parse_stream(b.bytes);
    if (c.error == nullptr) {
        ASSERT_TRUE(result.ok()) << result.error().display();
        EXPECT_EQ(result.value().size(), c.records);
    } else {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().message, c.error);
    }
}

constexpr const char* too_short = "Idx stream too short for header";
constexpr const char* no_records = "Idx stream contained no valid scan records";

INSTANTIATE_TEST_SUITE_P(Boundaries, IdxSizes,
                         ::testing::Values(SizeCase{31, 100, 0, too_short}, SizeCase{32, 100, 0, no_records},
                                           SizeCase{85, 100, 0, no_records}, SizeCase{86, 57, 1, nullptr},
                                           SizeCase{86, 56, 0, no_records},
                                           SizeCase{32 + 54 * 3 + 53, 1000, 3, nullptr},
                                           SizeCase{32 + 54 * 1000, 0xFFFFFFFF, 1000, nullptr}));

TEST(Idx, DecodesEveryFieldAtItsOffset) {
    // Level codes other than 1 all mean MS level 2.
    for (const auto& [code, level] : {std::pair{1, 1U}, {0, 2U}, {2, 2U}, {255, 2U}}) {
        ByteBuilder b(slot_at(2), 0x7F);
        const std::size_t s = slot_at(1);  // second slot: the stride counts too
        b.put<std::uint32_t>(slot_at(0) + 4, 10);
        b.put<std::uint32_t>(s, 0xDEADBEEF).put<std::uint32_t>(s + 4, 4096).put<float>(s + 12, 12.5F);
        b.put<std::uint8_t>(s + 16, static_cast<std::uint8_t>(code)).put<double>(s + 18, 1.25e9);
        const auto result = IdxRecord::parse_stream(b.bytes);
        ASSERT_TRUE(result.ok());
        ASSERT_EQ(result.value().size(), 1U);
        EXPECT_EQ(result.value()[0], (IdxRecord{.scan_offset = 0xDEADBEEF, .scan_size = 4096,
                                                .retention_time_min = 12.5F, .ms_level = level, .tic = 1.25e9}))
            << "level code " << code;
    }
}

TEST(Idx, SkippedSlotLeavesNoGap) {
    ByteBuilder b(slot_at(3));
    const std::uint32_t sizes[] = {100, 10, 100};
    for (std::uint32_t i = 0; i < 3; ++i) {
        b.put<std::uint32_t>(slot_at(i), 1000 * (i + 1)).put<std::uint32_t>(slot_at(i) + 4, sizes[i]);
    }
    const auto result = IdxRecord::parse_stream(b.bytes);
    ASSERT_TRUE(result.ok());
    ASSERT_EQ(result.value().size(), 2U);
    EXPECT_EQ(result.value()[0].scan_offset, 1000U);
    EXPECT_EQ(result.value()[1].scan_offset, 3000U);
}

}  // namespace
}  // namespace corvex::raw
