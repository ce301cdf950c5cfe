#include "lumora/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <string_view>
#include <system_error>

namespace lumora {
namespace {

// Room for the shortest scientific form of any double: sign, 17 digits, the
// point, "e-" and a three-digit exponent.
constexpr std::size_t scientific_capacity = 32;

// Scientific shortest form gives the fewest significant digits that round-
// trip; only their placement changes here. (Shortest *fixed* form would not
// do: for large values it spells out every exact digit instead of zeros.)
template <class Float>
std::string positional_text(Float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

    char buffer[scientific_capacity];
    const auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    if (ec != std::errc{}) return "NaN";  // unreachable: the buffer fits every value
    std::string_view text(buffer, static_cast<std::size_t>(end - buffer));

    // text is [-]d[.ddd]e±xx.
    const bool negative = text.front() == '-';
    if (negative) text.remove_prefix(1);
    const std::size_t e_at = text.find('e');
    const std::string_view mantissa = text.substr(0, e_at);
    int exponent = 0;
    std::from_chars(text.data() + e_at + 1 + (text[e_at + 1] == '+'), text.data() + text.size(),
                    exponent);

    char digits[scientific_capacity];
    std::size_t digit_count = 0;
    for (const char c : mantissa) {
        if (c != '.') digits[digit_count++] = c;
    }
    const std::string_view significant(digits, digit_count);

    // The decimal point falls after `point` digits (negative: leading zeros).
    const long point = static_cast<long>(exponent) + 1;
    const long count = static_cast<long>(digit_count);
    std::string out;
    if (point <= 0) {
        out.reserve(static_cast<std::size_t>(negative + 2 - point + count));
        if (negative) out += '-';
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += significant;
    } else if (point >= count) {
        out.reserve(static_cast<std::size_t>(negative + point));
        if (negative) out += '-';
        out += significant;
        out.append(static_cast<std::size_t>(point - count), '0');
    } else {
        out.reserve(static_cast<std::size_t>(negative + count + 1));
        if (negative) out += '-';
        out += significant.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += significant.substr(static_cast<std::size_t>(point));
    }
    return out;
}

}  // namespace

std::string float_text(double value) { return positional_text(value); }
std::string float_text(float value) { return positional_text(value); }

}  // namespace lumora
