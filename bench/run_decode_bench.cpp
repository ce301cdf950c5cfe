// Decoding a whole run, scan block by scan block, against the floor of
// reading the same bytes. Usage:
//
//   run_decode_bench RUN.wiff [--repeat N] [--threads N]
//
// Times, each the best of N passes over every scan of the run (the scan
// data file is expected in the page cache, as after the first pass):
//
//   floor:    one descriptor, pread of every scan's payload range into one
//             reused buffer and a sum of its bytes;
//   decode:   read_scan_peaks (read, decode, m/z conversion) for every
//             scan, what spectrum assembly does per scan;
//   assemble: every spectrum record of Reader::iter_spectra;
//   fresh:    the floor for keeping every spectrum's arrays, as RawReader
//             does: one new m/z and intensity array per scan, of the
//             scan's number of peaks, filled and kept to the end of the
//             pass (12 bytes per peak of memory the process never had).
//
// and, on --threads threads (default: one per available CPU):
//
//   fresh_threads: the same floor with the scans shared out between the
//             threads, each allocating and filling the arrays of its own;
//   load:     the engine's load_peaks of every scan into CSR arrays.
//
// Prints one JSON object: wall and CPU seconds per mode (for the threaded
// modes the CPU of the whole process), the number of peaks (points kept in
// the m/z and intensity arrays), scans, payload bytes and threads. The
// first five modes are single-threaded.
#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "corvex/raw/scan.hpp"
#include "corvex/reader.hpp"
#include "engine/peaks.hpp"
#include "engine/run.hpp"
#include "engine/thread_count.hpp"

namespace {

using corvex::raw::PayloadRange;

struct Timing {
    double wall = 1e300;
    double cpu = 1e300;
};

double thread_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// Runs `pass` `repeat` times and keeps the fastest wall and CPU times; the
// CPU time of the calling thread, or with `cpu_seconds` that of the process.
template <class Pass>
Timing best_of(int repeat, Pass&& pass, double (*cpu_seconds)() = thread_cpu_seconds) {
    Timing best;
    for (int r = 0; r < repeat; ++r) {
        const auto wall_start = std::chrono::steady_clock::now();
        const double cpu_start = cpu_seconds();
        pass();
        const double cpu = cpu_seconds() - cpu_start;
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
        best.wall = std::min(best.wall, wall);
        best.cpu = std::min(best.cpu, cpu);
    }
    return best;
}

// The payload range of every scan, as spectrum assembly bounds it.
std::vector<PayloadRange> payload_ranges(const corvex::SampleData& data) {
    std::vector<PayloadRange> ranges;
    const auto& records = data.idx_records;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::uint64_t bound = i + 1 < records.size() ? records[i + 1].scan_offset : data.scan_file_size;
        ranges.push_back(corvex::raw::scan_payload_range(records[i].scan_offset, records[i].scan_size, bound,
                                                         data.scan_file_size));
    }
    return ranges;
}

// Reads every range with pread into one buffer and sums the bytes, so that
// every byte is loaded once, as a decoder must.
std::uint64_t read_and_sum(const std::string& path, const std::vector<PayloadRange>& ranges) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::perror("open");
        std::exit(1);
    }
    std::vector<std::uint8_t> buffer;
    std::uint64_t sum = 0;
    for (const PayloadRange& range : ranges) {
        buffer.resize(range.size());
        std::size_t got = 0;
        while (got < buffer.size()) {
            const ssize_t n = ::pread(fd, buffer.data() + got, buffer.size() - got,
                                      static_cast<off_t>(range.start + got));
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        for (std::size_t k = 0; k < got; ++k) sum += buffer[k];
    }
    ::close(fd);
    return sum;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s RUN.wiff [--repeat N]\n", argv[0]);
        return 2;
    }
    int repeat = 3;
    std::size_t threads = corvex::engine::available_cpus();
    for (int a = 2; a + 1 < argc; a += 2) {
        if (std::strcmp(argv[a], "--repeat") == 0) repeat = std::max(1, std::atoi(argv[a + 1]));
        if (std::strcmp(argv[a], "--threads") == 0) threads = static_cast<std::size_t>(std::max(1, std::atoi(argv[a + 1])));
    }
    auto reader = corvex::Reader::open(argv[1]);
    if (!reader) {
        std::fprintf(stderr, "cannot open %s: %s\n", argv[1], reader.error().display().c_str());
        return 1;
    }
    const corvex::SampleData& data = reader->sample();
    const std::string scan_path = data.scan_file_path.string();
    const std::vector<PayloadRange> ranges = payload_ranges(data);
    std::uint64_t payload_bytes = 0;
    for (const PayloadRange& range : ranges) payload_bytes += range.size();

    volatile std::uint64_t sink = 0;
    // A first pass brings the scan data file into the page cache.
    sink = sink + read_and_sum(scan_path, ranges);
    const Timing floor = best_of(repeat, [&] { sink = sink + read_and_sum(scan_path, ranges); });

    std::uint64_t peaks = 0;
    std::vector<std::size_t> scan_peaks(data.idx_records.size());
    corvex::raw::ScanDecoder decoder;
    const Timing decode = best_of(repeat, [&] {
        peaks = 0;
        const auto& records = data.idx_records;
        for (std::size_t i = 0; i < records.size(); ++i) {
            const std::uint64_t bound = i + 1 < records.size() ? records[i + 1].scan_offset : data.scan_file_size;
            auto arrays = corvex::raw::read_scan_peaks(decoder, data.scan_file_path, records[i].scan_offset,
                                                       records[i].scan_size, bound, data.scan_file_size,
                                                       data.calibration);
            if (!arrays) {
                std::fprintf(stderr, "scan %zu: %s\n", i + 1, arrays.error().display().c_str());
                std::exit(1);
            }
            peaks += arrays->mz.size();
            scan_peaks[i] = arrays->mz.size();
            sink = sink + static_cast<std::uint64_t>(arrays->intensity.empty() ? 0.0F : arrays->intensity.back());
        }
    });

    std::uint64_t assembled_peaks = 0;
    const Timing assemble = best_of(repeat, [&] {
        assembled_peaks = 0;
        lumora::SpectrumSequence spectra = reader->iter_spectra();
        while (auto item = spectra.next()) {
            if (!*item) {
                std::fprintf(stderr, "%s\n", item->error().display().c_str());
                std::exit(1);
            }
            assembled_peaks += item->value().mz.size();
        }
    });
    if (assembled_peaks != peaks) {
        std::fprintf(stderr, "assembly kept %llu peaks, decoding %llu\n",
                     static_cast<unsigned long long>(assembled_peaks), static_cast<unsigned long long>(peaks));
        return 1;
    }

    // One pass only: the memory must be new to the process, and freed
    // memory would be handed out again.
    const Timing fresh = best_of(1, [&] {
        std::vector<std::pair<std::vector<double>, std::vector<float>>> kept;
        kept.reserve(scan_peaks.size());
        for (std::size_t n : scan_peaks) {
            kept.emplace_back(std::vector<double>(n, 1.0), std::vector<float>(n, 1.0F));
        }
        sink = sink + kept.size();
    });

    // New memory for every thread: each allocates from an arena of its own.
    const Timing fresh_threads = best_of(1, [&] {
        std::vector<std::vector<std::pair<std::vector<double>, std::vector<float>>>> kept(threads);
        std::vector<std::thread> workers;
        for (std::size_t t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                for (std::size_t i = t; i < scan_peaks.size(); i += threads) {
                    kept[t].emplace_back(std::vector<double>(scan_peaks[i], 1.0), std::vector<float>(scan_peaks[i], 1.0F));
                }
            });
        }
        for (std::thread& worker : workers) worker.join();
        sink = sink + kept.size();
    }, process_cpu_seconds);

    auto run = corvex::engine::Run::open(argv[1]);
    if (!run) {
        std::fprintf(stderr, "cannot open %s: %s\n", argv[1], run.error().display().c_str());
        return 1;
    }
    const std::vector<std::size_t> everything = run->select({});
    const Timing load = best_of(repeat, [&] {
        auto loaded = corvex::engine::load_peaks(*run, everything, corvex::engine::LoadOptions{.threads = threads});
        if (!loaded || loaded->peak_total() != peaks) {
            std::fprintf(stderr, "load failed or kept another number of peaks\n");
            std::exit(1);
        }
    }, process_cpu_seconds);

    std::printf(
        "{\"scans\": %zu, \"peaks\": %llu, \"payload_bytes\": %llu, \"repeat\": %d, \"threads\": %zu,\n"
        " \"floor\": {\"wall_s\": %.6f, \"cpu_s\": %.6f},\n"
        " \"decode\": {\"wall_s\": %.6f, \"cpu_s\": %.6f},\n"
        " \"assemble\": {\"wall_s\": %.6f, \"cpu_s\": %.6f},\n"
        " \"fresh\": {\"wall_s\": %.6f, \"cpu_s\": %.6f},\n"
        " \"fresh_threads\": {\"wall_s\": %.6f, \"cpu_s\": %.6f},\n"
        " \"load\": {\"wall_s\": %.6f, \"cpu_s\": %.6f}}\n",
        ranges.size(), static_cast<unsigned long long>(peaks), static_cast<unsigned long long>(payload_bytes), repeat,
        threads, floor.wall, floor.cpu, decode.wall, decode.cpu, assemble.wall, assemble.cpu, fresh.wall, fresh.cpu,
        fresh_threads.wall, fresh_threads.cpu, load.wall, load.cpu);
    return 0;
}
