#include "lumora/types.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

namespace lumora {

bool ByteOrder::operator()(std::string_view a, std::string_view b) const noexcept {
    const std::size_t common = std::min(a.size(), b.size());
    const int order = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
    return order != 0 ? order < 0 : a.size() < b.size();
}

SpectrumRecord SpectrumRecord::with_peaks(std::vector<double> mz_values,
                                          std::vector<float> intensity_values) && {
    mz = std::move(mz_values);
    intensity = std::move(intensity_values);
    return std::move(*this);
}

SpectrumRecord SpectrumRecord::with_extra(std::string_view key, std::string value) && {
    // One descent finds both the entry to replace and the insertion hint.
    const auto it = extra.lower_bound(key);
    if (it != extra.end() && it->first == key) {
        it->second = std::move(value);
    } else {
        extra.emplace_hint(it, std::string(key), std::move(value));
    }
    return std::move(*this);
}

namespace {

// Lanes of independent running values: a loop that updates lane k % lanes
// with element k carries no dependence from one element to the next, so it
// vectorises and no longer waits on the previous comparison.
constexpr std::size_t lanes = 8;

}  // namespace

double summed_intensity(std::span<const float> intensity) noexcept {
    // Strictly sequential: the summation order is part of the result, and the
    // build never enables reassociation (-ffast-math / -fassociative-math),
    // so the compiler cannot split this into vector partial sums. (Lane sums
    // would be exact for the usual integer counts, but checking that they
    // are costs more than the sequential sum on current processors.)
    double sum = -0.0;
    for (const float value : intensity) sum += static_cast<double>(value);
    return sum;
}

std::optional<BasePeak> first_base_peak(std::span<const double> mz, std::span<const float> intensity) noexcept {
    // Bounding the scan by both lists keeps a malformed record from reading
    // past mz.
    const std::size_t peaks = std::min(mz.size(), intensity.size());
    if (peaks == 0) return std::nullopt;
    // Nothing is greater than a NaN: a leading one is never replaced.
    if (std::isnan(intensity[0])) return BasePeak{mz[0], static_cast<double>(intensity[0])};
    // The greatest value, NaN never winning; then the first peak holding
    // it (ties keep the earliest, and 0.0 and -0.0 tie).
    std::array<float, lanes> greatest;
    greatest.fill(intensity[0]);
    std::size_t k = 0;
    for (; k + lanes <= peaks; k += lanes) {
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            const float value = intensity[k + lane];
            greatest[lane] = value > greatest[lane] ? value : greatest[lane];
        }
    }
    float best_value = intensity[0];
    for (const float value : greatest) best_value = value > best_value ? value : best_value;
    for (; k < peaks; ++k) best_value = intensity[k] > best_value ? intensity[k] : best_value;
    std::size_t best = 0;
    while (!(intensity[best] == best_value)) ++best;
    return BasePeak{mz[best], static_cast<double>(intensity[best])};
}

double SpectrumRecord::effective_tic() const noexcept {
    if (reported_total_ion_current) return *reported_total_ion_current;
    return summed_intensity(intensity);
}

std::optional<BasePeak> SpectrumRecord::effective_base_peak() const noexcept {
    if (reported_base_peak_mz && reported_base_peak_intensity) {
        return BasePeak{*reported_base_peak_mz, *reported_base_peak_intensity};
    }
    return first_base_peak(mz, intensity);
}

RunMetadata RunMetadata::make(std::string source_file_name, CvTerm source_file_format,
                              CvTerm native_id_format, CvTerm instrument,
                              std::string_view software_name, std::string_view software_version) {
    RunMetadata metadata;
    metadata.source_file_name = std::move(source_file_name);
    metadata.source_file_format = std::move(source_file_format);
    metadata.native_id_format = std::move(native_id_format);
    metadata.instrument = std::move(instrument);
    metadata.software_name = std::string(software_name);
    metadata.software_version = std::string(software_version);
    return metadata;
}

RunMetadata RunMetadata::with_extra_map(ExtraMap map) && {
    extra = std::move(map);
    return std::move(*this);
}

}  // namespace lumora
