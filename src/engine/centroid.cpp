#include "engine/centroid.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>

namespace corvex::engine {

namespace {

// Whole counts 0 to 1022 have a bin each; the last bin takes everything
// above, and a quantile that falls there is found among those values.
constexpr std::size_t histogram_bins = 1024;
constexpr std::size_t overflow_bin = histogram_bins - 1;
constexpr float overflow_from = 1022.5F;
// The 75th percentile of the standard normal distribution.
constexpr double quartile_z = 0.6744897501960817;
// Variance of the 1-2-1 smoothed value of independent points, as a share of
// theirs: (1 + 4 + 1) / 16.
constexpr double smoothed_variance_share = 0.375;
// Runs with gaps are copied with the gaps filled; the limit bounds the copy
// to this many times the number of points.
constexpr std::uint32_t max_gap_channels_limit = 1000;

constexpr float usable(float value) noexcept {
    // NaN fails both comparisons.
    return value >= 0.0F && value <= FLT_MAX ? value : 0.0F;
}

constexpr std::size_t histogram_bin(float value) noexcept {
    return value < overflow_from ? static_cast<std::size_t>(value + 0.5F) : overflow_bin;
}

}  // namespace

void Centroids::clear() noexcept {
    channel.clear();
    intensity.clear();
    apex_intensity.clear();
    point_count.clear();
    noise = NoiseEstimate{};
}

std::optional<std::string_view> parameter_error(const CentroidParameters& parameters) noexcept {
    if (!(parameters.min_snr >= 0.0 && parameters.min_snr <= 1e12)) return "min_snr must be a number from 0 to 1e12";
    if (!(parameters.min_valley_snr >= 0.0 && parameters.min_valley_snr <= 1e12)) {
        return "min_valley_snr must be a number from 0 to 1e12";
    }
    if (!(parameters.min_intensity >= 0.0 && parameters.min_intensity <= FLT_MAX)) {
        return "min_intensity must be a finite number of at least 0";
    }
    if (parameters.min_points < 1) return "min_points must be at least 1";
    if (parameters.max_gap_channels > max_gap_channels_limit) return "max_gap_channels must be from 0 to 1000";
    if (!(parameters.valley_ratio >= 0.0 && parameters.valley_ratio <= 1.0)) {
        return "valley_ratio must be a number from 0 to 1";
    }
    if (parameters.position != CentroidPosition::half_height_centroid &&
        parameters.position != CentroidPosition::gaussian_fit) {
        return "position is not a known method";
    }
    return std::nullopt;
}

// One spectrum's picking: load() the intensities, then pick().
class CentroidPicker {
public:
    CentroidPicker(const CentroidParameters& parameters, CentroidScratch& scratch, Centroids& out)
        : parameters_(parameters), scratch_(scratch), out_(out) {}

    // Uses the intensities in place when every one is a finite number of at
    // least 0, which is the common case and costs one pass that vectorises;
    // otherwise a copy with the others as 0.
    void load(std::span<const float> intensities) {
        if (all_usable(intensities)) {
            values_ = intensities;
            return;
        }
        auto& values = scratch_.intensities_;
        values.resize(intensities.size());
        for (std::size_t i = 0; i < intensities.size(); ++i) values[i] = usable(intensities[i]);
        values_ = values;
    }

    // Decoded points: their channels and intensities copied into the scratch.
    std::span<const std::uint32_t> load(std::span<const raw::ScanPoint> points) {
        auto& channels = scratch_.channels_;
        auto& values = scratch_.intensities_;
        channels.resize(points.size());
        values.resize(points.size());
        for (std::size_t i = 0; i < points.size(); ++i) {
            channels[i] = points[i].index;
            values[i] = static_cast<float>(points[i].intensity);
        }
        values_ = values;
        return channels;
    }

    // After load(): the centroids of the points (channels[i], intensity i).
    void pick(std::span<const std::uint32_t> channels) {
        out_.clear();
        channels_ = channels.first(std::min(channels.size(), values_.size()));
        values_ = values_.first(channels_.size());
        if (channels_.empty()) return;
        estimate_noise();
        const NoiseEstimate noise = out_.noise;
        apex_threshold_ = static_cast<float>(noise.baseline + parameters_.min_snr * noise.sigma);
        extent_threshold_ = static_cast<float>(noise.baseline + std::min(1.0, parameters_.min_snr) * noise.sigma);

        const std::size_t count = channels_.size();
        const std::uint64_t longest_step = std::uint64_t{parameters_.max_gap_channels} + 1;
        std::size_t start = 0;
        while (start < count) {
            // A run: points whose channels rise by at most max_gap_channels + 1.
            bool gaps = false;
            const std::size_t end = run_end(start, longest_step, gaps);
            if (end - start == 1) {
                pick_isolated_point(start);
            } else if (end - start >= parameters_.min_points && highest(start, end) >= apex_threshold_) {
                // The smoothed profile never rises above the highest point.
                filled_ = gaps;
                pick_run(channels_[start], gaps ? fill_gaps(start, end) : values_.subspan(start, end - start));
            }
            start = end;
        }
    }

private:
    static bool all_usable(std::span<const float> values) {
        // Finite numbers of at least 0 are the bit patterns 0 to FLT_MAX's,
        // read as signed integers; negative numbers read as negative, and
        // infinities and NaN as larger.
        constexpr std::int32_t largest = 0x7F7FFFFF;
        std::int32_t low = 0;
        std::int32_t high = 0;
        for (const float value : values) {
            const auto bits = std::bit_cast<std::int32_t>(value);
            low = std::min(low, bits);
            high = std::max(high, bits);
        }
        return low >= 0 && high <= largest;
    }

    // The highest of points [start, end), in a loop that vectorises: usable
    // intensities are ordered as their bit patterns are.
    float highest(std::size_t start, std::size_t end) const {
        std::int32_t high = 0;
        for (std::size_t i = start; i < end; ++i) high = std::max(high, std::bit_cast<std::int32_t>(values_[i]));
        return std::bit_cast<float>(high);
    }

    // The end of the run that starts at point `start`: the first point whose
    // channel is not 1 to `longest_step` above the one before (or the end).
    // Sets `gaps` when some step is more than 1. Past the first 16 points,
    // steps are taken 16 at a time while none ends the run, in a loop that
    // vectorises.
    std::size_t run_end(std::size_t start, std::uint64_t longest_step, bool& gaps) const {
        constexpr std::size_t block = 16;
        const std::uint32_t* channels = channels_.data();
        const std::size_t count = channels_.size();
        // In 32 bits a step of 0 or a fall wraps to at least longest_step.
        const auto last_step = static_cast<std::uint32_t>(longest_step - 1);
        std::size_t end = start + 1;
        // Most runs are a few points of baseline: step through those first.
        for (const std::size_t scalar_end = std::min(count, end + block); end < scalar_end; ++end) {
            const std::uint32_t step = channels[end] - channels[end - 1];
            if (step - 1 > last_step) return end;
            gaps |= step > 1;
        }
        while (end + block <= count) {
            std::uint32_t breaks = 0;
            std::uint32_t wide = 0;
            for (std::size_t j = 0; j < block; ++j) {
                const std::uint32_t step = channels[end + j] - channels[end + j - 1];
                breaks |= static_cast<std::uint32_t>(step - 1 > last_step);
                wide |= static_cast<std::uint32_t>(step > 1);
            }
            if (breaks != 0) break;
            gaps |= wide != 0;
            end += block;
        }
        for (; end < count; ++end) {
            const std::uint32_t step = channels[end] - channels[end - 1];
            if (step - 1 > last_step) break;
            gaps |= step > 1;
        }
        return end;
    }

    // The intensity below which a share `fraction` of the `total` channels
    // lie, reading each whole count k as spread evenly over [k - 0.5, k + 0.5).
    double quantile(double fraction, std::uint64_t total) {
        const auto& histogram = scratch_.histogram_;
        const double target = fraction * static_cast<double>(total);
        double below = 0.0;
        for (std::size_t bin = 0; bin < histogram_bins; ++bin) {
            const auto count = static_cast<double>(histogram[bin]);
            if (count > 0.0 && below + count >= target) {
                if (bin == overflow_bin) return large_value(target - below);
                return static_cast<double>(bin) - 0.5 + (target - below) / count;
            }
            below += count;
        }
        return static_cast<double>(overflow_bin);
    }

    // The value of the given rank among the intensities of the overflow bin.
    double large_value(double rank) {
        auto& large = scratch_.large_values_;
        large.clear();
        for (const float value : values_) {
            if (value >= overflow_from) large.push_back(value);
        }
        const auto at = std::min(large.size() - 1, static_cast<std::size_t>(rank));
        std::nth_element(large.begin(), large.begin() + static_cast<std::ptrdiff_t>(at), large.end());
        return large[at];
    }

    // The lower half of the intensities is baseline as long as peaks cover
    // less than half the channels, so the spread is read from the quartile
    // below the median.
    void estimate_noise() {
        const std::size_t count = values_.size();
        const std::uint64_t first = channels_.front();
        const std::uint64_t last = channels_.back();
        // Channels without a point are zeros. Points out of order add none.
        const std::uint64_t covered = last >= first ? last - first + 1 : 0;
        const std::uint64_t total = std::max<std::uint64_t>(covered, count);
        std::uint64_t zeros = total - count;
        for (const float value : values_) zeros += value < 0.5F ? 1 : 0;
        double lower_quartile = 0.0;
        double median = 0.0;
        if (2 * zeros >= total) {
            // Both quantiles fall among the zeros, as in sparse spectra,
            // where most channels have no point: no histogram is needed.
            lower_quartile = -0.5 + 0.25 * static_cast<double>(total) / static_cast<double>(zeros);
            median = -0.5 + 0.5 * static_cast<double>(total) / static_cast<double>(zeros);
        } else {
            auto& histogram = scratch_.histogram_;
            histogram.assign(histogram_bins, 0);
            for (const float value : values_) ++histogram[histogram_bin(value)];
            histogram[0] += total - count;
            lower_quartile = quantile(0.25, total);
            median = quantile(0.5, total);
        }
        out_.noise.baseline = std::max(0.0, median);
        // A count is the smallest step there is: the noise is never below one.
        out_.noise.sigma = std::max(1.0, (median - lower_quartile) / quartile_z);
    }

    void pick_isolated_point(std::size_t at) {
        if (!parameters_.single_point_peaks) return;
        const float value = values_[at];
        // The smoothed value of a lone point is half of it, so it is tested as is.
        if (value < apex_threshold_ || value < parameters_.min_intensity || value <= 0.0F) return;
        emit(static_cast<double>(channels_[at]), value - out_.noise.baseline, value, 1);
    }

    // The intensities of every channel of points [start, end), those without
    // a point interpolated linearly between the points on either side: a
    // hole in a peak (a channel dropped, or a zero count in a flank) neither
    // splits it nor pulls its centroid. Marks the channels that have points.
    std::span<const float> fill_gaps(std::size_t start, std::size_t end) {
        auto& filled = scratch_.filled_;
        auto& has_point = scratch_.has_point_;
        const std::uint32_t first = channels_[start];
        // Channel differences are taken modulo 2^32, as the run scan takes them.
        const std::size_t size = std::size_t{static_cast<std::uint32_t>(channels_[end - 1] - first)} + 1;
        filled.resize(size);
        has_point.assign(size, 0);
        std::size_t at = 0;
        filled[0] = values_[start];
        has_point[0] = 1;
        for (std::size_t i = start + 1; i < end; ++i) {
            const std::size_t next = static_cast<std::uint32_t>(channels_[i] - first);
            const float from = values_[i - 1];
            const float step = (values_[i] - from) / static_cast<float>(next - at);
            for (std::size_t k = at + 1; k < next; ++k) filled[k] = from + step * static_cast<float>(k - at);
            filled[next] = values_[i];
            has_point[next] = 1;
            at = next;
        }
        return filled;
    }

    // `run` holds the intensities of consecutive channels from
    // `first_channel` on, at least two.
    void pick_run(std::uint32_t first_channel, std::span<const float> run) {
        smooth(run);
        find_candidates();
        merge_candidates();
        const auto& peaks = scratch_.candidates_;
        for (std::size_t p = 0; p < peaks.size(); ++p) {
            const std::size_t first = peaks[p].valley;
            const std::size_t last = p + 1 < peaks.size() ? peaks[p + 1].valley - 1 : run.size() - 1;
            emit_peak(first_channel, run, peaks[p].apex, first, last);
        }
    }

    void smooth(std::span<const float> run) {
        auto& smoothed = scratch_.smoothed_;
        const std::size_t size = run.size();
        smoothed.resize(size);
        float* out = smoothed.data();
        const float* in = run.data();
        out[0] = 0.25F * (2.0F * in[0] + in[1]);
        for (std::size_t k = 1; k + 1 < size; ++k) out[k] = 0.25F * (in[k - 1] + 2.0F * in[k] + in[k + 1]);
        out[size - 1] = 0.25F * (in[size - 2] + 2.0F * in[size - 1]);
    }

    // Local maxima of the smoothed run at or above the apex threshold (a
    // flat top is one maximum, at its middle), each with the lowest point
    // between it and the one before. Blocks of points all below the
    // threshold, most of a spectrum's baseline, are passed over in a loop
    // that vectorises.
    void find_candidates() {
        constexpr std::size_t block = 16;
        const float* smoothed = scratch_.smoothed_.data();
        const std::size_t size = scratch_.smoothed_.size();
        const float threshold = apex_threshold_;
        auto& candidates = scratch_.candidates_;
        candidates.clear();
        std::size_t since_previous = 0;  // first point after the previous maximum
        std::size_t k = 0;
        std::size_t block_end = 0;
        while (k < size) {
            if (k >= block_end) {
                block_end = k + block;
                if (block_end <= size) {
                    std::uint32_t high = 0;
                    for (std::size_t j = 0; j < block; ++j) {
                        high |= static_cast<std::uint32_t>(smoothed[k + j] >= threshold);
                    }
                    if (high == 0) {
                        k = block_end;
                        continue;
                    }
                }
            }
            const float value = smoothed[k];
            const float before = k > 0 ? smoothed[k - 1] : 0.0F;  // the run's edge is a zero
            if (!(value >= threshold && value > before)) {
                ++k;
                continue;
            }
            std::size_t top_end = k;
            while (top_end + 1 < size && smoothed[top_end + 1] == value) ++top_end;
            if (top_end + 1 == size || smoothed[top_end + 1] < value) {
                CentroidScratch::Candidate candidate{.apex = (k + top_end) / 2, .valley = 0, .top = value, .dip = 0.0F};
                if (!candidates.empty()) {
                    // The lowest point since the previous maximum (the first
                    // of equals); the first maximum's share starts at the
                    // run's start.
                    candidate.valley = since_previous;
                    candidate.dip = smoothed[since_previous];
                    for (std::size_t v = since_previous + 1; v < k; ++v) {
                        if (smoothed[v] < candidate.dip) {
                            candidate.dip = smoothed[v];
                            candidate.valley = v;
                        }
                    }
                }
                candidates.push_back(candidate);
                since_previous = top_end + 1;
            }
            k = top_end + 1;
        }
    }

    // Whether two maxima whose lower smoothed top is `top` and whose lowest
    // point between them is `dip` are two peaks.
    bool separate(double top, double dip) const {
        const double baseline = out_.noise.baseline;
        const double height = top - baseline;
        if (dip - baseline > parameters_.valley_ratio * height) return false;
        // Counting noise of the two smoothed levels: the baseline's plus the
        // signal's own, whose variance is its count.
        const double sigma = out_.noise.sigma;
        const double variance = smoothed_variance_share *
                                (2.0 * sigma * sigma + std::max(0.0, height) + std::max(0.0, dip - baseline));
        const double depth = top - dip;
        return depth * depth >= parameters_.min_valley_snr * parameters_.min_valley_snr * variance;
    }

    // Merges each maximum that is not separate from its left neighbour into
    // the higher of the two, until every neighbouring pair is separate.
    void merge_candidates() {
        auto& candidates = scratch_.candidates_;
        std::size_t kept = 0;
        for (std::size_t next = 0; next < candidates.size(); ++next) {
            CentroidScratch::Candidate current = candidates[next];
            while (kept > 0) {
                const CentroidScratch::Candidate& previous = candidates[kept - 1];
                if (separate(std::min(previous.top, current.top), current.dip)) break;
                if (previous.top >= current.top) {
                    current = previous;
                } else {
                    // The merged peak starts where the previous one did, and
                    // its dip to the peak before is the lower of the two.
                    current.valley = previous.valley;
                    current.dip = std::min(previous.dip, current.dip);
                }
                --kept;
            }
            candidates[kept++] = current;
        }
        candidates.resize(kept);
    }

    // A peak whose smoothed apex is run[apex] and which may use run[first..last].
    void emit_peak(std::uint32_t first_channel, std::span<const float> run, std::size_t apex, std::size_t first,
                   std::size_t last) {
        const std::vector<float>& smoothed = scratch_.smoothed_;
        std::size_t low = apex;
        while (low > first && smoothed[low - 1] > extent_threshold_) --low;
        std::size_t high = apex;
        while (high < last && smoothed[high + 1] > extent_threshold_) ++high;
        // Points (channels with counts), the highest point and the counts.
        std::size_t points = 0;
        std::size_t top = low;
        double sum = 0.0;
        for (std::size_t k = low; k <= high; ++k) {
            const float value = run[k];
            points += value > 0.0F && (!filled_ || scratch_.has_point_[k] != 0) ? 1 : 0;
            if (value > run[top]) top = k;
            sum += static_cast<double>(value);
        }
        if (points < parameters_.min_points) return;
        // Of a flat top, the middle.
        std::size_t top_end = top;
        while (top_end < high && run[top_end + 1] == run[top]) ++top_end;
        const bool flat_top = top_end > top;
        top = (top + top_end) / 2;
        const float apex_value = run[top];
        if (apex_value < parameters_.min_intensity) return;
        const double baseline = out_.noise.baseline;
        const double area = sum - baseline * static_cast<double>(high - low + 1);

        double offset = 0.0;
        const bool fitted = parameters_.position == CentroidPosition::gaussian_fit && !flat_top && top > low &&
                            top < high && gaussian_vertex(run, top, offset);
        const double at = fitted ? static_cast<double>(top) + offset : half_height_centroid(run, apex, low, high);
        const double position = static_cast<double>(first_channel) + at;
        emit(position, area, apex_value, static_cast<std::uint32_t>(std::min<std::size_t>(points, UINT32_MAX)));
    }

    // Offset from run[top] of the parabola's vertex through the logarithms
    // of the three points around it; false when one is at or below the
    // baseline.
    bool gaussian_vertex(std::span<const float> run, std::size_t top, double& offset) const {
        const double baseline = out_.noise.baseline;
        const double left = static_cast<double>(run[top - 1]) - baseline;
        const double centre = static_cast<double>(run[top]) - baseline;
        const double right = static_cast<double>(run[top + 1]) - baseline;
        if (!(left > 0.0 && right > 0.0 && centre > left && centre > right)) return false;
        const double log_left = std::log(left);
        const double log_centre = std::log(centre);
        const double log_right = std::log(right);
        offset = 0.5 * (log_left - log_right) / (log_left - 2.0 * log_centre + log_right);
        return true;
    }

    // The profile smoothed once more, at run[k], on the fly: the half-height
    // window is found on it, so that counting noise in the flanks does not
    // end the window early on one side.
    float smoothed_twice(std::size_t k) const {
        const std::vector<float>& smoothed = scratch_.smoothed_;
        const float left = k > 0 ? smoothed[k - 1] : 0.0F;
        const float right = k + 1 < smoothed.size() ? smoothed[k + 1] : 0.0F;
        return 0.25F * (left + 2.0F * smoothed[k] + right);
    }

    // Intensity-weighted mean position of the points within the peak's half
    // height, from the smoothed apex near run[apex] and inside run[low..high].
    // The window's ends are where the smoothed profile first and last crosses
    // half height, interpolated between points, and the points at the ends
    // count with the share of their channel inside the window: a window of
    // whole points would take in one more point on the side the apex leans
    // to, which pulls the mean by up to a quarter of a channel.
    double half_height_centroid(std::span<const float> run, std::size_t apex, std::size_t low,
                                std::size_t high) const {
        std::size_t top = apex;
        while (top > low && smoothed_twice(top - 1) > smoothed_twice(top)) --top;
        while (top < high && smoothed_twice(top + 1) > smoothed_twice(top)) ++top;
        const double baseline = out_.noise.baseline;
        const double half = baseline + 0.5 * (static_cast<double>(smoothed_twice(top)) - baseline);
        // The outermost crossings: a peak merged from two maxima is one
        // window, not the half around the higher one.
        std::size_t from = low;
        while (from < top && smoothed_twice(from) < half) ++from;
        std::size_t to = high;
        while (to > top && smoothed_twice(to) < half) --to;
        const auto crossing = [&](std::size_t inside, std::size_t outside) {
            const double in = smoothed_twice(inside);
            const double out = smoothed_twice(outside);
            return (in - half) / (in - out);  // in >= half > out
        };
        const double window_from =
            static_cast<double>(from) - (from > low ? crossing(from, from - 1) : 0.5);
        const double window_to = static_cast<double>(to) + (to < high ? crossing(to, to + 1) : 0.5);

        double weight = 0.0;
        double moment = 0.0;
        for (std::size_t k = from > low ? from - 1 : from; k <= to + (to < high ? 1 : 0); ++k) {
            const double centre = static_cast<double>(k);
            const double inside = std::min(centre + 0.5, window_to) - std::max(centre - 0.5, window_from);
            if (inside <= 0.0) continue;
            const double w = (static_cast<double>(run[k]) - baseline) * std::min(inside, 1.0);
            weight += w;
            moment += w * centre;
        }
        return weight > 0.0 ? moment / weight : static_cast<double>(top);
    }

    void emit(double channel, double intensity, float apex, std::uint32_t points) {
        out_.channel.push_back(channel);
        out_.intensity.push_back(static_cast<float>(intensity));
        out_.apex_intensity.push_back(apex);
        out_.point_count.push_back(points);
    }

    const CentroidParameters& parameters_;
    CentroidScratch& scratch_;
    Centroids& out_;
    std::span<const std::uint32_t> channels_;
    std::span<const float> values_;
    bool filled_ = false;  // whether the run being picked comes from fill_gaps()
    float apex_threshold_ = 0.0F;
    float extent_threshold_ = 0.0F;
};

void centroid_profile(std::span<const std::uint32_t> channels, std::span<const float> intensities,
                      const CentroidParameters& parameters, CentroidScratch& scratch, Centroids& out) {
    CentroidPicker picker(parameters, scratch, out);
    picker.load(intensities);
    picker.pick(channels);
}

void centroid_profile(std::span<const raw::ScanPoint> points, const CentroidParameters& parameters,
                      CentroidScratch& scratch, Centroids& out) {
    CentroidPicker picker(parameters, scratch, out);
    picker.pick(picker.load(points));
}

void channels_to_mz(const raw::Calibration& calibration, std::span<const double> channels,
                    std::span<double> mz) noexcept {
    const std::size_t count = std::min(channels.size(), mz.size());
    for (std::size_t i = 0; i < count; ++i) mz[i] = calibration.mz(channels[i]);
}

}  // namespace corvex::engine
