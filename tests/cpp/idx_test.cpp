#include "corvex/raw/idx.hpp"

#include <gtest/gtest.h>

#include "byte_builder.hpp"

namespace corvex::raw {
namespace {

using test::ByteBuilder;

constexpr std::size_t slot_at(std::size_t i) { return 32 + 54 * i; }

// A stream of `length` bytes whose slots all carry `scan_size`.
ByteBuilder idx_stream(std::size_t length, std::uint32_t scan_size) {
    ByteBuilder b(length, 0xAB);
    for (std::size_t i = 0; slot_at(i + 1) <= length; ++i) b.put<std::uint32_t>(slot_at(i) + 4, scan_size);
    return b;
}

struct SizeCase {
    const char* name;
    std::size_t length;
    std::uint32_t scan_size;
    std::size_t records;     // when the decode succeeds
    const char* error;       // message when it fails, else nullptr
};

class IdxSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(IdxSizes, SlotsAndFailures) {
    const SizeCase& c = GetParam();
    const ByteBuilder b = idx_stream(c.length, c.scan_size);
    ASSERT_EQ(b.bytes.size(), c.length);
    const auto result = IdxRecord::parse_stream(b.bytes);
    if (c.error != nullptr) {
        ASSERT_FALSE(result.ok());
        const auto* parse = result.error().as<Error::Parse>();
        ASSERT_NE(parse, nullptr);
        EXPECT_EQ(parse->message, c.error);
    } else {
        ASSERT_TRUE(result.ok()) << result.error().display();
        EXPECT_EQ(result.value().size(), c.records);
    }
}

constexpr const char* too_short = "Idx stream too short for header";
constexpr const char* no_records = "Idx stream contained no valid scan records";

INSTANTIATE_TEST_SUITE_P(
    Boundaries, IdxSizes,
    ::testing::Values(SizeCase{"empty", 0, 100, 0, too_short},
                      SizeCase{"len31", 31, 100, 0, too_short},
                      SizeCase{"header_only", 32, 100, 0, no_records},
                      SizeCase{"one_byte_short_of_slot", 85, 100, 0, no_records},
                      SizeCase{"one_slot_size57", 86, 57, 1, nullptr},
                      SizeCase{"one_slot_size56", 86, 56, 0, no_records},
                      SizeCase{"one_slot_size0", 86, 0, 0, no_records},
                      SizeCase{"three_slots_trailing53", 32 + 54 * 3 + 53, 1000, 3, nullptr},
                      SizeCase{"many_slots", 32 + 54 * 1000, 0xFFFFFFFF, 1000, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Idx, DecodesEveryFieldAtItsOffset) {
    ByteBuilder b(slot_at(2));
    const std::size_t s = slot_at(1);  // the second slot, so the header and slot stride both count
    b.put<std::uint32_t>(slot_at(0) + 4, 10);  // skipped
    b.put<std::uint32_t>(s + 0, 0xDEADBEEF)
        .put<std::uint32_t>(s + 4, 4096)
        .put<std::uint32_t>(s + 8, 0x7F7F7F7F)
        .put<float>(s + 12, 12.5F)
        .put<std::uint8_t>(s + 16, 1)
        .put<std::uint8_t>(s + 17, 0xFF)
        .put<double>(s + 18, 1.25e9);
    const auto result = IdxRecord::parse_stream(b.bytes);
    ASSERT_TRUE(result.ok());
    ASSERT_EQ(result.value().size(), 1U);
    EXPECT_EQ(result.value()[0], (IdxRecord{.scan_offset = 0xDEADBEEF,
                                            .scan_size = 4096,
                                            .retention_time_min = 12.5F,
                                            .ms_level = 1,
                                            .tic = 1.25e9}));
}

class IdxMsLevel : public ::testing::TestWithParam<std::pair<std::uint8_t, std::uint32_t>> {};

TEST_P(IdxMsLevel, OnlyCodeOneIsLevelOne) {
    ByteBuilder b = idx_stream(slot_at(1), 100);
    b.put<std::uint8_t>(slot_at(0) + 16, GetParam().first);
    const auto result = IdxRecord::parse_stream(b.bytes);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value().at(0).ms_level, GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Codes, IdxMsLevel,
                         ::testing::Values(std::pair<std::uint8_t, std::uint32_t>{1, 1}, std::pair<std::uint8_t, std::uint32_t>{0, 2},
                                           std::pair<std::uint8_t, std::uint32_t>{2, 2}, std::pair<std::uint8_t, std::uint32_t>{255, 2}));

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
