// Scan blocks in the .wiff.scan file: a 56-byte header that is not read,
// then byte-coded payload whose codes either advance a running channel index
// or emit a point (channel index, intensity count).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "corvex/raw/bytes.hpp"
#include "corvex/raw/calibration.hpp"
#include "lumora/error.hpp"
#include "lumora/result.hpp"

namespace corvex::raw {

struct ScanPoint {
    std::uint32_t index;      // running sum of the skip codes before the point, modulo 2^32
    std::uint32_t intensity;  // intensity count

    // Deliberately leaves both fields unset: the decoder sizes its output to
    // the worst case (one point per payload byte) and must not pay for
    // zeroing memory it will mostly never use.
    ScanPoint() noexcept {}  // NOLINT(modernize-use-equals-default)
    constexpr ScanPoint(std::uint32_t index_value, std::uint32_t intensity_value) noexcept
        : index(index_value), intensity(intensity_value) {}

    friend constexpr bool operator==(const ScanPoint&, const ScanPoint&) = default;
};

inline constexpr std::uint64_t scan_block_header_size = 56;
// How far a block's read may run past its recorded end and past the start of
// the next block.
inline constexpr std::uint64_t scan_block_slack = 64;
inline constexpr std::uint64_t max_scan_payload_size = 64ULL << 20;

// [start, end) of a block's payload in the scan data file; empty when
// end <= start.
struct PayloadRange {
    std::uint64_t start = 0;
    std::uint64_t end = 0;

    constexpr bool empty() const noexcept { return end <= start; }
    constexpr std::uint64_t size() const noexcept { return empty() ? 0 : end - start; }
    friend constexpr bool operator==(const PayloadRange&, const PayloadRange&) = default;
};

// The payload a block may occupy: from scan_offset + 56 to the nearest of its
// recorded end + 64, bound + 64, the end of the file and 64 MiB on. Sums
// saturate instead of wrapping, so absurd index values give a short or empty
// range, never a huge one.
PayloadRange scan_payload_range(std::uint64_t scan_offset, std::uint64_t scan_size,
                                std::uint64_t bound, std::uint64_t file_size) noexcept;

// The error for a block whose payload would start at or past the end of the
// scan data file, or nothing when the payload starts inside it.
std::optional<lumora::IoError> payload_start_error(std::uint64_t scan_offset,
                                                   std::uint64_t file_size);

// Decodes payload bytes into points, in payload order. Never fails: decoding
// stops at the end marker (FF FF FF FF), at a code cut short by the end of
// the bytes, or at the end of the bytes. Points with intensity 0 are kept.
std::vector<ScanPoint> decode_scan_payload(ByteView payload);

// Reads and decodes one scan's block. `bound` is the next scan's offset (the
// file size for the last scan); `file_size` is the size taken when the sample
// was opened. The file is opened for this call only and closed before it
// returns. A file that turns out shorter than the range is decoded as far as
// it goes; failing to open or read it, or finding something other than a
// regular file, is an error.
lumora::Result<std::vector<ScanPoint>, lumora::IoError> read_scan_block(
    const std::filesystem::path& scan_file, std::uint64_t scan_offset, std::uint64_t scan_size,
    std::uint64_t bound, std::uint64_t file_size);

struct PeakArrays {
    std::vector<double> mz;
    std::vector<float> intensity;
};

// m/z and intensity arrays of equal length, in payload order, without the
// points of intensity 0. With a calibration m/z is intercept + slope * index
// (rounded product, then rounded sum: never fused); without one it is the
// index itself.
PeakArrays points_to_arrays(std::vector<ScanPoint> points,
                            const std::optional<Calibration>& calibration);

// The two stages of turning a payload into peaks, for callers that put the
// peaks somewhere of their own (or work on the points in between):
//
//   payload --decode_nonzero_points--> points (channel index, intensity count)
//           --points_to_peaks--------> m/z (float64), intensity (float32)
//
// Together they give exactly what decode_scan_payload followed by
// points_to_arrays gives.

// Writes the points of `payload` whose intensity is not 0 to `out`, in
// payload order, and returns how many it wrote. `out` must have room for
// payload.size() points: every point takes at least one byte, and the
// decoder stores past the last point it keeps.
std::size_t decode_nonzero_points(ByteView payload, ScanPoint* out) noexcept;

// Writes each point's m/z to mz[k] and its intensity to intensity[k], by
// the rule of points_to_arrays.
void points_to_peaks(std::span<const ScanPoint> points, const std::optional<Calibration>& calibration,
                     double* mz, float* intensity) noexcept;

// points_to_peaks into arrays allocated at exactly the number of points.
PeakArrays points_to_peak_arrays(std::span<const ScanPoint> points,
                                 const std::optional<Calibration>& calibration);

// The buffers a decoding thread reuses from scan to scan: allocating them per
// scan costs a fresh mapping and a page fault per 4 KiB touched once a block
// passes malloc's mapping threshold. The caller owns one decoder per thread
// that decodes; a decoder is not shared between threads.
//
// A payload of more than 1 MiB gets buffers of its own, held until the next
// read or release_oversized(), so between scans a decoder keeps at most
// 9 MiB.
class ScanDecoder {
public:
    ScanDecoder();
    ~ScanDecoder();
    ScanDecoder(ScanDecoder&&) noexcept;
    ScanDecoder& operator=(ScanDecoder&&) noexcept;

    // Reads a block's payload range (see scan_payload_range) into the
    // decoder, with read_scan_block's errors. The bytes stay valid until the
    // next call on this decoder.
    lumora::Result<ByteView, lumora::IoError> read_payload(const std::filesystem::path& scan_file,
                                                           std::uint64_t scan_offset, std::uint64_t scan_size,
                                                           std::uint64_t bound, std::uint64_t file_size);

    // decode_nonzero_points into the decoder. The points stay valid until
    // the next call on this decoder; `payload` may be the decoder's own.
    std::span<const ScanPoint> decode_nonzero_points(ByteView payload);

    // read_payload, then decode_nonzero_points.
    lumora::Result<std::span<const ScanPoint>, lumora::IoError> read_nonzero_points(
        const std::filesystem::path& scan_file, std::uint64_t scan_offset, std::uint64_t scan_size,
        std::uint64_t bound, std::uint64_t file_size);

    // Drops the buffers of an oversized payload now instead of at the next call.
    void release_oversized() noexcept;

private:
    struct Buffers;
    std::unique_ptr<Buffers> buffers_;
};

// read_nonzero_points followed by points_to_peak_arrays, with the same
// result and errors as read_scan_block followed by points_to_arrays.
lumora::Result<PeakArrays, lumora::IoError> read_scan_peaks(ScanDecoder& decoder,
                                                            const std::filesystem::path& scan_file,
                                                            std::uint64_t scan_offset, std::uint64_t scan_size,
                                                            std::uint64_t bound, std::uint64_t file_size,
                                                            const std::optional<Calibration>& calibration);

}  // namespace corvex::raw
