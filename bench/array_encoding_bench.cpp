// Deflate libraries and base64 on the arrays an mzML conversion encodes:
// each array is one zlib stream, as in a <binary> element. Reads the arrays
// written by bench/array_encoding_bench.py (CORVEX_BENCH_ARRAYS); bytes/s is
// input bytes on one core, `ratio` compressed over input bytes. With
// CORVEX_BENCH_DUMP set to a directory, each library and level writes its
// streams there for the script to inflate and compare.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/deflate.hpp"

namespace {

// One array: 0 for m/z (float64), 1 for intensity (float32).
struct Array {
    std::uint8_t kind;
    std::vector<unsigned char> bytes;
};

// The file is a sequence of [kind: u8][length: u64 little-endian][bytes].
std::vector<Array> read_arrays(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot open ") + path);
    std::vector<Array> arrays;
    for (;;) {
        Array array;
        std::uint64_t length = 0;
        if (!in.read(reinterpret_cast<char*>(&array.kind), 1)) break;
        in.read(reinterpret_cast<char*>(&length), sizeof length);
        array.bytes.resize(length);
        in.read(reinterpret_cast<char*>(array.bytes.data()), static_cast<std::streamsize>(length));
        if (!in) throw std::runtime_error("truncated arrays file");
        arrays.push_back(std::move(array));
    }
    return arrays;
}

const std::vector<Array>& arrays() {
    static const std::vector<Array> loaded = [] {
        const char* path = std::getenv("CORVEX_BENCH_ARRAYS");
        if (path == nullptr) throw std::runtime_error("set CORVEX_BENCH_ARRAYS to the arrays file");
        return read_arrays(path);
    }();
    return loaded;
}

// Room for either library's stream.
std::size_t zlib_bound(std::size_t n) { return corvex::engine::ZlibCompressor::bound(n) + n / 16; }

struct Libdeflate {
    explicit Libdeflate(int level) : compressor(libdeflate_alloc_compressor(level)) {}
    ~Libdeflate() { libdeflate_free_compressor(compressor); }
    std::size_t operator()(const unsigned char* in, std::size_t n, unsigned char* out, std::size_t capacity) {
        return libdeflate_zlib_compress(compressor, in, n, out, capacity);
    }
    libdeflate_compressor* compressor;
};

// ISA-L through the engine's own compressor: what the converters run.
struct Isal {
    explicit Isal(int level) : compressor(level) {}
    std::size_t operator()(const unsigned char* in, std::size_t n, unsigned char* out, std::size_t capacity) {
        return compressor.compress(in, n, out, capacity);
    }
    corvex::engine::ZlibCompressor compressor;
};

// kind: 0 m/z, 1 intensity, 2 both.
template <class Compressor>
void compress_arrays(benchmark::State& state, const std::string& name, int level, int kind) {
    Compressor compress(level);
    std::vector<unsigned char> out;
    std::size_t in_bytes = 0, out_bytes = 0;
    std::ofstream dump;
    if (const char* directory = std::getenv("CORVEX_BENCH_DUMP"); directory != nullptr && kind == 2) {
        dump.open(std::string(directory) + "/" + name + "-" + std::to_string(level) + ".bin", std::ios::binary);
    }
    for (auto _ : state) {
        in_bytes = out_bytes = 0;
        for (const Array& array : arrays()) {
            if (kind != 2 && array.kind != kind) continue;
            out.resize(zlib_bound(array.bytes.size()));
            const std::size_t written = compress(array.bytes.data(), array.bytes.size(), out.data(), out.size());
            if (written == 0) {
                state.SkipWithError("compression failed");
                return;
            }
            in_bytes += array.bytes.size();
            out_bytes += written;
            if (dump.is_open()) {
                const std::uint64_t length = written;
                dump.write(reinterpret_cast<const char*>(&length), sizeof length);
                dump.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(written));
            }
        }
        dump.close();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in_bytes));
    state.counters["ratio"] = static_cast<double>(out_bytes) / static_cast<double>(in_bytes);
}

// OpenSSL's base64 (no line breaks), the encoder of the <binary> text.
void base64_arrays(benchmark::State& state) {
    std::vector<unsigned char> out;
    std::size_t in_bytes = 0;
    for (auto _ : state) {
        in_bytes = 0;
        for (const Array& array : arrays()) {
            out.resize((array.bytes.size() + 2) / 3 * 4 + 1);
            EVP_EncodeBlock(out.data(), array.bytes.data(), static_cast<int>(array.bytes.size()));
            in_bytes += array.bytes.size();
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in_bytes));
}

const int registered = [] {
    benchmark::RegisterBenchmark("base64/openssl", base64_arrays)->Unit(benchmark::kMillisecond);
    const char* kinds[] = {"mz", "intensity", "both"};
    for (int kind = 0; kind < 3; ++kind) {
        for (int level : {1, 2, 3, 4, 6}) {
            benchmark::RegisterBenchmark(("libdeflate/" + std::to_string(level) + "/" + kinds[kind]).c_str(),
                                         compress_arrays<Libdeflate>, "libdeflate", level, kind)
                ->Unit(benchmark::kMillisecond);
        }
        for (int level : {0, 1, 2, 3}) {
            benchmark::RegisterBenchmark(("isal/" + std::to_string(level) + "/" + kinds[kind]).c_str(),
                                         compress_arrays<Isal>, "isal", level, kind)
                ->Unit(benchmark::kMillisecond);
        }
    }
    return 0;
}();

}  // namespace
