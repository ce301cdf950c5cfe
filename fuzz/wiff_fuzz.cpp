// The whole reader on arbitrary file pairs: listing samples, opening each
// one, draining its spectra, run metadata and chromatograms must never crash,
// and what it reports must be consistent. The engine opens the same samples
// and must give exactly the reader's peaks and errors, one scan at a time,
// streamed and loaded, and the same centroids on each of those paths.
//
// Input layout:
//   byte 0        flags; bit 0 set: there is no .wiff.scan file
//   bytes 1..4    little-endian length of the .wiff part (clamped to what is left)
//   then          the .wiff part, and the rest is the .wiff.scan part
// Inputs shorter than 5 bytes are taken as a whole .wiff file with an empty
// .wiff.scan file.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>
#include <fstream>
#include <string>
#include <system_error>

#include "corvex/reader.hpp"
#include "engine/peaks.hpp"
#include "engine/run.hpp"

namespace {

namespace fs = std::filesystem;

void check(bool condition) {
    if (!condition) __builtin_trap();
}

// One directory per fuzzing process, the same two file names every run.
struct Workspace {
    fs::path dir;
    fs::path wiff;
    fs::path scan;

    Workspace() {
        std::string pattern = (fs::temp_directory_path() / "corvex_wiff_fuzz_XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        dir = pattern;
        wiff = dir / "run.wiff";
        scan = dir / "run.wiff.scan";
    }
    ~Workspace() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
};

Workspace& workspace() {
    static Workspace instance;
    return instance;
}

void write_file(const fs::path& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
        std::perror("write");
        std::abort();
    }
}

// What the reader gives for one scan: its peaks or the text of its error.
struct ReaderScan {
    std::optional<lumora::SpectrumRecord> spectrum;
    std::string error;
};

bool same_bits(const void* a, const void* b, std::size_t bytes) { return bytes == 0 || std::memcmp(a, b, bytes) == 0; }

bool same_peaks(const ReaderScan& want, std::span<const double> mz, std::span<const float> intensity) {
    const lumora::SpectrumRecord& spectrum = *want.spectrum;
    return mz.size() == spectrum.mz.size() && intensity.size() == spectrum.intensity.size() &&
           same_bits(mz.data(), spectrum.mz.data(), mz.size_bytes()) &&
           same_bits(intensity.data(), spectrum.intensity.data(), intensity.size_bytes());
}

std::vector<ReaderScan> exercise(const corvex::Reader& reader) {
    const std::size_t count = reader.sample().idx_records.size();
    check(count > 0);

    std::vector<ReaderScan> scans;
    lumora::SpectrumSequence spectra = reader.iter_spectra();
    check(spectra.size_hint() == count);
    std::size_t seen = 0;
    while (auto item = spectra.next()) {
        ++seen;
        check(spectra.size_hint() == count - seen);
        if (!item->ok()) {
            scans.push_back({std::nullopt, item->error().display()});
            continue;
        }
        const lumora::SpectrumRecord& spectrum = item->value();
        check(spectrum.index == seen - 1);
        check(spectrum.mz.size() == spectrum.intensity.size());
        check(spectrum.precursor.has_value() == (spectrum.ms_level >= 2));
        (void)spectrum.effective_tic();
        (void)spectrum.effective_base_peak();
        scans.push_back({std::move(*item).value(), {}});
    }
    check(seen == count);
    check(!spectra.next());

    const lumora::RunMetadata metadata = reader.run_metadata();
    (void)metadata;

    lumora::ChromatogramSequence chromatograms = reader.iter_chromatograms();
    std::size_t chromatogram_count = 0;
    while (auto item = chromatograms.next()) {
        ++chromatogram_count;
        check(item->ok());
        const lumora::ChromatogramRecord& tic = item->value();
        check(tic.time_sec.size() == count && tic.intensity.size() == count);
    }
    check(chromatogram_count == 1);
    return scans;
}

using PeaksOrError = corvex::Result<corvex::engine::SpectrumPeaks>;

bool same_peaks(const corvex::engine::SpectrumPeaks& want, std::span<const double> mz, std::span<const float> intensity) {
    return mz.size() == want.size() && intensity.size() == want.size() &&
           same_bits(mz.data(), want.mz().data(), mz.size_bytes()) &&
           same_bits(intensity.data(), want.intensity().data(), intensity.size_bytes());
}

// Every scan's peaks read one at a time with one workspace.
std::vector<PeaksOrError> read_each(const corvex::engine::Run& run, const corvex::engine::PeakOptions& options) {
    corvex::engine::ScanWorkspace workspace;
    std::vector<PeaksOrError> all;
    for (std::size_t i = 0; i < run.scan_count(); ++i) all.push_back(read_peaks(run, i, workspace, options));
    return all;
}

// Streamed and loaded with `options`: the peaks of `reference` (read_each's),
// its errors in place in the stream and its first error for the load. The
// load, when it succeeds.
std::optional<corvex::engine::LoadedPeaks> check_stream_and_load(const corvex::engine::Run& run,
                                                                 const corvex::engine::PeakOptions& options,
                                                                 const std::vector<PeaksOrError>& reference) {
    using namespace corvex::engine;
    PeakStream stream(run, run.select({}), PoolLimits{2, 3, 1 << 16}, options);
    std::size_t streamed = 0;
    while (auto item = stream.next()) {
        const PeaksOrError& want = reference[item->position];
        check(item->position == streamed++);
        check(item->peaks.ok() == want.ok());
        if (want.ok()) check(same_peaks(*want, item->peaks->mz(), item->peaks->intensity()));
    }
    check(streamed == reference.size());

    auto loaded = load_peaks(run, run.select({}), LoadOptions{2, 64, options});
    const auto failure = std::find_if(reference.begin(), reference.end(), [](const PeaksOrError& p) { return !p.ok(); });
    check(loaded.ok() == (failure == reference.end()));
    if (!loaded.ok()) {
        check(error_text(loaded.error()) == error_text(failure->error()));
        return std::nullopt;
    }
    const auto* mz = loaded->mz.as<const double>();
    const auto* intensity = loaded->intensity.as<const float>();
    for (std::size_t k = 0; k < reference.size(); ++k) {
        const auto begin = static_cast<std::size_t>(loaded->offsets[k]);
        const auto size = static_cast<std::size_t>(loaded->offsets[k + 1]) - begin;
        check(same_peaks(*reference[k], {mz + begin, size}, {intensity + begin, size}));
    }
    return std::move(loaded).value();
}

// The engine's views of a sample the reader opened, against the reader's.
void exercise_engine(const corvex::engine::Run& run, const std::vector<ReaderScan>& scans) {
    using namespace corvex::engine;
    check(run.scan_count() == scans.size());
    const SpectrumTable& table = run.spectra();
    const std::vector<PeaksOrError> peaks = read_each(run, {});
    for (std::size_t i = 0; i < scans.size(); ++i) {
        const ReaderScan& want = scans[i];
        check(peaks[i].ok() == want.spectrum.has_value());
        if (!peaks[i].ok()) {
            check(error_text(peaks[i].error()) == want.error);
            continue;
        }
        check(same_peaks(want, peaks[i]->mz(), peaks[i]->intensity()));
        const lumora::SpectrumRecord& spectrum = *want.spectrum;
        check(table.scan_number[i] == spectrum.scan_number && table.ms_level[i] == spectrum.ms_level);
        check(same_bits(&table.retention_time_sec[i], &spectrum.retention_time_sec, sizeof(double)));
        const auto selected = spectrum.precursor ? spectrum.precursor->selected_mz : std::nullopt;
        check(selected ? same_bits(&table.precursor_mz[i], &*selected, sizeof(double))
                       : std::isnan(table.precursor_mz[i]));
    }
    if (const auto loaded = check_stream_and_load(run, {}, peaks)) {
        for (std::size_t k = 0; k < scans.size(); ++k) {
            const double tic = scans[k].spectrum->effective_tic();
            check(same_bits(&loaded->total_ion_current[k], &tic, sizeof(double)));
        }
    }

    // Centroids, from almost every point (the most work for the stage): the
    // same on every path, never more than the scan's peaks, failing where
    // the peaks fail.
    const PeakOptions centroiding{CentroidParameters{.min_snr = 0.0, .min_points = 1, .single_point_peaks = true}};
    const std::vector<PeaksOrError> centroids = read_each(run, centroiding);
    for (std::size_t i = 0; i < scans.size(); ++i) {
        check(centroids[i].ok() == peaks[i].ok());
        if (centroids[i].ok()) check(centroids[i]->size() <= peaks[i]->size());
    }
    (void)check_stream_and_load(run, centroiding, centroids);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Made here, so the directory exists before the first input and goes
    // with the process's static objects.
    (void)workspace();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Workspace& ws = workspace();
    bool with_scan = true;
    const std::uint8_t* wiff = data;
    std::size_t wiff_size = size;
    const std::uint8_t* scan = data + size;
    std::size_t scan_size = 0;
    if (size >= 5) {
        with_scan = (data[0] & 1) == 0;
        const std::size_t declared = static_cast<std::size_t>(data[1]) | static_cast<std::size_t>(data[2]) << 8 |
                                     static_cast<std::size_t>(data[3]) << 16 |
                                     static_cast<std::size_t>(data[4]) << 24;
        wiff = data + 5;
        wiff_size = std::min(declared, size - 5);
        scan = wiff + wiff_size;
        scan_size = size - 5 - wiff_size;
    }
    write_file(ws.wiff, wiff, wiff_size);
    std::error_code ignored;
    if (with_scan) {
        write_file(ws.scan, scan, scan_size);
    } else {
        fs::remove(ws.scan, ignored);
    }

    auto names = corvex::Reader::list_samples(ws.wiff);
    auto single = corvex::Reader::open(ws.wiff);
    auto single_run = corvex::engine::Run::open(ws.wiff);
    check(single.ok() == single_run.ok());
    if (!single_run.ok()) check(corvex::engine::error_text(single_run.error()) == single.error().display());
    if (!names.ok()) {
        // Whatever makes the listing fail makes opening the only sample fail.
        check(!single.ok());
        return 0;
    }
    check(!single.ok() || names->size() == 1);
    if (single.ok()) {
        check(single->sample().sample_name == names->front());
        exercise_engine(*single_run, exercise(*single));
    }
    for (const std::string& name : *names) {
        auto reader = corvex::Reader::open_sample(ws.wiff, name);
        if (!reader.ok()) continue;
        check(reader->sample().sample_name == name);
        const auto scans = exercise(*reader);
        auto run = corvex::engine::Run::open(ws.wiff, name);
        check(run.ok());
        exercise_engine(*run, scans);
    }
    return 0;
}
