// Peak picking for time-of-flight profile spectra: one spectrum's points on
// the channel grid in, one centroid per ion peak out.
//
// A profile spectrum is a list of points (channel index, intensity) in
// channel order; every channel that has no point has intensity 0. The
// picker works on that grid, not on m/z:
//
// 1. Noise. The baseline is the median of the intensities of every channel
//    from the first point to the last, implicit zeros included, and the
//    noise is the spread from the 25th percentile to the median scaled to a
//    standard deviation, at least one count. Both come from a histogram of
//    whole counts, so the estimate costs one pass and ignores the peaks as
//    long as they cover less than half the channels.
// 2. Maxima. On the profile smoothed with a 1-2-1 kernel (which leaves a
//    peak of five or more channels nearly unchanged but removes most of the
//    counting noise's ripples), every local maximum whose height above the
//    baseline is at least `min_snr` noise units is a candidate; a flat top
//    counts as one maximum. Points more than `max_gap_channels` apart are
//    in separate runs, never one peak, with zeros between them; the few
//    channels missing between nearer points are interpolated, so that a
//    hole in a peak neither splits it nor pulls its centroid.
// 3. Valleys. Two neighbouring candidates stay apart only when the lowest
//    point between them is at most `valley_ratio` of the lower one's height
//    and the dip is `min_valley_snr` times larger than the counting noise of
//    the two levels; otherwise the lower one is merged into the higher. Each
//    peak owns the points between its valleys whose smoothed intensity is
//    above baseline + noise: its extent.
// 4. Each peak with at least `min_points` points in its extent (a single
//    isolated point only with `single_point_peaks`) and an apex of at least
//    `min_intensity` gives a centroid: its position (see CentroidPosition),
//    its intensity (the counts above the baseline summed over the extent,
//    which for counts is the number of ions in the peak), its apex intensity
//    and its number of points.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "corvex/raw/calibration.hpp"
#include "corvex/raw/scan.hpp"

namespace corvex::engine {

enum class CentroidPosition : std::uint8_t {
    // Intensity-weighted mean channel (weights: intensity above the
    // baseline) of the points within half the peak's height, between where
    // the twice-smoothed profile crosses half height, the points at the ends
    // counting with the share of their channel inside. The default: on
    // Gaussian peaks with counting noise it is several times more precise
    // than the three-point fit, which uses only three points' counts.
    half_height_centroid,
    // Vertex of the parabola through the logarithms of the apex point and
    // its two neighbours (above the baseline): exact for a noise-free
    // Gaussian. A flat top, an apex at either end of the peak's extent, or a
    // neighbour at or below the baseline falls back to the half-height
    // centroid.
    gaussian_fit,
};

struct CentroidParameters {
    // Height of a peak's smoothed apex above the baseline, in noise units.
    double min_snr = 4.0;
    // Lowest apex intensity (highest point of the peak), in counts.
    double min_intensity = 0.0;
    // Fewest points in a peak's extent.
    std::uint32_t min_points = 3;
    // Missing channels that may lie between two points of one peak, where
    // they are interpolated: counting noise leaves such holes in the flanks
    // of low peaks, which would otherwise split a flank off as a peak of its
    // own. Points further apart have zeros between them.
    std::uint32_t max_gap_channels = 2;
    // Whether a point with no neighbour on either side may be a peak of its
    // own (when it passes the height tests).
    bool single_point_peaks = false;
    // Two maxima are split at the valley between them only when the valley
    // is at most this share of the lower maximum's height above the baseline
    // (two Gaussians of equal height 1.5 FWHM apart: 0.42; of heights 1 and
    // 3: 0.68)...
    double valley_ratio = 0.8;
    // ...and the lower maximum stands above the valley by this many standard
    // deviations of the counting noise of the two levels (the baseline's
    // noise plus each level's own shot noise, its count).
    double min_valley_snr = 3.0;
    CentroidPosition position = CentroidPosition::half_height_centroid;
};

// Why the parameters cannot be used, or nothing when they can.
std::optional<std::string_view> parameter_error(const CentroidParameters& parameters) noexcept;

// The spectrum's noise model, in intensity units.
struct NoiseEstimate {
    double baseline = 0.0;
    double sigma = 1.0;
};

// One spectrum's centroids, in channel order (for points in channel order),
// as parallel arrays.
struct Centroids {
    std::vector<double> channel;             // fractional channel position
    std::vector<float> intensity;            // counts above the baseline over the extent
    std::vector<float> apex_intensity;       // highest point of the peak
    std::vector<std::uint32_t> point_count;  // points in the extent
    NoiseEstimate noise;

    std::size_t size() const noexcept { return channel.size(); }
    void clear() noexcept;
};

// Working memory of the picker, reused from spectrum to spectrum by one
// caller (one per thread); it only grows, to the largest spectrum seen.
class CentroidScratch {
private:
    friend class CentroidPicker;
    struct Candidate {
        std::size_t apex;    // index into the run
        std::size_t valley;  // where this peak's share of the run starts
        float top;           // smoothed apex
        float dip;           // lowest smoothed value between the previous peak's apex and this one's
        float absorbed_top;  // smoothed top of the highest maximum merged into it (0: none)
    };
    std::vector<std::uint32_t> channels_;
    std::vector<float> intensities_;
    std::vector<std::uint8_t> joined_;
    std::vector<std::uint8_t> high_;
    std::vector<std::uint8_t> tops_;
    std::vector<float> run_;
    std::vector<float> smoothed_;
    std::vector<float> smoothed_twice_;
    std::vector<std::uint64_t> histogram_;
    std::vector<float> large_values_;
    std::vector<Candidate> candidates_;
};

// Centroids of one profile spectrum into `out` (replacing its content).
// `channels` and `intensities` have equal length (the shorter one decides
// otherwise); intensities that are negative or NaN count as 0, and those
// above 1e30 (infinity included) as 1e30. A
// channel that is not 1 to max_gap_channels + 1 above the one before starts
// a new run, so points out of order cannot join a peak but cause no harm.
void centroid_profile(std::span<const std::uint32_t> channels, std::span<const float> intensities,
                      const CentroidParameters& parameters, CentroidScratch& scratch, Centroids& out);
// The same for points as the scan decoder gives them.
void centroid_profile(std::span<const raw::ScanPoint> points, const CentroidParameters& parameters,
                      CentroidScratch& scratch, Centroids& out);

// m/z of each channel position, by the calibration's formula (the one the
// scan decoder uses for whole channels). `mz` may be `channels` itself.
void channels_to_mz(const raw::Calibration& calibration, std::span<const double> channels,
                    std::span<double> mz) noexcept;

}  // namespace corvex::engine
