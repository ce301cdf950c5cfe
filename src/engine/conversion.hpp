// A whole sample converted to indexed mzML or to MGF. A pool of worker
// threads reads each scan's peaks and renders its spectrum, a run of
// consecutive scans at a time; the caller's thread writes what they rendered
// in order (the offsets and the checksum follow the bytes as they go out),
// then the chromatograms and the rest of the file. Memory stays bounded by
// the pool's window whatever the sample's size, and the output is the same
// whatever the number of threads.
//
// The caller drives the conversion in slices, advance() with a deadline,
// so that between slices it can attend to signals and show progress.
//
//   auto conversion = convert_to_mzml(run, fd, settings, options);
//   while (!conversion->advance(clock::now() + 100ms).value()) show_progress(conversion->spectra_done());
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/mzml_document.hpp"
#include "engine/mzml_elements.hpp"
#include "engine/ordered_pool.hpp"
#include "engine/peaks.hpp"
#include "engine/run.hpp"
#include "lumora/result.hpp"
#include "lumora/types.hpp"

namespace corvex::engine {

struct ConversionOptions {
    std::size_t threads = 0;  // worker threads; 0: one per available CPU
    // Consecutive scans of about this many block bytes (at least one scan)
    // make one work item: large enough that handing items over costs next
    // to nothing, small enough to keep every thread busy to the end.
    std::uint64_t chunk_bytes = std::uint64_t{256} << 10;
    // Rendered text waiting for the writer, at most (one item per thread may
    // come on top).
    std::size_t bytes_ahead = std::size_t{32} << 20;
    // Profile peaks, or the picker's centroids; mzML marks the spectra
    // "centroid spectrum" when they are centroids.
    PeakOptions peaks = {};
};

struct MzmlSettings {
    mzml::DocumentFrame frame;
    mzml::Vocabulary vocabulary;
    // The spectra's arrays. Chromatograms are compressed with zlib when the
    // m/z arrays are, never with MS-Numpress.
    mzml::ArrayCodings codings;
    // The whole cvParam element naming each chromatogram's kind, in the
    // order the reader gives the chromatograms.
    std::vector<std::string> chromatogram_types;
};

// What a worker made of a run of consecutive spectra.
struct RenderedChunk {
    std::size_t first = 0;            // the position of its first spectrum
    std::string text;                 // every spectrum's output, one after another
    std::vector<std::size_t> ends;    // where each spectrum's output ends in `text`
    std::uint64_t written = 0;        // spectra the format wrote (MGF writes fragment spectra only)
    std::uint64_t left_out = 0;       // fragment spectra MGF leaves out for want of a precursor m/z
    std::optional<std::string> failure;  // what stopped the chunk, at spectrum first + ends.size()
};

class Conversion {
public:
    struct Failure {
        std::string text;      // what went wrong: the reader's text for a scan that cannot be read
        int error_number = 0;  // the errno of a write that failed; 0 otherwise
    };

    Conversion(const Conversion&) = delete;
    Conversion& operator=(const Conversion&) = delete;
    virtual ~Conversion();

    // Writes what the workers have rendered until the file is complete
    // (true) or `deadline` has passed (false); a slice may overrun the
    // deadline by the writing of one item. The first failure stops the
    // workers and is returned by this call and every later one. No write
    // is in flight when it returns, so the caller may close the file.
    lumora::Result<bool, Failure> advance(std::chrono::steady_clock::time_point deadline);

    // Lets no further scan start and joins the worker threads; advance()
    // then fails. Does nothing once the conversion has ended.
    void stop() noexcept;

    std::uint64_t spectra_done() const noexcept { return spectra_done_; }
    std::uint64_t spectra_written() const noexcept { return spectra_written_; }
    std::uint64_t spectra_left_out() const noexcept { return spectra_left_out_; }
    std::size_t scan_count() const noexcept { return run_->scan_count(); }

    // Renders one spectrum in the output format; each worker has its own.
    class SpectrumFormat;

protected:
    using FormatFactory = std::function<std::unique_ptr<SpectrumFormat>()>;

    Conversion(std::shared_ptr<const Run> run, const ConversionOptions& options, FormatFactory make_format);

    // Writes a chunk's spectra (their failure aside); 0 or an errno.
    virtual int write(const RenderedChunk& chunk) = 0;
    // Writes the rest of the file once every spectrum is written.
    virtual std::optional<Failure> finish() = 0;
    // Returns once no write is in flight; 0 or the errno of one that failed.
    virtual int wait_for_output() = 0;

    const Run& run() const noexcept { return *run_; }

private:
    // Stops the workers and keeps `failure` for every later call.
    lumora::Failure<Failure> end_with(Failure failure);
    lumora::Result<bool, Failure> advance_slice(std::chrono::steady_clock::time_point deadline);

    std::shared_ptr<const Run> run_;
    PeakOptions peak_options_;
    std::vector<std::size_t> chunk_starts_;  // one more than the chunks: the last is the scan count
    std::optional<Failure> failure_;
    bool complete_ = false;
    std::uint64_t spectra_done_ = 0;
    std::uint64_t spectra_written_ = 0;
    std::uint64_t spectra_left_out_ = 0;
    // Last, so that its threads are gone before anything they read.
    std::unique_ptr<OrderedPool<RenderedChunk>> pool_;
};

// The sample of `run` as indexed mzML, written to `fd` (open for writing,
// positioned at the start of an empty file) until the conversion completes.
std::unique_ptr<Conversion> convert_to_mzml(std::shared_ptr<const Run> run, int fd, MzmlSettings settings,
                                            const ConversionOptions& options = {});

// The sample's fragment spectra with a precursor m/z as MGF blocks.
std::unique_ptr<Conversion> convert_to_mgf(std::shared_ptr<const Run> run, int fd,
                                           const ConversionOptions& options = {});

// The first scan of every work item: runs of consecutive scans of at least
// `chunk_bytes` recorded block bytes, the last one shorter, each at least
// one scan; then the scan count.
std::vector<std::size_t> chunk_starts(std::span<const std::int64_t> scan_sizes, std::uint64_t chunk_bytes);

// A reader's precursor as the fields of a <precursor> element; the native
// id is a view into `precursor`.
mzml::PrecursorFields precursor_fields(const lumora::Precursor& precursor);

}  // namespace corvex::engine
