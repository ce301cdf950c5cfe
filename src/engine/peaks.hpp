// Peak arrays of a run's spectra: one spectrum at a time on the calling
// thread, every selected spectrum streamed in order by a pool of decoding
// threads, or every selected spectrum loaded into one set of CSR arrays.
// Each path gives either the profile peaks, bit-identical to the m/z and
// intensity lists of the spectrum records corvex assembles for the same
// scans, or the peak picker's centroids of those peaks; every path makes
// them in the same per-scan stage (ScanPeaks), so all give the same arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "corvex/raw/calibration.hpp"
#include "corvex/raw/scan.hpp"
#include "engine/centroid.hpp"
#include "engine/memory.hpp"
#include "engine/ordered_pool.hpp"
#include "engine/run.hpp"

namespace corvex::engine {

// One spectrum's peaks in one block of memory: the m/z values (float64),
// then the intensities (float32).
class SpectrumPeaks {
public:
    SpectrumPeaks() = default;
    // Room for `count` peaks, left unset: in new heap memory, or in `memory`
    // (at least bytes_for(count) long).
    explicit SpectrumPeaks(std::size_t count);
    SpectrumPeaks(std::size_t count, Memory memory);

    static constexpr std::size_t bytes_for(std::size_t count) noexcept {
        return count * (sizeof(double) + sizeof(float));
    }

    std::size_t size() const noexcept { return count_; }
    std::span<double> mz() noexcept { return {memory_.as<double>(), count_}; }
    std::span<float> intensity() noexcept { return {intensity_data(), count_}; }
    std::span<const double> mz() const noexcept { return {memory_.as<double>(), count_}; }
    std::span<const float> intensity() const noexcept { return {intensity_data(), count_}; }

    // The memory, for whoever keeps the arrays from now on: the m/z values
    // at byte 0, the intensities at byte intensity_offset().
    std::size_t intensity_offset() const noexcept { return count_ * sizeof(double); }
    Memory release() && noexcept { return std::move(memory_); }

private:
    float* intensity_data() const noexcept { return reinterpret_cast<float*>(memory_.data() + intensity_offset()); }

    Memory memory_;
    std::size_t count_ = 0;
};

// Which peaks a scan gives.
struct PeakOptions {
    // Without: the profile peaks, every decoded point of non-zero intensity,
    // as corvex gives them. With: the peak picker's centroids of those
    // points (parameters the caller has checked with parameter_error), in
    // channel order, each with the m/z of its fractional channel by the
    // calibration's formula and its area in counts as the intensity
    // (float32). A sample without a calibration has the channel index as
    // its profile m/z, so its centroids' m/z are fractional channel indices.
    std::optional<CentroidParameters> centroid;
};

// What one reading thread reuses from scan to scan: the decoder's buffers
// and the picker's working memory. One per thread, never shared.
class ScanWorkspace {
public:
    raw::ScanDecoder decoder;
    CentroidScratch scratch;
    Centroids centroids;

    // Drops what an oversized scan made the decoder and the picker hold, as
    // ScanDecoder::release_oversized does for the decoder: between scans a
    // workspace keeps memory for about 1 MiB of payload.
    void release_oversized() noexcept;

private:
    friend class ScanPeaks;
    std::size_t largest_picked_ = 0;  // points of the largest spectrum picked since the last release
};

// One scan's peaks, made from its decoded points but not stored anywhere
// yet: the caller learns their number first, finds room for them, then has
// them written there. Refers to the points and to the workspace's
// centroids: valid until either changes.
class ScanPeaks {
public:
    // The per-scan stage of every path. Profile peaks are the points
    // themselves (written later, converted on the way); centroids are picked
    // here, into the workspace. Never more peaks than points.
    ScanPeaks(std::span<const raw::ScanPoint> points, const std::optional<raw::Calibration>& calibration,
              const PeakOptions& options, ScanWorkspace& workspace);

    std::size_t size() const noexcept { return size_; }
    // Writes the m/z values to mz[0 .. size()) and the intensities to
    // intensity[0 .. size()).
    void write(double* mz, float* intensity) const noexcept;

private:
    std::span<const raw::ScanPoint> points_;
    const std::optional<raw::Calibration>* calibration_;
    const Centroids* centroids_ = nullptr;  // when centroided
    std::size_t size_ = 0;
};

// The peaks of the scan at `position` (profile or centroided, as `options`
// say), read through the caller's workspace, in memory from `recycler` when
// one is given. A scan that cannot be read gives corvex's error for it,
// whichever peaks were asked for.
Result<SpectrumPeaks> read_peaks(const Run& run, std::size_t position, ScanWorkspace& workspace,
                                 const PeakOptions& options = {}, MemoryRecycler* recycler = nullptr);

// The values of a spectrum that need its peaks.
struct PeakSummary {
    double total_ion_current = -0.0;  // as Spectrum.total_ion_current: -0.0 without peaks
    double base_peak_mz = 0.0;        // as Spectrum.base_peak_mz; NaN without peaks
    float base_peak_intensity = 0.0F; // as Spectrum.base_peak_intensity; NaN without peaks
    double lowest_mz = 0.0;           // the least m/z; NaN without peaks or when an m/z is NaN
    double highest_mz = 0.0;          // the greatest m/z; likewise
};
PeakSummary summarize_peaks(std::span<const double> mz, std::span<const float> intensity) noexcept;

// The selected spectra's peaks in selection order, decoded ahead of the
// consumer by a pool of threads (see OrderedPool for the window and for
// stopping). A scan that cannot be read gives its error in its place; the
// stream goes on after it.
class PeakStream {
public:
    struct Item {
        std::size_t position;
        Result<SpectrumPeaks> peaks;
    };

    // By default 16 MiB of decoded peaks at most wait for the consumer.
    static constexpr std::size_t default_bytes_ahead = std::size_t{16} << 20;

    PeakStream(Run run, std::vector<std::size_t> positions, PoolLimits limits = {}, PeakOptions options = {});

    // The next selected spectrum, waiting for it; nothing at the end.
    std::optional<Item> next() { return pool_.next(); }
    std::size_t size() const noexcept { return pool_.size(); }

    // Where the items' memory comes from: hand an item's memory out through
    // recycler().share() and it serves a later spectrum once its last owner
    // is gone, instead of every spectrum taking new pages from the system.
    const std::shared_ptr<MemoryRecycler>& recycler() const noexcept { return recycler_; }

private:
    std::shared_ptr<const Run> run_;
    std::shared_ptr<MemoryRecycler> recycler_;
    std::shared_ptr<const std::vector<std::size_t>> positions_;
    OrderedPool<Item> pool_;
};

// Every selected spectrum in compressed sparse row form: spectrum k's peaks
// are mz[offsets[k] .. offsets[k+1]) and the same range of intensity.
struct LoadedPeaks {
    std::vector<std::int64_t> index;    // run positions of the spectra, in selection order
    std::vector<std::int64_t> offsets;  // index.size() + 1 entries, from 0
    Memory mz;                          // offsets.back() float64 values
    Memory intensity;                   // offsets.back() float32 values
    // One entry per spectrum.
    std::vector<double> total_ion_current;
    std::vector<double> base_peak_mz;
    std::vector<float> base_peak_intensity;
    std::vector<double> lowest_mz;
    std::vector<double> highest_mz;
    std::vector<std::int64_t> peak_count;

    std::size_t peak_total() const noexcept { return offsets.empty() ? 0 : static_cast<std::size_t>(offsets.back()); }
};

struct LoadOptions {
    std::size_t threads = 0;  // 0: one per available CPU
    // Consecutive selected scans of about this many payload bytes (at least
    // one scan) make one work item: small enough that a chunk's points stay
    // in the worker's cache between decoding and conversion.
    std::uint64_t chunk_bytes = std::uint64_t{256} << 10;
    PeakOptions peaks = {};  // profile peaks or centroids
};

// Decodes the selected spectra on a pool of threads straight into the final
// arrays, which are reserved at their bound (one peak per payload byte, which
// holds for centroids too: never more than the points) and trimmed at the
// end. Profile peaks are written once and never copied; centroids are
// picked as their chunk is decoded and copied into place once it is known.
// The result does not depend on the number of threads or the chunk size. The
// first scan in selection order that cannot be read fails the whole load
// with its error.
Result<LoadedPeaks> load_peaks(const Run& run, std::span<const std::size_t> positions, LoadOptions options = {});

}  // namespace corvex::engine
