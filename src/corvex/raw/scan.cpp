#include "corvex/raw/scan.hpp"

#include "lumora/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// m/z is a rounded product followed by a rounded sum. GCC fuses such pairs
// into one FMA by default wherever the target has it, which changes the last
// bit of the result; keep every expression in this unit unfused.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace corvex::raw {
namespace {

using lumora::IoError;
using lumora::IoErrorKind;

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

// Code bytes: 00-7F skip, 80-FB one-byte point, FC/FD/FE/FF a point followed
// by 1/2/3/4 intensity bytes (FF FF FF FF is the end marker).
constexpr std::uint32_t first_point_code = 0x80;
constexpr std::uint32_t first_long_code = 0xFC;

constexpr std::uint32_t code_length(std::uint32_t code) noexcept {
    return code < first_long_code ? 1 : code - (first_long_code - 2);
}

// What a code contributes, by its first byte. Looking the effects up keeps
// the decoding step free of data-dependent branches; the code bytes are
// unpredictable.
struct CodeTable {
    static constexpr std::size_t size = 0x100;
    std::array<std::uint32_t, size> value_mask{};   // over the bytes after the code byte
    std::array<std::uint32_t, size> short_value{};  // intensity of a one-byte point
    std::array<std::uint32_t, size> skip{};         // added to the running index
    std::array<std::uint32_t, size> is_point{};
};

constexpr CodeTable make_code_table() {
    CodeTable table;
    for (std::uint32_t code = 0; code < 0x100; ++code) {
        if (code < first_point_code) {
            table.skip[code] = code;
        } else {
            table.is_point[code] = 1;
            if (code < first_long_code) {
                table.short_value[code] = code - first_point_code;
            } else {
                const unsigned value_bits = 8 * (code_length(code) - 1);
                table.value_mask[code] = static_cast<std::uint32_t>((std::uint64_t{1} << value_bits) - 1);
            }
        }
    }
    return table;
}

constexpr CodeTable code_table = make_code_table();

// Where the decoder puts points. `put` stores a point at the next free
// position unconditionally and moves past it only when `is_point` is 1, so
// the decoding step needs no branch; the output must have room for one
// entry per payload byte.
struct PointOutput {
    ScanPoint* next;

    void put(std::uint32_t index, std::uint32_t intensity, std::uint32_t is_point) noexcept {
        *next = ScanPoint(index, intensity);
        next += is_point;
    }
};

// Like PointOutput, but a point of intensity 0 is never kept. A slot that
// holds no point always comes with intensity 0 (its table entries are all
// zero), so the intensity alone decides.
struct NonZeroPointOutput {
    ScanPoint* next;

    void put(std::uint32_t index, std::uint32_t intensity, std::uint32_t /*is_point*/) noexcept {
        *next = ScanPoint(index, intensity);
        next += static_cast<std::uint32_t>(intensity != 0);
    }
};

// Walks points as the values `convert` makes of them. Building a vector with
// assign() from a pair of these allocates it at its exact size and writes
// each value once, without zero-filling it first; the loop that assign()
// runs is a plain map, which the compiler vectorises.
template <class Convert>
class ConvertingIterator {
public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = std::invoke_result_t<const Convert&, const ScanPoint&>;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = value_type;

    ConvertingIterator(const ScanPoint* at, Convert convert) noexcept : at_(at), convert_(convert) {}

    value_type operator*() const noexcept { return convert_(*at_); }
    ConvertingIterator& operator++() noexcept {
        ++at_;
        return *this;
    }
    ConvertingIterator operator++(int) noexcept {
        ConvertingIterator before = *this;
        ++at_;
        return before;
    }
    ConvertingIterator& operator--() noexcept {
        --at_;
        return *this;
    }
    ConvertingIterator& operator+=(difference_type n) noexcept {
        at_ += n;
        return *this;
    }
    friend difference_type operator-(const ConvertingIterator& a, const ConvertingIterator& b) noexcept {
        return a.at_ - b.at_;
    }
    friend bool operator==(const ConvertingIterator& a, const ConvertingIterator& b) noexcept {
        return a.at_ == b.at_;
    }

private:
    const ScanPoint* at_;
    Convert convert_;
};

template <class T, class Convert>
void assign_converted(std::vector<T>& out, const ScanPoint* points, std::size_t count, Convert convert) {
    out.assign(ConvertingIterator(points, convert), ConvertingIterator(points + count, convert));
}

// A point's m/z: Calibration::mz of its channel index, or without a
// calibration the index itself.
struct CalibratedMz {
    Calibration map;
    double operator()(const ScanPoint& point) const noexcept {
        return map.mz(static_cast<double>(point.index));
    }
};

struct IndexMz {
    double operator()(const ScanPoint& point) const noexcept { return static_cast<double>(point.index); }
};

struct IntensityOf {
    float operator()(const ScanPoint& point) const noexcept { return static_cast<float>(point.intensity); }
};

// Calls `body` with the m/z rule for `calibration`; the rule is a type of
// its own, so each loop over the points is compiled for one rule.
template <class Body>
decltype(auto) with_mz_rule(const std::optional<Calibration>& calibration, Body&& body) {
    if (!calibration) return body(IndexMz{});
    return body(CalibratedMz{*calibration});
}

template <class Output>
struct DecodeState {
    std::size_t at = 0;
    std::uint32_t index = 0;
    Output out;
};

// Decodes the single code at `state.at` with every check done byte by byte.
// False when decoding ends there: the end marker, or a code cut short.
template <class Output>
bool decode_one(const std::uint8_t* bytes, std::size_t size, DecodeState<Output>& state) noexcept {
    const std::uint32_t code = bytes[state.at];
    if (code < first_point_code) {
        state.index += code;
        ++state.at;
        return true;
    }
    if (code < first_long_code) {
        state.out.put(state.index, code - first_point_code, 1);
        ++state.at;
        return true;
    }
    const std::size_t remaining = size - state.at;
    const std::uint8_t* const value = bytes + state.at + 1;
    if (code == 0xFF && remaining >= 4 && value[0] == 0xFF && value[1] == 0xFF && value[2] == 0xFF) {
        return false;
    }
    const std::size_t length = code_length(code);
    if (remaining < length) {
        return false;
    }
    std::uint32_t intensity = 0;
    std::memcpy(&intensity, value, length - 1);  // little-endian, high bytes stay 0
    state.out.put(state.index, intensity, 1);
    state.at += length;
    return true;
}

// Decoding is latency-bound on "code byte -> code length -> next code byte".
// Two things take that chain apart:
//
// - A step is a skip code with the code after it, or a point code alone. In
//   TOF data nearly every point follows one skip code, so a step is mostly
//   one point, emitted without a branch. Its length depends only on the few
//   bytes at its start, and the long codes' values come out of one 8-byte
//   load.
// - Step lengths are worked out ahead, for a chunk of positions at a time, in
//   a loop with no dependence between positions (the compiler vectorises it).
//   Walking the chunk is then one byte load and one add per step.
//
// Points are stored unconditionally and the output moves only past real
// ones; it never passes the number of bytes consumed and each step starts at
// least 8 bytes before the end, so those stores stay inside an output sized
// to the payload.
constexpr std::size_t step_chunk = 512;

// Added to a step's length when the step would take an end marker, which
// is left to the byte-wise decoder.
constexpr std::uint8_t needs_exact_decoding = 0x80;

// Bytes after the code byte of a code that starts with `code`: 0 to 4.
constexpr std::uint8_t value_byte_count(std::uint8_t code) noexcept {
    return code >= first_long_code ? static_cast<std::uint8_t>(code - (first_long_code - 1)) : 0;
}

// Length of the step that would start at each position of [begin, end), plus
// needs_exact_decoding when one of its codes is an end marker. Reads bytes up
// to end + 4. No position depends on another, so the loop vectorises.
void step_lengths(const std::uint8_t* bytes, std::size_t begin, std::size_t end,
                  std::uint8_t* steps) noexcept {
    for (std::size_t j = begin; j < end; ++j) {
        const std::uint8_t first = bytes[j];
        const std::uint8_t second = bytes[j + 1];
        const bool run3 = (bytes[j + 2] == 0xFF) & (bytes[j + 3] == 0xFF);
        const bool first_is_marker = (first == 0xFF) & (second == 0xFF) & run3;
        const bool second_is_marker = (second == 0xFF) & run3 & (bytes[j + 4] == 0xFF);
        steps[j - begin] =
            first >= first_point_code
                ? static_cast<std::uint8_t>(1 + value_byte_count(first) + (first_is_marker ? needs_exact_decoding : 0))
                : static_cast<std::uint8_t>(2 + value_byte_count(second) +
                                            (second_is_marker ? needs_exact_decoding : 0));
    }
}

template <class Output>
Output decode_into(const std::uint8_t* bytes, std::size_t size, Output out) noexcept {
    constexpr const CodeTable& table = code_table;
    std::size_t at = 0;
    std::uint32_t index = 0;
    const std::size_t fast_end = size >= 8 ? size - 7 : 0;  // at < fast_end: 8 bytes from at
    std::array<std::uint8_t, step_chunk> steps;
    while (at < fast_end) {
        const std::size_t chunk_begin = at;
        const std::size_t chunk_size = std::min(fast_end - at, step_chunk);
        step_lengths(bytes, chunk_begin, chunk_begin + chunk_size, steps.data());
        const std::uint8_t* const chunk = bytes + chunk_begin;
        std::size_t offset = 0;  // from chunk_begin
        while (offset < chunk_size) {
            const std::uint32_t step = steps[offset];
            if (step >= needs_exact_decoding) [[unlikely]] {
                DecodeState<Output> state{chunk_begin + offset, index, out};
                const std::size_t step_end = state.at + (step - needs_exact_decoding);
                while (state.at < step_end) {
                    if (!decode_one(bytes, size, state)) {
                        return state.out;
                    }
                }
                offset = state.at - chunk_begin;
                index = state.index;
                out = state.out;
                continue;
            }
            // The step's point, if it has one, is its first code, or its
            // second after a skip; a second skip only moves the index.
            const std::uint64_t window = load_le<std::uint64_t>(chunk + offset);
            const std::uint32_t first = window & 0xFF;
            const std::uint32_t second = (window >> 8) & 0xFF;
            const bool leading_skip = first < first_point_code;
            const std::uint32_t key = leading_skip ? second : first;
            const auto value = static_cast<std::uint32_t>(window >> (leading_skip ? 16 : 8));
            const std::uint32_t point_index = index + table.skip[first];
            const auto intensity = (value & table.value_mask[key]) | table.short_value[key];
            out.put(point_index, intensity, table.is_point[key]);
            index = point_index + (leading_skip ? table.skip[second] : 0);
            offset += step;
        }
        at = chunk_begin + offset;
    }
    DecodeState<Output> state{at, index, out};
    while (state.at < size && decode_one(bytes, size, state)) {
    }
    return state.out;
}

// Reads up to `count` bytes at `offset` into `destination` with positioned
// reads and returns how many it read; a file that ends early gives fewer
// bytes. The file is opened non-blocking and must be a regular file, so a
// FIFO or a device in its place fails at once instead of hanging or
// streaming forever.
lumora::Result<std::size_t, IoError> read_range(const std::filesystem::path& path, std::uint64_t offset,
                                                std::size_t count, std::uint8_t* destination) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - count) {
        return lumora::fail(IoError::from_errno(EINVAL));
    }
    int raw_fd = -1;
    do {
        raw_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (raw_fd < 0 && errno == EINTR);
    if (raw_fd < 0) {
        return lumora::fail(IoError::from_errno(errno));
    }
    const lumora::FileDescriptor fd(raw_fd);

    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return lumora::fail(IoError::from_errno(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        return lumora::fail(IoError::from_errno(EISDIR));
    }
    if (!S_ISREG(info.st_mode)) {
        return lumora::fail(IoError{IoErrorKind::Other, "scan data file is not a regular file"});
    }

    return lumora::read_at(fd.get(), offset, count, destination);
}

// One reused buffer of a decoder. A request of more than 1 MiB gets memory
// of its own, kept until the next request or release_oversized().
template <class T>
class ScratchBuffer {
public:
    static constexpr std::size_t kept_limit = std::size_t{1} << 20;

    // Room for at least `count` values, left unset.
    T* get(std::size_t count) {
        if (count > kept_limit) {
            own_ = std::make_unique_for_overwrite<T[]>(count);
            return own_.get();
        }
        own_.reset();
        if (count > kept_size_) {
            kept_ = std::make_unique_for_overwrite<T[]>(count);
            kept_size_ = count;
        }
        return kept_.get();
    }

    void release_oversized() noexcept { own_.reset(); }

private:
    std::unique_ptr<T[]> kept_;
    std::size_t kept_size_ = 0;
    std::unique_ptr<T[]> own_;
};

// Built twice, and picked when the library loads: for processors with AVX2,
// whose wider vectors speed up the step-length and conversion loops, and for
// any x86-64. Every helper is inlined, so both builds hold the whole loop.
// Neither contracts products and sums into FMAs (see the top of the file).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define CORVEX_DECODE_CLONES __attribute__((target_clones("avx2", "default"), flatten))
#else
#define CORVEX_DECODE_CLONES
#endif

}  // namespace

PayloadRange scan_payload_range(std::uint64_t scan_offset, std::uint64_t scan_size,
                                std::uint64_t bound, std::uint64_t file_size) noexcept {
    const std::uint64_t start = saturating_add(scan_offset, scan_block_header_size);
    std::uint64_t end = saturating_add(saturating_add(scan_offset, scan_size), scan_block_slack);
    end = std::min(end, saturating_add(bound, scan_block_slack));
    end = std::min(end, file_size);
    end = std::min(end, saturating_add(start, max_scan_payload_size));
    return {start, end};
}

std::optional<IoError> payload_start_error(std::uint64_t scan_offset, std::uint64_t file_size) {
    const std::uint64_t start = saturating_add(scan_offset, scan_block_header_size);
    if (start < file_size) {
        return std::nullopt;
    }
    return IoError{IoErrorKind::UnexpectedEof,
                   "scan block payload at offset " + std::to_string(start) +
                       " is past the end of the .wiff.scan file (" + std::to_string(file_size) +
                       " bytes)"};
}

std::vector<ScanPoint> decode_scan_payload(ByteView payload) {
    // Every point takes at least one byte. ScanPoint's constructor leaves the
    // slots untouched, so the worst-case size costs address space, not writes.
    std::vector<ScanPoint> points(payload.size());
    const ScanPoint* end = decode_into(payload.data(), payload.size(), PointOutput{points.data()}).next;
    points.resize(static_cast<std::size_t>(end - points.data()));
    return points;
}

CORVEX_DECODE_CLONES
std::size_t decode_nonzero_points(ByteView payload, ScanPoint* out) noexcept {
    const ScanPoint* const end = decode_into(payload.data(), payload.size(), NonZeroPointOutput{out}).next;
    return static_cast<std::size_t>(end - out);
}

CORVEX_DECODE_CLONES
void points_to_peaks(std::span<const ScanPoint> points, const std::optional<Calibration>& calibration,
                     double* mz, float* intensity) noexcept {
    with_mz_rule(calibration, [&](auto mz_of) { std::transform(points.begin(), points.end(), mz, mz_of); });
    std::transform(points.begin(), points.end(), intensity, IntensityOf{});
}

// Each array is allocated at its size and written once, without being
// zero-filled first.
CORVEX_DECODE_CLONES
PeakArrays points_to_peak_arrays(std::span<const ScanPoint> points, const std::optional<Calibration>& calibration) {
    PeakArrays arrays;
    with_mz_rule(calibration, [&](auto mz_of) { assign_converted(arrays.mz, points.data(), points.size(), mz_of); });
    assign_converted(arrays.intensity, points.data(), points.size(), IntensityOf{});
    return arrays;
}

PeakArrays points_to_arrays(std::vector<ScanPoint> points, const std::optional<Calibration>& calibration) {
    std::erase_if(points, [](const ScanPoint& point) { return point.intensity == 0; });
    return points_to_peak_arrays(points, calibration);
}

lumora::Result<std::vector<ScanPoint>, IoError> read_scan_block(
    const std::filesystem::path& scan_file, std::uint64_t scan_offset, std::uint64_t scan_size,
    std::uint64_t bound, std::uint64_t file_size) {
    const PayloadRange range = scan_payload_range(scan_offset, scan_size, bound, file_size);
    if (range.empty()) {
        return std::vector<ScanPoint>{};
    }
    const auto size = static_cast<std::size_t>(range.size());
    const auto bytes = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    auto got = read_range(scan_file, range.start, size, bytes.get());
    if (!got.ok()) {
        return lumora::fail(std::move(got).error());
    }
    return decode_scan_payload(ByteView(bytes.get(), *got));
}

// Sized in payload bytes: the decoder's outputs need one entry per byte.
struct ScanDecoder::Buffers {
    ScratchBuffer<std::uint8_t> payload;
    ScratchBuffer<ScanPoint> points;
};

ScanDecoder::ScanDecoder() : buffers_(std::make_unique<Buffers>()) {}
ScanDecoder::~ScanDecoder() = default;
ScanDecoder::ScanDecoder(ScanDecoder&&) noexcept = default;
ScanDecoder& ScanDecoder::operator=(ScanDecoder&&) noexcept = default;

lumora::Result<ByteView, IoError> ScanDecoder::read_payload(const std::filesystem::path& scan_file,
                                                            std::uint64_t scan_offset, std::uint64_t scan_size,
                                                            std::uint64_t bound, std::uint64_t file_size) {
    const PayloadRange range = scan_payload_range(scan_offset, scan_size, bound, file_size);
    const auto size = static_cast<std::size_t>(range.size());
    std::uint8_t* const bytes = buffers_->payload.get(size);
    if (range.empty()) {
        return ByteView(bytes, 0);
    }
    auto got = read_range(scan_file, range.start, size, bytes);
    if (!got.ok()) {
        return lumora::fail(std::move(got).error());
    }
    return ByteView(bytes, *got);
}

lumora::Result<std::span<const ScanPoint>, IoError> ScanDecoder::read_nonzero_points(
    const std::filesystem::path& scan_file, std::uint64_t scan_offset, std::uint64_t scan_size,
    std::uint64_t bound, std::uint64_t file_size) {
    auto payload = read_payload(scan_file, scan_offset, scan_size, bound, file_size);
    if (!payload.ok()) {
        return lumora::fail(std::move(payload).error());
    }
    return decode_nonzero_points(*payload);
}

std::span<const ScanPoint> ScanDecoder::decode_nonzero_points(ByteView payload) {
    ScanPoint* const points = buffers_->points.get(payload.size());
    return {points, raw::decode_nonzero_points(payload, points)};
}

void ScanDecoder::release_oversized() noexcept {
    buffers_->payload.release_oversized();
    buffers_->points.release_oversized();
}

lumora::Result<PeakArrays, IoError> read_scan_peaks(ScanDecoder& decoder, const std::filesystem::path& scan_file,
                                                    std::uint64_t scan_offset, std::uint64_t scan_size,
                                                    std::uint64_t bound, std::uint64_t file_size,
                                                    const std::optional<Calibration>& calibration) {
    auto points = decoder.read_nonzero_points(scan_file, scan_offset, scan_size, bound, file_size);
    if (!points.ok()) {
        decoder.release_oversized();
        return lumora::fail(std::move(points).error());
    }
    PeakArrays arrays = points_to_peak_arrays(*points, calibration);
    decoder.release_oversized();
    return arrays;
}

}  // namespace corvex::raw
