// The peak picker on arbitrary spectra and parameters: it must not crash, its
// arrays must agree in length, a second run with the same working memory
// must give the same centroids, and on points in channel order with whole
// counts every centroid must lie on the spectrum's channels, cover at least
// one point and carry finite values.
//
// Input: 8 bytes of parameters, then 6 bytes a point: the step from the
// previous channel (u16; 0 repeats it) and the intensity (u32), read as a
// count for the decoded-points form and as the bits of a float (NaN,
// infinities and negative numbers included) for the array form.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/centroid.hpp"

namespace {

using corvex::engine::CentroidParameters;
using corvex::engine::CentroidPosition;
using corvex::engine::Centroids;
using corvex::engine::CentroidScratch;

void check(bool condition) {
    if (!condition) __builtin_trap();
}

CentroidParameters parameters_from(const std::uint8_t* bytes) {
    CentroidParameters parameters;
    parameters.min_snr = bytes[0] / 16.0;
    parameters.min_intensity = bytes[1] < 200 ? 0.0 : bytes[1] - 200.0;
    parameters.min_points = 1 + bytes[2] % 6;
    parameters.max_gap_channels = bytes[3] % 8;
    parameters.single_point_peaks = (bytes[4] & 1) != 0;
    parameters.position = (bytes[4] & 2) != 0 ? CentroidPosition::gaussian_fit : CentroidPosition::half_height_centroid;
    parameters.valley_ratio = bytes[5] / 255.0;
    parameters.min_valley_snr = bytes[6] / 32.0;
    return parameters;
}

void check_shape(const Centroids& out) {
    check(out.intensity.size() == out.size() && out.apex_intensity.size() == out.size() &&
          out.point_count.size() == out.size());
}

bool same(const Centroids& a, const Centroids& b) {
    const auto bits_equal = [](const auto& x, const auto& y) {
        return x.size() == y.size() && (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof(x[0])) == 0);
    };
    return bits_equal(a.channel, b.channel) && bits_equal(a.intensity, b.intensity) &&
           bits_equal(a.apex_intensity, b.apex_intensity) && a.point_count == b.point_count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) return 0;
    const CentroidParameters parameters = parameters_from(data);
    check(!corvex::engine::parameter_error(parameters));

    std::vector<std::uint32_t> channels;
    std::vector<float> intensities;
    std::vector<corvex::raw::ScanPoint> points;
    bool increasing = true;
    std::uint32_t channel = 0;
    for (std::size_t at = 8; at + 6 <= size; at += 6) {
        std::uint16_t step;
        std::uint32_t value;
        std::memcpy(&step, data + at, sizeof step);
        std::memcpy(&value, data + at + 2, sizeof value);
        increasing &= step > 0 || channels.empty();
        const std::uint32_t next = channel + step;
        increasing &= next >= channel;
        channel = next;
        channels.push_back(channel);
        float bits;
        std::memcpy(&bits, &value, sizeof bits);
        intensities.push_back(bits);
        points.emplace_back(channel, value);
    }

    CentroidScratch scratch;
    Centroids first;
    Centroids again;
    corvex::engine::centroid_profile(channels, intensities, parameters, scratch, first);
    check_shape(first);
    corvex::engine::centroid_profile(channels, intensities, parameters, scratch, again);
    check(same(first, again));

    Centroids counted;
    corvex::engine::centroid_profile(points, parameters, scratch, counted);
    check_shape(counted);
    if (increasing && !channels.empty()) {
        const double low = static_cast<double>(channels.front()) - 0.5;
        const double high = static_cast<double>(channels.back()) + 0.5;
        for (std::size_t i = 0; i < counted.size(); ++i) {
            check(counted.channel[i] >= low && counted.channel[i] <= high);
            check(counted.point_count[i] >= parameters.min_points ||
                  (counted.point_count[i] == 1 && parameters.single_point_peaks));
            check(std::isfinite(counted.intensity[i]) && std::isfinite(counted.apex_intensity[i]));
        }
    }
    return 0;
}
