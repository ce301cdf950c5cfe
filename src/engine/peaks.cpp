#include "engine/peaks.hpp"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <limits>
#include <mutex>

#include "corvex/scan_rules.hpp"
#include "lumora/types.hpp"

namespace corvex::engine {

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

}  // namespace

SpectrumPeaks::SpectrumPeaks(std::size_t count) : SpectrumPeaks(count, Memory::allocate(bytes_for(count))) {}

SpectrumPeaks::SpectrumPeaks(std::size_t count, Memory memory) : memory_(std::move(memory)), count_(count) {}

namespace {

// A workspace that picked a spectrum of more points than this drops the
// picker's memory afterwards: about what 1 MiB of payload can hold, the
// decoder's own limit.
constexpr std::size_t oversized_points = std::size_t{1} << 20;

}  // namespace

void ScanWorkspace::release_oversized() noexcept {
    decoder.release_oversized();
    if (largest_picked_ > oversized_points) {
        scratch = CentroidScratch();
        centroids = Centroids();
    }
    largest_picked_ = 0;
}

ScanPeaks::ScanPeaks(std::span<const raw::ScanPoint> points, const std::optional<raw::Calibration>& calibration,
                     const PeakOptions& options, ScanWorkspace& workspace)
    : points_(points), calibration_(&calibration), size_(points.size()) {
    if (!options.centroid) return;
    centroid_profile(points, *options.centroid, workspace.scratch, workspace.centroids);
    workspace.largest_picked_ = std::max(workspace.largest_picked_, points.size());
    centroids_ = &workspace.centroids;
    size_ = centroids_->size();
}

void ScanPeaks::write(double* mz, float* intensity) const noexcept {
    if (!centroids_) {
        raw::points_to_peaks(points_, *calibration_, mz, intensity);
        return;
    }
    const std::span<const double> channel = centroids_->channel;
    if (*calibration_) {
        channels_to_mz(**calibration_, channel, {mz, size_});
    } else {
        std::copy(channel.begin(), channel.end(), mz);
    }
    std::copy(centroids_->intensity.begin(), centroids_->intensity.end(), intensity);
}

Result<SpectrumPeaks> read_peaks(const Run& run, std::size_t position, ScanWorkspace& workspace,
                                 const PeakOptions& options, MemoryRecycler* recycler) {
    auto points = read_scan_points(run.sample(), position, workspace.decoder);
    if (!points) {
        workspace.release_oversized();
        return fail(std::move(points).error());
    }
    const ScanPeaks made(*points, run.sample().calibration, options, workspace);
    const std::size_t count = made.size();
    SpectrumPeaks peaks = recycler ? SpectrumPeaks(count, recycler->take(SpectrumPeaks::bytes_for(count)))
                                   : SpectrumPeaks(count);
    made.write(peaks.mz().data(), peaks.intensity().data());
    workspace.release_oversized();
    return peaks;
}

PeakSummary summarize_peaks(std::span<const double> mz, std::span<const float> intensity) noexcept {
    PeakSummary summary;
    summary.total_ion_current = lumora::summed_intensity(intensity);
    const auto base = lumora::first_base_peak(mz, intensity);
    summary.base_peak_mz = base ? base->mz : not_a_number;
    summary.base_peak_intensity = base ? static_cast<float>(base->intensity) : std::numeric_limits<float>::quiet_NaN();
    if (mz.empty()) {
        summary.lowest_mz = summary.highest_mz = not_a_number;
        return summary;
    }
    // As numpy's min() and max(): a NaN anywhere makes both NaN. Eight lanes
    // of running extremes carry no dependence from one value to the next,
    // so the loop vectorises.
    constexpr std::size_t lanes = 8;
    std::array<double, lanes> lowest;
    std::array<double, lanes> highest;
    lowest.fill(mz[0]);
    highest.fill(mz[0]);
    bool any_nan = false;
    std::size_t k = 0;
    for (; k + lanes <= mz.size(); k += lanes) {
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            const double value = mz[k + lane];
            any_nan |= value != value;
            lowest[lane] = value < lowest[lane] ? value : lowest[lane];
            highest[lane] = value > highest[lane] ? value : highest[lane];
        }
    }
    for (; k < mz.size(); ++k) {
        any_nan |= mz[k] != mz[k];
        lowest[0] = mz[k] < lowest[0] ? mz[k] : lowest[0];
        highest[0] = mz[k] > highest[0] ? mz[k] : highest[0];
    }
    summary.lowest_mz = *std::min_element(lowest.begin(), lowest.end());
    summary.highest_mz = *std::max_element(highest.begin(), highest.end());
    if (any_nan) summary.lowest_mz = summary.highest_mz = not_a_number;
    return summary;
}

PeakStream::PeakStream(Run run, std::vector<std::size_t> positions, PoolLimits limits, PeakOptions options)
    : run_(std::make_shared<const Run>(std::move(run))),
      // Room for what waits in the window and about as much again on its way
      // back from the consumer.
      recycler_(std::make_shared<MemoryRecycler>(std::min(limits.bytes_ahead, SIZE_MAX / 2) * 2)),
      positions_(std::make_shared<const std::vector<std::size_t>>(std::move(positions))),
      pool_(
          positions_->size(),
          [run = run_, positions = positions_, recycler = recycler_, options = std::move(options)] {
              return [run, positions, recycler, options, workspace = ScanWorkspace()](std::size_t k) mutable {
                  const std::size_t position = (*positions)[k];
                  return Item{position, read_peaks(*run, position, workspace, options, recycler.get())};
              };
          },
          limits,
          [](const Item& item) { return item.peaks.ok() ? SpectrumPeaks::bytes_for(item.peaks->size()) : 0; }) {}

namespace {

// Consecutive selected scans decoded by one worker as one item of the pool.
struct Chunk {
    std::size_t begin;         // into the selection
    std::size_t end;
    std::uint64_t peak_bound;  // at most this many peaks: one per payload byte
};

// Chunks of about `target` payload bytes, at least one scan each.
std::vector<Chunk> make_chunks(const SampleData& sample, std::span<const std::size_t> positions,
                               std::uint64_t target) {
    std::vector<Chunk> chunks;
    Chunk chunk{0, 0, 0};
    for (std::size_t k = 0; k < positions.size(); ++k) {
        const std::size_t i = positions[k];
        const raw::IdxRecord& record = sample.idx_records[i];
        const std::uint64_t bound = scan_bound(sample.idx_records, i, sample.scan_file_size);
        const std::uint64_t payload =
            raw::scan_payload_range(record.scan_offset, record.scan_size, bound, sample.scan_file_size).size();
        if (chunk.end > chunk.begin && chunk.peak_bound + payload > target) {
            chunks.push_back(chunk);
            chunk = Chunk{k, k, 0};
        }
        chunk.end = k + 1;
        chunk.peak_bound += payload;
    }
    if (chunk.end > chunk.begin) chunks.push_back(chunk);
    return chunks;
}

// Where each chunk's peaks start in the output: known for chunk c once every
// chunk before it has said how many peaks it holds. Chunks are taken in
// order, so the chunk a worker waits for is always already being decoded.
class ChunkOffsets {
public:
    explicit ChunkOffsets(std::size_t chunks) : counts_(chunks), known_(chunks, false), offsets_(chunks + 1, 0) {}

    void report(std::size_t chunk, std::uint64_t count) {
        bool advanced = false;
        {
            std::lock_guard lock(mutex_);
            counts_[chunk] = count;
            known_[chunk] = true;
            while (frontier_ < counts_.size() && known_[frontier_]) {
                offsets_[frontier_ + 1] = offsets_[frontier_] + counts_[frontier_];
                ++frontier_;
                advanced = true;
            }
        }
        if (advanced) advanced_.notify_all();
    }

    std::uint64_t wait(std::size_t chunk) {
        std::unique_lock lock(mutex_);
        advanced_.wait(lock, [&] { return frontier_ >= chunk; });
        return offsets_[chunk];
    }

private:
    std::mutex mutex_;
    std::condition_variable advanced_;
    std::vector<std::uint64_t> counts_;
    std::vector<bool> known_;
    std::vector<std::uint64_t> offsets_;  // offsets_[c] is final once frontier_ >= c
    std::size_t frontier_ = 0;
};

// The first scan of a chunk, in selection order, that could not be read.
struct ChunkOutcome {
    std::optional<Error> failure;
};

// One worker of a load: decodes a chunk's scans, then, once the chunk's
// place is known, puts their peaks straight into the output arrays and fills
// the chunk's rows of the per-spectrum columns. Profile peaks wait as points
// and are converted into place; centroids are picked as each scan is
// decoded (their number is needed before the place is known) and wait as
// finished m/z and intensity values, to be copied.
class LoadWork {
public:
    LoadWork(const Run& run, std::span<const std::size_t> positions, std::span<const Chunk> chunks,
             ChunkOffsets& offsets, const PeakOptions& options, LoadedPeaks& out)
        : run_(run), positions_(positions), chunks_(chunks), offsets_(offsets), options_(options), out_(out) {}

    ChunkOutcome operator()(std::size_t c) {
        const Chunk& chunk = chunks_[c];
        // Reported on every way out, so that no later chunk waits for ever.
        struct Report {
            ChunkOffsets& offsets;
            std::size_t chunk;
            std::uint64_t count = 0;
            bool done = false;
            ~Report() {
                if (!done) offsets.report(chunk, 0);
            }
        } report{offsets_, c};

        ChunkOutcome outcome;
        counts_.assign(chunk.end - chunk.begin, 0);
        const std::uint64_t used = options_.centroid ? pick_chunk(chunk, outcome) : decode_chunk(chunk, outcome);
        workspace_.release_oversized();
        report.done = true;
        offsets_.report(c, used);
        if (outcome.failure) return outcome;

        std::uint64_t at = offsets_.wait(c);
        out_.mz.commit(at * sizeof(double), used * sizeof(double));
        out_.intensity.commit(at * sizeof(float), used * sizeof(float));
        const auto& calibration = run_.sample().calibration;
        std::uint64_t staged = 0;
        for (std::size_t k = chunk.begin; k < chunk.end; ++k) {
            const std::size_t count = counts_[k - chunk.begin];
            double* const mz = out_.mz.as<double>() + at;
            float* const intensity = out_.intensity.as<float>() + at;
            if (options_.centroid) {
                std::copy_n(staged_mz_.data() + staged, count, mz);
                std::copy_n(staged_intensity_.data() + staged, count, intensity);
            } else {
                ScanPeaks({points_.data() + staged, count}, calibration, options_, workspace_).write(mz, intensity);
            }
            const PeakSummary summary = summarize_peaks({mz, count}, {intensity, count});
            out_.total_ion_current[k] = summary.total_ion_current;
            out_.base_peak_mz[k] = summary.base_peak_mz;
            out_.base_peak_intensity[k] = summary.base_peak_intensity;
            out_.lowest_mz[k] = summary.lowest_mz;
            out_.highest_mz[k] = summary.highest_mz;
            out_.peak_count[k] = static_cast<std::int64_t>(count);
            staged += count;
            at += count;
            out_.offsets[k + 1] = static_cast<std::int64_t>(at);
        }
        return outcome;
    }

private:
    // The chunk's points one after another in points_ (one slot per payload
    // byte); the number of points.
    std::uint64_t decode_chunk(const Chunk& chunk, ChunkOutcome& outcome) {
        if (points_.size() < chunk.peak_bound) points_.resize(chunk.peak_bound);
        std::uint64_t used = 0;
        for (std::size_t k = chunk.begin; k < chunk.end; ++k) {
            auto payload = read_scan_payload(run_.sample(), positions_[k], workspace_.decoder);
            if (!payload) {
                outcome.failure = std::move(payload).error();
                break;
            }
            const std::size_t count = raw::decode_nonzero_points(*payload, points_.data() + used);
            counts_[k - chunk.begin] = count;
            used += count;
        }
        return used;
    }

    // The chunk's centroids one after another in staged_mz_ and
    // staged_intensity_; their number.
    std::uint64_t pick_chunk(const Chunk& chunk, ChunkOutcome& outcome) {
        const auto& calibration = run_.sample().calibration;
        std::uint64_t used = 0;
        for (std::size_t k = chunk.begin; k < chunk.end; ++k) {
            auto points = read_scan_points(run_.sample(), positions_[k], workspace_.decoder);
            if (!points) {
                outcome.failure = std::move(points).error();
                break;
            }
            const ScanPeaks made(*points, calibration, options_, workspace_);
            if (staged_mz_.size() < used + made.size()) {
                staged_mz_.resize(used + made.size());
                staged_intensity_.resize(used + made.size());
            }
            made.write(staged_mz_.data() + used, staged_intensity_.data() + used);
            counts_[k - chunk.begin] = made.size();
            used += made.size();
        }
        return used;
    }

    const Run& run_;
    std::span<const std::size_t> positions_;
    std::span<const Chunk> chunks_;
    ChunkOffsets& offsets_;
    const PeakOptions& options_;
    LoadedPeaks& out_;
    ScanWorkspace workspace_;
    std::vector<raw::ScanPoint> points_;  // a chunk's points, one slot per payload byte
    std::vector<double> staged_mz_;       // a chunk's centroids
    std::vector<float> staged_intensity_;
    std::vector<std::size_t> counts_;
};

}  // namespace

Result<LoadedPeaks> load_peaks(const Run& run, std::span<const std::size_t> positions, LoadOptions options) {
    const std::size_t n = positions.size();
    const std::vector<Chunk> chunks = make_chunks(run.sample(), positions, options.chunk_bytes);
    std::uint64_t peak_bound = 0;
    for (const Chunk& chunk : chunks) peak_bound += chunk.peak_bound;

    LoadedPeaks out;
    out.index.assign(positions.begin(), positions.end());
    out.offsets.assign(n + 1, 0);
    out.total_ion_current.resize(n);
    out.base_peak_mz.resize(n);
    out.base_peak_intensity.resize(n);
    out.lowest_mz.resize(n);
    out.highest_mz.resize(n);
    out.peak_count.resize(n);
    out.mz = Memory::reserve(peak_bound * sizeof(double));
    out.intensity = Memory::reserve(peak_bound * sizeof(float));

    ChunkOffsets offsets(chunks.size());
    std::optional<Error> failure;
    {
        // Outcomes are tiny: the window only bounds how far ahead of the
        // first unfinished chunk the workers may run.
        OrderedPool<ChunkOutcome> pool(
            chunks.size(), [&] { return LoadWork(run, positions, chunks, offsets, options.peaks, out); },
            PoolLimits{options.threads, 0, std::numeric_limits<std::size_t>::max()});
        while (auto outcome = pool.next()) {
            if (outcome->failure) {
                failure = std::move(outcome->failure);
                break;
            }
        }
    }  // every worker has finished writing here
    if (failure) return fail(std::move(*failure));
    out.mz.shrink(out.peak_total() * sizeof(double));
    out.intensity.shrink(out.peak_total() * sizeof(float));
    return out;
}

}  // namespace corvex::engine
