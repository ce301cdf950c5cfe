// The floor under an mzML conversion with zlib: the conversion's deflate and
// nothing else. Every spectrum's two arrays are deflated as the conversion
// deflates them (the same shared codes, the same work items, the same pool),
// on as many threads, from arrays already decoded into memory: no reading,
// no base64, no checksum, no writing. bench/convert_bench.py runs it on the
// run it converts:
//
//   CORVEX_BENCH_RUN=run.wiff CORVEX_BENCH_THREADS=2 build-bench/deflate_floor_bench --benchmark_format=json
//
// Besides the wall time per pass it reports the process's CPU seconds per
// pass (`cpu_seconds`) and the bytes deflated and written (`bytes_in`,
// `bytes_out`).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/conversion.hpp"
#include "engine/mzml_elements.hpp"
#include "engine/peaks.hpp"

namespace {

using namespace corvex::engine;

struct Arrays {
    Run run;
    LoadedPeaks peaks;
    std::vector<std::size_t> starts;  // the conversion's work items
};

const Arrays& arrays() {
    static const Arrays loaded = [] {
        const char* path = std::getenv("CORVEX_BENCH_RUN");
        if (path == nullptr) throw std::runtime_error("set CORVEX_BENCH_RUN to the run's .wiff file");
        auto run = Run::open(path);
        if (!run) throw std::runtime_error(run.error().display());
        auto peaks = load_peaks(*run, run->select({}));
        if (!peaks) throw std::runtime_error(peaks.error().display());
        auto starts = chunk_starts(run->spectra().scan_size, ConversionOptions{}.chunk_bytes);
        return Arrays{std::move(run).value(), std::move(peaks).value(), std::move(starts)};
    }();
    return loaded;
}

std::size_t bench_threads() {
    const char* text = std::getenv("CORVEX_BENCH_THREADS");
    return text ? static_cast<std::size_t>(std::strtoul(text, nullptr, 10)) : 0;
}

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

void BM_DeflateFloor(benchmark::State& state) {
    const Arrays& in = arrays();
    const auto* mz = in.peaks.mz.as<const double>();
    const auto* intensity = in.peaks.intensity.as<const float>();
    const auto span_of = [&](std::size_t k, auto* values) {
        const auto begin = static_cast<std::size_t>(in.peaks.offsets[k]);
        return std::span(values + begin, static_cast<std::size_t>(in.peaks.offsets[k + 1]) - begin);
    };
    // The codes the conversion settles on before its workers start.
    mzml::DocumentCodes codes({{std::nullopt, true}, {std::nullopt, true}});
    for (std::size_t k = 0; !codes.settled() && k < in.peaks.index.size(); ++k) {
        codes.codings_for(k, span_of(k, mz), span_of(k, intensity));
    }
    double cpu = 0;
    std::uint64_t bytes_out = 0;
    for (auto _ : state) {
        const double started = process_cpu_seconds();
        OrderedPool<std::uint64_t> pool(
            in.starts.size() - 1,
            [&] {
                return [&, encoder = BinaryArrayEncoder()](std::size_t item) mutable {
                    std::uint64_t written = 0;
                    for (std::size_t k = in.starts[item]; k < in.starts[item + 1]; ++k) {
                        const mzml::ArrayCodings& codings = codes.codings_at(k);
                        written += encoder.code(span_of(k, mz), codings.mz).bytes.size();
                        written += encoder.code(span_of(k, intensity), codings.intensity).bytes.size();
                    }
                    return written;
                };
            },
            PoolLimits{bench_threads(), 0, std::numeric_limits<std::size_t>::max()});
        bytes_out = 0;
        while (auto written = pool.next()) bytes_out += *written;
        cpu += process_cpu_seconds() - started;
    }
    state.counters["cpu_seconds"] = cpu / static_cast<double>(state.iterations());
    state.counters["bytes_in"] = static_cast<double>(in.peaks.peak_total() * (sizeof(double) + sizeof(float)));
    state.counters["bytes_out"] = static_cast<double>(bytes_out);
}

BENCHMARK(BM_DeflateFloor)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
