#include "corvex/raw/summary_info.hpp"

#include <cinttypes>
#include <cstdio>

namespace corvex::raw {

// Property offsets are 32-bit and table entries 8 bytes apart; in 64 bits
// every offset sum below is exact.
static_assert(sizeof(std::size_t) >= 8);

namespace {

constexpr std::uint16_t byte_order_mark = 0xFFFE;
constexpr std::size_t set_count_offset = 24;
constexpr std::size_t first_set_offset_offset = 44;
constexpr std::size_t header_size = 48;
constexpr std::uint32_t create_time_property = 12;
constexpr std::uint32_t filetime_type = 0x0040;  // VT_FILETIME, padding 0

// 100 ns ticks from 1601-01-01 to 1970-01-01.
constexpr std::uint64_t unix_epoch_ticks = 116444736000000000ULL;
constexpr std::int64_t ticks_per_second = 10000000;
constexpr std::int64_t ticks_per_millisecond = 10000;
constexpr std::int64_t seconds_per_day = 86400;

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// The remainder that goes with floor_div, in [0, b) for b > 0. Taken from
// `%` rather than as a - b * floor_div(a, b): near INT64_MIN that product
// overflows.
constexpr std::int64_t floor_mod(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t r = a % b;
    return r < 0 ? r + b : r;
}

struct CivilDate {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

// Proleptic Gregorian date of a day count from 1970-01-01, working in
// 400-year eras that start on March 1 so leap days fall at the end of a year.
constexpr CivilDate civil_from_days(std::int64_t days) noexcept {
    const std::int64_t z = days + 719468;
    const std::int64_t era = floor_div(z, 146097);
    const std::int64_t doe = z - era * 146097;                                 // [0, 146096]
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);          // [0, 365]
    const std::int64_t mp = (5 * doy + 2) / 153;                               // [0, 11]
    const auto day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + 400 * era + (month <= 2 ? 1 : 0), month, day};
}

}  // namespace

std::string filetime_to_rfc3339(std::int64_t filetime) {
    // Wraps for FILETIMEs near INT64_MIN, as two's complement does.
    const auto t = static_cast<std::int64_t>(static_cast<std::uint64_t>(filetime) - unix_epoch_ticks);
    const std::int64_t s = floor_div(t, ticks_per_second);
    const std::int64_t ms = floor_mod(t, ticks_per_second) / ticks_per_millisecond;
    const std::int64_t days = floor_div(s, seconds_per_day);
    const std::int64_t d = floor_mod(s, seconds_per_day);
    const CivilDate date = civil_from_days(days);

    // Longest: a 12-digit signed year, 24 characters of the rest, the NUL.
    char text[48];
    const int hour = static_cast<int>(d / 3600);
    const int minute = static_cast<int>(d % 3600 / 60);
    const int second = static_cast<int>(d % 60);
    int n;
    if (ms == 0) {
        n = std::snprintf(text, sizeof text, "%04" PRId64 "-%02u-%02uT%02d:%02d:%02dZ", date.year, date.month,
                          date.day, hour, minute, second);
    } else {
        n = std::snprintf(text, sizeof text, "%04" PRId64 "-%02u-%02uT%02d:%02d:%02d.%03dZ", date.year,
                          date.month, date.day, hour, minute, second, static_cast<int>(ms));
    }
    return std::string(text, static_cast<std::size_t>(n));
}

std::optional<std::string> parse_create_timestamp(ByteView stream) {
    if (!has_bytes(stream, 0, 2) || load_u16(stream, 0) != byte_order_mark) return std::nullopt;
    if (!has_bytes(stream, set_count_offset, 4) || load_u32(stream, set_count_offset) == 0) return std::nullopt;
    if (stream.size() < header_size) return std::nullopt;

    const std::size_t set = load_u32(stream, first_set_offset_offset);
    if (!has_bytes(stream, set, 8)) return std::nullopt;
    const std::uint32_t property_count = load_u32(stream, set + 4);

    // The table bound stops the loop at the stream's end, whatever the count.
    for (std::uint64_t i = 0; i < property_count; ++i) {
        const std::size_t entry = set + 8 + 8 * static_cast<std::size_t>(i);
        if (!has_bytes(stream, entry, 4)) return std::nullopt;
        if (load_u32(stream, entry) != create_time_property) continue;

        // The first entry with the identifier decides, whatever follows it.
        if (!has_bytes(stream, entry + 4, 4)) return std::nullopt;
        const std::size_t value = set + std::size_t{load_u32(stream, entry + 4)};
        if (!has_bytes(stream, value, 4) || load_u32(stream, value) != filetime_type) return std::nullopt;
        if (!has_bytes(stream, value + 4, 8)) return std::nullopt;
        return filetime_to_rfc3339(static_cast<std::int64_t>(load_u64(stream, value + 4)));
    }
    return std::nullopt;
}

}  // namespace corvex::raw
