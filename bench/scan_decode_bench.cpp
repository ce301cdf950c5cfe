// Scan payload decoding on TOF-like payloads: mostly gaps of 1 to 8 channels
// as one skip byte, some longer jumps, intensities over every code length
// (about 3.5 payload bytes per point). items/s counts decoded points.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "../tests/cpp/scan_reference.hpp"
#include "corvex/raw/scan.hpp"

namespace {

using corvex::raw::Bytes;
using corvex::raw::ByteView;
using corvex::raw::ScanPoint;

Bytes tof_payload(std::size_t points) {
    std::mt19937_64 random(20261208);
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_int_distribution<std::uint32_t> small_gap(1, 8);
    std::uniform_int_distribution<std::uint32_t> long_gap(9, 1000);
    Bytes bytes;
    bytes.reserve(points * 4);
    for (std::size_t p = 0; p < points; ++p) {
        std::uint32_t gap = percent(random) < 90 ? small_gap(random) : long_gap(random);
        for (; gap > 0x7F; gap -= 0x7F) {
            bytes.push_back(0x7F);
        }
        bytes.push_back(static_cast<std::uint8_t>(gap));
        const int kind = percent(random);
        const std::uint32_t raw = static_cast<std::uint32_t>(random());
        if (kind < 35) {
            bytes.push_back(static_cast<std::uint8_t>(0x80 + raw % 124));
        } else if (kind < 65) {
            bytes.insert(bytes.end(), {0xFC, static_cast<std::uint8_t>(raw)});
        } else if (kind < 85) {
            bytes.insert(bytes.end(), {0xFD, static_cast<std::uint8_t>(raw), static_cast<std::uint8_t>(raw >> 8)});
        } else if (kind < 95) {
            bytes.insert(bytes.end(), {0xFE, static_cast<std::uint8_t>(raw), static_cast<std::uint8_t>(raw >> 8),
                                       static_cast<std::uint8_t>(raw >> 16)});
        } else {
            const std::uint32_t value = raw & 0x00FF'FFFFU;  // never an end marker
            bytes.insert(bytes.end(), {0xFF, static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                       static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
        }
    }
    bytes.insert(bytes.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    return bytes;
}

// items/s counts points, bytes/s payload bytes; ns_per_point is CPU time.
void count(benchmark::State& state, std::size_t points_per_iteration, std::size_t bytes_per_iteration) {
    const auto iterations = static_cast<std::int64_t>(state.iterations());
    state.SetItemsProcessed(iterations * static_cast<std::int64_t>(points_per_iteration));
    if (bytes_per_iteration != 0) {
        state.SetBytesProcessed(iterations * static_cast<std::int64_t>(bytes_per_iteration));
        state.counters["bytes_per_point"] =
            static_cast<double>(bytes_per_iteration) / static_cast<double>(points_per_iteration);
    }
    state.counters["ns_per_point"] =
        benchmark::Counter(static_cast<double>(iterations) * static_cast<double>(points_per_iteration),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

template <class Decode>
void run_decoder(benchmark::State& state, Decode decode) {
    const Bytes payload = tof_payload(static_cast<std::size_t>(state.range(0)));
    std::size_t points = 0;
    for (auto _ : state) {
        std::vector<ScanPoint> decoded = decode(ByteView(payload));
        points = decoded.size();
        benchmark::DoNotOptimize(decoded.data());
        benchmark::ClobberMemory();
    }
    count(state, points, payload.size());
}

void BM_DecodeScanPayload(benchmark::State& state) {
    run_decoder(state, [](ByteView bytes) { return corvex::raw::decode_scan_payload(bytes); });
}
BENCHMARK(BM_DecodeScanPayload)->Arg(1 << 10)->Arg(1 << 14)->Arg(1 << 18);

// The straightforward one-code-per-iteration loop, for comparison.
void BM_DecodeScanPayloadBaseline(benchmark::State& state) {
    run_decoder(state, [](ByteView bytes) { return corvex::raw::reference::decode_scan_payload(bytes); });
}
BENCHMARK(BM_DecodeScanPayloadBaseline)->Arg(1 << 10)->Arg(1 << 14)->Arg(1 << 18);

void BM_PointsToArrays(benchmark::State& state) {
    const std::vector<ScanPoint> points =
        corvex::raw::decode_scan_payload(tof_payload(static_cast<std::size_t>(state.range(0))));
    const std::optional<corvex::raw::Calibration> calibration =
        corvex::raw::Calibration{0.000123456789, 12.345};
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<ScanPoint> copy = points;
        state.ResumeTiming();
        corvex::raw::PeakArrays arrays = corvex::raw::points_to_arrays(std::move(copy), calibration);
        benchmark::DoNotOptimize(arrays.mz.data());
        benchmark::DoNotOptimize(arrays.intensity.data());
    }
    count(state, points.size(), 0);
}
BENCHMARK(BM_PointsToArrays)->Arg(1 << 14)->Arg(1 << 18);

// Open, read and decode one block from a file in the page cache, as spectrum
// assembly does for every scan.
void BM_ReadScanBlock(benchmark::State& state) {
    const Bytes payload = tof_payload(static_cast<std::size_t>(state.range(0)));
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("corvex_scan_bench_" + std::to_string(::getpid()) + ".wiff.scan");
    {
        std::ofstream file(path, std::ios::binary);
        const std::string header(corvex::raw::scan_block_header_size, '\0');
        file.write(header.data(), static_cast<std::streamsize>(header.size()));
        file.write(reinterpret_cast<const char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
    }
    const std::uint64_t file_size = std::filesystem::file_size(path);
    std::size_t points = 0;
    for (auto _ : state) {
        auto block = corvex::raw::read_scan_block(path, 0, file_size, file_size, file_size);
        if (!block.ok()) {
            state.SkipWithError(block.error().message.c_str());
            break;
        }
        points = block->size();
        benchmark::DoNotOptimize(block->data());
    }
    std::filesystem::remove(path);
    count(state, points, payload.size());
}
BENCHMARK(BM_ReadScanBlock)->Arg(1 << 10)->Arg(1 << 14)->Arg(1 << 18);

}  // namespace
