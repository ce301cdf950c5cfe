// Doubles as the text Python's repr() gives them, so that text written here
// matches text Python wrote, byte for byte: the shortest digits that read
// back to the same double, placed positionally with ".0" for integral values
// when the decimal exponent is in [-4, 16) ("0.0001", "1e-05",
// "9999999999999998.0", "1e+16"), otherwise as "1.5e-07" with a signed
// exponent of at least two digits; "inf", "-inf", "nan" (whatever its sign)
// and "-0.0".
#pragma once

#include <cstddef>
#include <string>

namespace corvex::engine {

// The longest text, "-2.2250738585072014e-308", with room to spare.
constexpr std::size_t float_repr_capacity = 32;

// Writes the text at `out` (room for float_repr_capacity characters) and
// returns the end of what it wrote.
char* write_float_repr(char* out, double value) noexcept;

inline void append_float_repr(std::string& out, double value) {
    char buffer[float_repr_capacity];
    out.append(buffer, static_cast<std::size_t>(write_float_repr(buffer, value) - buffer));
}

}  // namespace corvex::engine
