#include "corvex/raw/summary_info.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "byte_builder.hpp"

namespace corvex::raw {
namespace {

using test::ByteBuilder;

struct FiletimeCase {
    std::int64_t filetime;
    const char* text;
};

class FiletimeText : public ::testing::TestWithParam<FiletimeCase> {};

TEST_P(FiletimeText, Renders) { EXPECT_EQ(filetime_to_rfc3339(GetParam().filetime), GetParam().text); }

constexpr std::int64_t epoch = 116444736000000000;
constexpr std::int64_t april_2019 = 132000000000000000;
constexpr std::int64_t day = 864000000000;  // in 100 ns ticks

INSTANTIATE_TEST_SUITE_P(
    Instants, FiletimeText,
    ::testing::Values(FiletimeCase{0, "1601-01-01T00:00:00Z"}, FiletimeCase{epoch, "1970-01-01T00:00:00Z"},
                      FiletimeCase{epoch - 1, "1969-12-31T23:59:59.999Z"},
                      FiletimeCase{april_2019, "2019-04-17T18:40:00Z"},
                      FiletimeCase{april_2019 + 1234567, "2019-04-17T18:40:00.123Z"},
                      FiletimeCase{april_2019 + 9999, "2019-04-17T18:40:00Z"},
                      // Leap days, centuries and the day before a March 1.
                      FiletimeCase{epoch + 951782400LL * 10000000, "2000-02-29T00:00:00Z"},
                      FiletimeCase{epoch + 4107542400LL * 10000000, "2100-03-01T00:00:00Z"},
                      FiletimeCase{std::numeric_limits<std::int64_t>::max(), "30828-09-14T02:48:05.477Z"},
                      FiletimeCase{-1, "1600-12-31T23:59:59.999Z"},
                      // 584388 days from 0001-01-01 to 1601-01-01; year 0 is a leap year.
                      // Negative years are padded to four characters sign included.
                      FiletimeCase{-day * (584388 + 366), "0000-01-01T00:00:00Z"},
                      FiletimeCase{-day * (584388 + 366 + 365) - 1, "-002-12-31T23:59:59.999Z"},
                      FiletimeCase{-day * (584388 + 366 + 365), "-001-01-01T00:00:00Z"},
                      // Wraps around: INT64_MIN less the epoch offset is 2^63 ticks
                      // after 1601, one tick past INT64_MAX.
                      FiletimeCase{std::numeric_limits<std::int64_t>::min(), "30828-09-14T02:48:05.477Z"},
                      // The earliest instant: t = INT64_MIN ticks from 1970, whose
                      // whole seconds times 10^7 no longer fit in 64 bits.
                      FiletimeCase{std::numeric_limits<std::int64_t>::min() + epoch, "-27258-04-19T21:11:54.522Z"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// A property-set stream: header with one set at offset 48, the set with
// `entries` (identifier, value offset) pairs, then whatever values are put.
ByteBuilder property_set(std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> entries) {
    ByteBuilder b(48);
    b.put<std::uint16_t>(0, 0xFFFE).put<std::uint32_t>(24, 1).put<std::uint32_t>(44, 48);
    b.put<std::uint32_t>(48 + 4, static_cast<std::uint32_t>(entries.size()));
    std::size_t at = 48 + 8;
    for (const auto& [id, offset] : entries) {
        b.put<std::uint32_t>(at, id).put<std::uint32_t>(at + 4, offset);
        at += 8;
    }
    return b;
}

ByteBuilder& put_filetime(ByteBuilder& b, std::size_t set_relative, std::int64_t filetime, std::uint32_t type = 0x40) {
    return b.put<std::uint32_t>(48 + set_relative, type).put<std::int64_t>(48 + set_relative + 4, filetime);
}

struct StreamCase {
    const char* name;
    Bytes bytes;
    std::optional<std::string> expected;
};

class CreateTimestamp : public ::testing::TestWithParam<StreamCase> {};

TEST_P(CreateTimestamp, Parses) { EXPECT_EQ(parse_create_timestamp(GetParam().bytes), GetParam().expected); }

Bytes valid() {
    auto b = property_set({{2, 64}, {12, 40}});
    return put_filetime(b, 40, epoch).bytes;
}
Bytes edited(Bytes bytes, std::size_t offset, std::uint32_t value) {
    return test::patched<std::uint32_t>(std::move(bytes), offset, value);
}
using test::resized;

const std::string epoch_text = "1970-01-01T00:00:00Z";

INSTANTIATE_TEST_SUITE_P(
    Streams, CreateTimestamp,
    ::testing::Values(
        StreamCase{"valid", valid(), epoch_text},
        StreamCase{"shorter_than_48", resized(valid(), 47), std::nullopt},
        StreamCase{"wrong_bom", edited(valid(), 0, 0xFEFF), std::nullopt},
        StreamCase{"zero_sets", edited(valid(), 24, 0), std::nullopt},
        StreamCase{"set_offset_past_end", edited(valid(), 44, 0xFFFFFFF9), std::nullopt},
        StreamCase{"value_ends_one_byte_early", resized(valid(), 48 + 40 + 11), std::nullopt},
        StreamCase{"value_ends_exactly", resized(valid(), 48 + 40 + 12), epoch_text},
        StreamCase{"value_offset_overflows_32_bits", edited(valid(), 48 + 20, 0xFFFFFFFF), std::nullopt},
        StreamCase{"type_with_padding", edited(valid(), 48 + 40, 0x00010040), std::nullopt},
        StreamCase{"first_12_is_a_string_decides",
                   [] {
                       auto b = property_set({{12, 40}, {12, 56}});
                       put_filetime(b, 40, epoch, 0x1E);
                       return put_filetime(b, 56, epoch).bytes;
                   }(),
                   std::nullopt},
        StreamCase{"table_runs_past_end_before_12",
                   [] {
                       // A count of 2^32 - 1 must stop at the stream's end.
                       auto b = property_set({{1, 0}, {2, 0}});
                       b.put<std::uint32_t>(52, 0xFFFFFFFF);
                       return b.bytes;
                   }(),
                   std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvex::raw
