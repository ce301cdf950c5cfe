#include "engine/float_repr.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace corvex::engine {

namespace {

char* copy(char* out, const char* text, std::size_t length) noexcept {
    std::memcpy(out, text, length);
    return out + length;
}

}  // namespace

char* write_float_repr(char* out, double value) noexcept {
    if (std::isnan(value)) return copy(out, "nan", 3);
    if (std::isinf(value)) return value < 0 ? copy(out, "-inf", 4) : copy(out, "inf", 3);

    // The scientific form's digits are the shortest that round-trip (the
    // closest to the value among them); only their placement changes here.
    char scientific[float_repr_capacity];
    const auto result = std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific);
    const char* p = scientific;
    const char* end = result.ptr;
    if (*p == '-') *out++ = *p++;
    // [-]d[.ddd]e±xx: gather the digits, then read the exponent.
    char digits[20];
    std::size_t count = 0;
    for (; *p != 'e'; ++p) {
        if (*p != '.') digits[count++] = *p;
    }
    ++p;
    const bool negative_exponent = *p == '-';
    int exponent = 0;
    std::from_chars(p + 1, end, exponent);
    if (negative_exponent) exponent = -exponent;

    if (exponent < -4 || exponent >= 16) {
        *out++ = digits[0];
        if (count > 1) {
            *out++ = '.';
            out = copy(out, digits + 1, count - 1);
        }
        *out++ = 'e';
        *out++ = negative_exponent ? '-' : '+';
        const int magnitude = negative_exponent ? -exponent : exponent;
        if (magnitude < 10) *out++ = '0';
        return std::to_chars(out, out + 4, magnitude).ptr;
    }
    // The decimal point falls after `point` digits (at or before the first
    // digit when `point` is not positive).
    const int point = exponent + 1;
    if (point <= 0) {
        out = copy(out, "0.", 2);
        std::memset(out, '0', static_cast<std::size_t>(-point));
        out += -point;
        return copy(out, digits, count);
    }
    const auto whole = static_cast<std::size_t>(point);
    if (whole >= count) {
        out = copy(out, digits, count);
        std::memset(out, '0', whole - count);
        out += whole - count;
        return copy(out, ".0", 2);
    }
    out = copy(out, digits, whole);
    *out++ = '.';
    return copy(out, digits + whole, count - whole);
}

}  // namespace corvex::engine
