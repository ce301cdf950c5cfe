// The whole reader on arbitrary file pairs: listing samples, opening each
// one, draining its spectra, run metadata and chromatograms must never crash,
// and what it reports must be consistent.
//
// Input layout:
//   byte 0        flags; bit 0 set: there is no .wiff.scan file
//   bytes 1..4    little-endian length of the .wiff part (clamped to what is left)
//   then          the .wiff part, and the rest is the .wiff.scan part
// Inputs shorter than 5 bytes are taken as a whole .wiff file with an empty
// .wiff.scan file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "corvex/reader.hpp"

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

void exercise(const corvex::Reader& reader) {
    const std::size_t count = reader.sample().idx_records.size();
    check(count > 0);

    lumora::SpectrumSequence spectra = reader.iter_spectra();
    check(spectra.size_hint() == count);
    std::size_t seen = 0;
    while (auto item = spectra.next()) {
        ++seen;
        check(spectra.size_hint() == count - seen);
        if (!item->ok()) continue;
        const lumora::SpectrumRecord& spectrum = item->value();
        check(spectrum.index == seen - 1);
        check(spectrum.mz.size() == spectrum.intensity.size());
        check(spectrum.precursor.has_value() == (spectrum.ms_level >= 2));
        (void)spectrum.effective_tic();
        (void)spectrum.effective_base_peak();
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
    if (!names.ok()) {
        // Whatever makes the listing fail makes opening the only sample fail.
        check(!single.ok());
        return 0;
    }
    check(!single.ok() || names->size() == 1);
    if (single.ok()) {
        check(single->sample().sample_name == names->front());
        exercise(*single);
    }
    for (const std::string& name : *names) {
        auto reader = corvex::Reader::open_sample(ws.wiff, name);
        if (!reader.ok()) continue;
        check(reader->sample().sample_name == name);
        exercise(*reader);
    }
    return 0;
}
