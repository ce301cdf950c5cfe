#include "engine/numpress.hpp"

#include <libmsnumpress/MSNumpress.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace corvex::engine {

namespace {

namespace np = ms::numpress::MSNumpress;

constexpr const char* coding_name(Numpress coding) {
    switch (coding) {
        case Numpress::linear: return "linear";
        case Numpress::pic: return "pic";
        case Numpress::slof: return "slof";
    }
    return "?";
}

// The library checks some ranges itself (and throws), but codes NaN, or
// negative values in slof, into garbage without a word: check every value.
bool in_range(Numpress coding, double value) {
    if (!std::isfinite(value)) return false;
    switch (coding) {
        case Numpress::linear: return true;
        case Numpress::pic: return value >= 0 && value <= std::numeric_limits<int>::max() - 1;
        case Numpress::slof: return value >= 0;
    }
    return false;
}

// Output sizes from the library's documentation, with room to spare.
std::size_t most_bytes(Numpress coding, std::size_t count) {
    switch (coding) {
        case Numpress::linear: return 8 + 5 * count + 8;
        case Numpress::pic: return 5 * count + 8;
        case Numpress::slof: return 8 + 2 * count + 8;
    }
    return 0;
}

}  // namespace

std::optional<std::string> numpress_encode(Numpress coding, std::span<const double> values,
                                           std::vector<unsigned char>& out) {
    out.clear();
    for (const double value : values) {
        if (!in_range(coding, value)) {
            return std::string("MS-Numpress ") + coding_name(coding) + " cannot code the value " +
                   std::to_string(value);
        }
    }
    out.resize(most_bytes(coding, values.size()));
    std::size_t length = 0;
    try {
        switch (coding) {
            case Numpress::linear: {
                double fixed_point = np::optimalLinearFixedPoint(values.data(), values.size());
                // Values all zero (or nearly) allow any fixed point; the library's is infinite.
                if (std::isinf(fixed_point)) fixed_point = std::numeric_limits<double>::max();
                if (!values.empty() && !(fixed_point > 0)) {
                    out.clear();
                    return std::string("MS-Numpress linear cannot code values this large");
                }
                length = np::encodeLinear(values.data(), values.size(), out.data(), fixed_point);
                break;
            }
            case Numpress::pic:
                length = np::encodePic(values.data(), values.size(), out.data());
                break;
            case Numpress::slof: {
                // The library's fixed point comes from the largest log(x + 1);
                // log is increasing, so the largest value alone gives it: one
                // logarithm instead of one per value, which halves the work.
                double largest = 0;
                for (const double value : values) largest = std::max(largest, value);
                const double fixed_point = values.empty() ? np::optimalSlofFixedPoint(values.data(), 0)
                                                          : np::optimalSlofFixedPoint(&largest, 1);
                length = np::encodeSlof(values.data(), values.size(), out.data(), fixed_point);
                break;
            }
        }
    } catch (const char* message) {  // how the library reports a value out of range
        out.clear();
        return std::string(message);
    }
    out.resize(length);
    return std::nullopt;
}

}  // namespace corvex::engine
