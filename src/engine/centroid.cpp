#include "engine/centroid.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
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

// Intensities above this are taken as this: far above any count, and low
// enough that the smoothing kernels' sums of a few of them stay finite.
constexpr float largest_intensity = 1e30F;

constexpr float usable(float value) noexcept {
    // NaN fails both comparisons; infinity is above the largest intensity.
    if (!(value >= 0.0F)) return 0.0F;
    return value <= largest_intensity ? value : largest_intensity;
}

constexpr std::size_t histogram_bin(float value) noexcept {
    return value < overflow_from ? static_cast<std::size_t>(value + 0.5F) : overflow_bin;
}

// The passes over every point of a spectrum or a run: plain loops that
// vectorise, built for AVX2 as well and chosen at load time when the
// processor has it. (Byte stores may alias anything; the pointers are
// restrict so that the loops over flags vectorise.)
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define CORVEX_VECTOR_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define CORVEX_VECTOR_KERNEL
#endif

// The first `size` elements of `buffer`, which grows when it is shorter and
// never shrinks: spectra and runs of every length reuse it without clearing.
template <class T>
T* room(std::vector<T>& buffer, std::size_t size) {
    if (buffer.size() < size) buffer.resize(size);
    return buffer.data();
}

struct ValueSummary {
    bool usable;             // every value a number from 0 to largest_intensity
    std::size_t below_half;  // values under 0.5: zeros, for the noise estimate
};

CORVEX_VECTOR_KERNEL
ValueSummary summarize(const float* __restrict values, std::size_t count) noexcept {
    // Numbers from 0 to the largest intensity are the bit patterns 0 to its,
    // read as signed integers; negative numbers read as negative, larger
    // ones, infinities and NaN as larger.
    constexpr std::int32_t largest = std::bit_cast<std::int32_t>(largest_intensity);
    std::int32_t low = 0;
    std::int32_t high = 0;
    std::size_t below_half = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto bits = std::bit_cast<std::int32_t>(values[i]);
        low = std::min(low, bits);
        high = std::max(high, bits);
        below_half += values[i] < 0.5F ? 1 : 0;
    }
    return {.usable = low >= 0 && high <= largest, .below_half = below_half};
}

// For each point whether its channel is 1 to `last_step` + 1 above the one
// before, so that the two are in one run (differences are taken modulo 2^32;
// a step of 0 or a fall is not joined), and whether it is at or above
// `threshold`.
CORVEX_VECTOR_KERNEL
void mark_points(const std::uint32_t* __restrict channels, const float* __restrict values, std::size_t count,
                 std::uint32_t last_step, float threshold, std::uint8_t* __restrict joined,
                 std::uint8_t* __restrict high) noexcept {
    joined[0] = 0;
    high[0] = static_cast<std::uint8_t>(values[0] >= threshold);
    for (std::size_t i = 1; i < count; ++i) {
        joined[i] = static_cast<std::uint8_t>(channels[i] - channels[i - 1] - 1 <= last_step);
        high[i] = static_cast<std::uint8_t>(values[i] >= threshold);
    }
}

// Zeros kept on either side of a run's intensities, so that the kernel
// below reads its neighbours without a test at the ends.
constexpr std::size_t run_padding = 3;

// Over a run's intensities (with run_padding zeros on either side): the
// profile smoothed with a 1-2-1 kernel, that smoothed once more (a 1-4-6-4-1
// kernel), and flags on the smoothed points at or above `threshold` that rise
// from the one before and do not fall to the next (maxima and the first
// points of flat tops). Every output comes from the intensities themselves,
// so the loop vectorises.
CORVEX_VECTOR_KERNEL
void shape_run(const float* __restrict run, std::size_t size, float threshold, float* __restrict smoothed,
               float* __restrict smoothed_twice, std::uint8_t* __restrict tops) noexcept {
    for (std::size_t k = 0; k < size; ++k) {
        const float* at = run + k;
        const float before = 0.25F * (at[-2] + 2.0F * at[-1] + at[0]);
        const float here = 0.25F * (at[-1] + 2.0F * at[0] + at[1]);
        const float after = 0.25F * (at[0] + 2.0F * at[1] + at[2]);
        smoothed[k] = here;
        smoothed_twice[k] = 0.25F * (before + 2.0F * here + after);
        tops[k] = static_cast<std::uint8_t>(static_cast<int>(here >= threshold) & static_cast<int>(here > before) &
                                            static_cast<int>(here >= after));
    }
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

    // Uses the intensities in place when every one is a number from 0 to the
    // largest intensity, which is the common case and costs one pass that
    // vectorises; otherwise a copy with NaN and negative numbers as 0 and
    // larger ones as the largest.
    void load(std::span<const float> intensities) {
        const ValueSummary summary = summarize(intensities.data(), intensities.size());
        below_half_ = summary.below_half;
        if (summary.usable) {
            values_ = intensities;
            return;
        }
        float* values = room(scratch_.intensities_, intensities.size());
        for (std::size_t i = 0; i < intensities.size(); ++i) values[i] = usable(intensities[i]);
        values_ = {values, intensities.size()};
        below_half_ = summarize(values, intensities.size()).below_half;
    }

    // Decoded points: their channels and intensities copied into the scratch.
    std::span<const std::uint32_t> load(std::span<const raw::ScanPoint> points) {
        std::uint32_t* channels = room(scratch_.channels_, points.size());
        float* values = room(scratch_.intensities_, points.size());
        std::size_t zeros = 0;
        for (std::size_t i = 0; i < points.size(); ++i) {
            channels[i] = points[i].index;
            values[i] = static_cast<float>(points[i].intensity);
            zeros += points[i].intensity == 0 ? 1 : 0;
        }
        values_ = {values, points.size()};
        below_half_ = zeros;
        return {channels, points.size()};
    }

    // After load(): the centroids of the points (channels[i], intensity i).
    void pick(std::span<const std::uint32_t> channels) {
        out_.clear();
        channels_ = channels;
        if (channels_.empty()) return;
        estimate_noise();
        const NoiseEstimate noise = out_.noise;
        apex_threshold_ = static_cast<float>(noise.baseline + parameters_.min_snr * noise.sigma);
        extent_threshold_ = static_cast<float>(noise.baseline + std::min(1.0, parameters_.min_snr) * noise.sigma);

        const std::size_t count = channels_.size();
        std::uint8_t* joined = room(scratch_.joined_, count);
        std::uint8_t* high = room(scratch_.high_, count);
        mark_points(channels_.data(), values_.data(), count, parameters_.max_gap_channels, apex_threshold_, joined,
                    high);
        // Only runs with a point at or above the apex threshold can hold a
        // peak (the smoothed profile never rises above the highest point):
        // from one such point to the next, the runs in between, most of a
        // spectrum's baseline, are never looked at.
        for (std::size_t at = next_byte(high, count, 0, 0); at < count; at = next_byte(high, count, at, 0)) {
            // The run around point `at`: points whose channels rise by 1 to
            // max_gap_channels + 1 from one to the next.
            std::size_t start = at;
            while (joined[start] != 0) --start;
            const std::size_t end = next_byte(joined, count, at + 1, all_joined);
            at = end;
            if (end - start == 1) {
                pick_isolated_point(start);
            } else if (end - start >= parameters_.min_points) {
                run_start_ = start;
                run_end_ = end;
                pick_run(channels_[start], load_run(start, end));
            }
        }
    }

private:
    static constexpr std::uint64_t all_joined = 0x0101010101010101ULL;

    // The first index from `at` on whose flag differs from the flags in
    // `same` (0: not joined, all_joined: joined), or the end; eight flags at
    // a time.
    static std::size_t next_byte(const std::uint8_t* flags, std::size_t count, std::size_t at, std::uint64_t same) {
        static_assert(std::endian::native == std::endian::little);
        for (; at + 8 <= count; at += 8) {
            std::uint64_t word;
            std::memcpy(&word, flags + at, sizeof(word));
            if (const std::uint64_t differ = word ^ same; differ != 0) {
                return at + static_cast<std::size_t>(std::countr_zero(differ)) / 8;
            }
        }
        while (at < count && flags[at] == (same & 1)) ++at;
        return at;
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
        const std::uint64_t zeros = total - count + below_half_;
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

    // The intensities of every channel of points [start, end), with
    // run_padding zeros on either side; channels without a point are
    // interpolated linearly between the points on either side: a hole in a
    // peak (a channel dropped, or a zero count in a flank) neither splits it
    // nor pulls its centroid.
    std::span<const float> load_run(std::size_t start, std::size_t end) {
        const std::uint32_t first = channels_[start];
        // Channel differences are taken modulo 2^32, as the run scan takes them.
        const std::size_t size = std::size_t{static_cast<std::uint32_t>(channels_[end - 1] - first)} + 1;
        float* padded = room(scratch_.run_, size + 2 * run_padding);
        float* run = padded + run_padding;
        std::fill_n(padded, run_padding, 0.0F);
        std::fill_n(run + size, run_padding, 0.0F);
        filled_ = size != end - start;
        if (!filled_) {
            std::copy_n(values_.data() + start, size, run);
            return {run, size};
        }
        std::size_t at = 0;
        run[0] = values_[start];
        for (std::size_t i = start + 1; i < end; ++i) {
            const std::size_t next = static_cast<std::uint32_t>(channels_[i] - first);
            if (next - at > 1) {
                const float from = values_[i - 1];
                const float step = (values_[i] - from) / static_cast<float>(next - at);
                for (std::size_t k = at + 1; k < next; ++k) run[k] = from + step * static_cast<float>(k - at);
            }
            run[next] = values_[i];
            at = next;
        }
        return {run, size};
    }

    // `run` holds the intensities of consecutive channels from
    // `first_channel` on, at least two.
    void pick_run(std::uint32_t first_channel, std::span<const float> run) {
        run_size_ = run.size();
        shape_run(run.data(), run.size(), apex_threshold_, room(scratch_.smoothed_, run.size()),
                  room(scratch_.smoothed_twice_, run.size()), room(scratch_.tops_, run.size()));
        find_candidates();
        merge_candidates();
        const auto& peaks = scratch_.candidates_;
        for (std::size_t p = 0; p < peaks.size(); ++p) {
            const std::size_t first = peaks[p].valley;
            const std::size_t last = p + 1 < peaks.size() ? peaks[p + 1].valley - 1 : run.size() - 1;
            emit_peak(first_channel, run, peaks[p], first, last);
        }
    }

    // Local maxima of the smoothed run at or above the apex threshold (a
    // flat top is one maximum, at its middle), each with the lowest point
    // between it and the one before. Only the points shape_run() flagged,
    // few even in a peak, are looked at one by one.
    void find_candidates() {
        const float* smoothed = scratch_.smoothed_.data();
        const std::size_t size = run_size_;
        const std::uint8_t* tops = scratch_.tops_.data();

        auto& candidates = scratch_.candidates_;
        candidates.clear();
        std::size_t since_previous = 0;  // first point after the previous maximum
        for (std::size_t k = next_byte(tops, size, 0, 0); k < size; k = next_byte(tops, size, k, 0)) {
            const float value = smoothed[k];
            std::size_t top_end = k;
            while (top_end + 1 < size && smoothed[top_end + 1] == value) ++top_end;
            if (top_end + 1 == size || smoothed[top_end + 1] < value) {
                CentroidScratch::Candidate candidate{
                    .apex = (k + top_end) / 2, .valley = 0, .top = value, .dip = 0.0F, .absorbed_top = 0.0F};
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
                const float lower_top = std::min(previous.top, current.top);
                const float absorbed = std::max({previous.absorbed_top, current.absorbed_top, lower_top});
                if (previous.top >= current.top) {
                    current = previous;
                } else {
                    // The merged peak starts where the previous one did, and
                    // its dip to the peak before is the lower of the two.
                    current.valley = previous.valley;
                    current.dip = std::min(previous.dip, current.dip);
                }
                current.absorbed_top = absorbed;
                --kept;
            }
            candidates[kept++] = current;
        }
        candidates.resize(kept);
    }

    // A peak with its smoothed apex at run[peak.apex], which may use
    // run[first..last]. Its extent, its highest point and its counts are
    // taken in one walk out from the apex.
    void emit_peak(std::uint32_t first_channel, std::span<const float> run, const CentroidScratch::Candidate& peak,
                   std::size_t first, std::size_t last) {
        const float* smoothed = scratch_.smoothed_.data();
        const float* values = run.data();
        const float extent = extent_threshold_;
        std::size_t top = peak.apex;  // the highest point, the leftmost of equals
        double sum = values[top];
        std::size_t low = peak.apex;
        while (low > first && smoothed[low - 1] > extent) {
            --low;
            sum += static_cast<double>(values[low]);
            if (values[low] >= values[top]) top = low;
        }
        std::size_t high = peak.apex;
        while (high < last && smoothed[high + 1] > extent) {
            ++high;
            sum += static_cast<double>(values[high]);
            if (values[high] > values[top]) top = high;
        }
        const std::size_t points = point_count(first_channel, run, low, high);
        if (points < parameters_.min_points) return;
        // Of a flat top, the middle.
        std::size_t top_end = top;
        while (top_end < high && values[top_end + 1] == values[top]) ++top_end;
        const bool flat_top = top_end > top;
        top = (top + top_end) / 2;
        const float apex_value = values[top];
        if (apex_value < parameters_.min_intensity) return;
        const double baseline = out_.noise.baseline;
        const double area = sum - baseline * static_cast<double>(high - low + 1);

        double offset = 0.0;
        const bool fitted = parameters_.position == CentroidPosition::gaussian_fit && !flat_top && top > low &&
                            top < high && gaussian_vertex(run, top, offset);
        const double at =
            fitted ? static_cast<double>(top) + offset : half_height_centroid(run, peak, low, high);
        const double position = static_cast<double>(first_channel) + at;
        emit(position, area, apex_value, static_cast<std::uint32_t>(std::min<std::size_t>(points, UINT32_MAX)));
    }

    // The points with counts among run[low..high]: of a run with holes
    // filled, only the points that were there.
    std::size_t point_count(std::uint32_t first_channel, std::span<const float> run, std::size_t low,
                            std::size_t high) const {
        std::size_t points = 0;
        if (!filled_) {
            for (std::size_t k = low; k <= high; ++k) points += run[k] > 0.0F ? 1 : 0;
            return points;
        }
        const auto offset = [first_channel](std::uint32_t channel) {
            return std::size_t{static_cast<std::uint32_t>(channel - first_channel)};
        };
        const auto begin = channels_.begin() + static_cast<std::ptrdiff_t>(run_start_);
        const auto end = channels_.begin() + static_cast<std::ptrdiff_t>(run_end_);
        const auto from = std::partition_point(begin, end, [&](std::uint32_t c) { return offset(c) < low; });
        const auto to = std::partition_point(from, end, [&](std::uint32_t c) { return offset(c) <= high; });
        if (below_half_ == 0) return static_cast<std::size_t>(to - from);  // no point without counts
        for (auto at = from; at != to; ++at) {
            points += values_[static_cast<std::size_t>(at - channels_.begin())] > 0.0F ? 1 : 0;
        }
        return points;
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

    // Intensity-weighted mean position of the points within the peak's half
    // height, measured from the twice-smoothed maximum near the peak's apex,
    // inside run[low..high]. The window's ends are where the twice-smoothed
    // profile crosses half height, interpolated between points, and the
    // points at the ends count with the share of their channel inside the
    // window: a window of whole points would take in one more point on the
    // side the apex leans to, which pulls the mean by up to a quarter of a
    // channel.
    double half_height_centroid(std::span<const float> run, const CentroidScratch::Candidate& peak,
                                std::size_t low, std::size_t high) const {
        const float* smoothed_twice = scratch_.smoothed_twice_.data();
        std::size_t top = peak.apex;
        while (top > low && smoothed_twice[top - 1] > smoothed_twice[top]) --top;
        while (top < high && smoothed_twice[top + 1] > smoothed_twice[top]) ++top;
        const double baseline = out_.noise.baseline;
        const double half = baseline + 0.5 * (static_cast<double>(smoothed_twice[top]) - baseline);
        std::size_t from = top;
        std::size_t to = top;
        // A maximum merged into the peak at half its height or above, or a
        // bump below the apex threshold (which is no maximum of its own) that
        // may reach half height, can take the profile back above half height
        // beyond the first crossing.
        if (peak.absorbed_top >= half || half < apex_threshold_) {
            // The outermost crossings: a peak merged from two maxima is one
            // window, not the half around the higher one.
            from = low;
            while (from < top && smoothed_twice[from] < half) ++from;
            to = high;
            while (to > top && smoothed_twice[to] < half) --to;
        } else {
            while (from > low && smoothed_twice[from - 1] >= half) --from;
            while (to < high && smoothed_twice[to + 1] >= half) ++to;
        }
        // How far past `inside`, towards `outside`, the profile falls to half
        // height: a fraction of a channel. A top at or below the baseline
        // has no such crossing; the window then ends half a channel out.
        const auto crossing = [&](std::size_t inside, std::size_t outside) {
            const double in = smoothed_twice[inside];
            const double out = smoothed_twice[outside];
            return in >= half && half > out ? (in - half) / (in - out) : 0.5;
        };
        const double window_from =
            static_cast<double>(from) - (from > low ? crossing(from, from - 1) : 0.5);
        const double window_to = static_cast<double>(to) + (to < high ? crossing(to, to + 1) : 0.5);

        // Point k stands for the channel [k - 0.5, k + 0.5]: those wholly
        // inside the window count in full, the two holding its ends with the
        // share inside (both ends lie at -0.5 or above, so truncation is the
        // floor). Positions are taken from the top, where they are small.
        const auto left_end = static_cast<std::size_t>(window_from + 0.5);
        std::size_t right_end = static_cast<std::size_t>(window_to + 0.5);
        if (static_cast<double>(right_end) - 0.5 == window_to && right_end > left_end) --right_end;
        const double origin = static_cast<double>(top);
        // A point below the baseline weighs nothing: with a negative weight
        // the mean could leave the window.
        const auto weight_of = [&](std::size_t k) { return std::max(0.0, static_cast<double>(run[k]) - baseline); };
        double weight = 0.0;
        double moment = 0.0;
        if (left_end == right_end) {
            weight = weight_of(left_end) * (window_to - window_from);
            moment = weight * (static_cast<double>(left_end) - origin);
        } else {
            const double left = weight_of(left_end) * (static_cast<double>(left_end) + 0.5 - window_from);
            const double right = weight_of(right_end) * (window_to - static_cast<double>(right_end) + 0.5);
            weight = left + right;
            moment = left * (static_cast<double>(left_end) - origin) + right * (static_cast<double>(right_end) - origin);
            for (std::size_t k = left_end + 1; k < right_end; ++k) {
                const double w = weight_of(k);
                weight += w;
                moment += w * (static_cast<double>(k) - origin);
            }
        }
        return weight > 0.0 ? origin + moment / weight : origin;
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
    std::size_t below_half_ = 0;  // intensities under 0.5
    // The run being picked: its points, its channels (holes included) and
    // whether holes were filled in it.
    std::size_t run_start_ = 0;
    std::size_t run_end_ = 0;
    std::size_t run_size_ = 0;
    bool filled_ = false;
    float apex_threshold_ = 0.0F;
    float extent_threshold_ = 0.0F;
};

void centroid_profile(std::span<const std::uint32_t> channels, std::span<const float> intensities,
                      const CentroidParameters& parameters, CentroidScratch& scratch, Centroids& out) {
    const std::size_t count = std::min(channels.size(), intensities.size());
    CentroidPicker picker(parameters, scratch, out);
    picker.load(intensities.first(count));
    picker.pick(channels.first(count));
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
