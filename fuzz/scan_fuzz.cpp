// Scan payload decoding on arbitrary bytes: the fast decoder must agree with
// the plain byte-wise one, and m/z conversion and the payload range must keep
// their invariants, whatever the input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "../tests/cpp/scan_reference.hpp"
#include "corvex/raw/scan.hpp"

namespace {

using corvex::raw::ByteView;

void check(bool condition) {
    if (!condition) __builtin_trap();
}

std::uint64_t take_u64(const std::uint8_t* data) {
    std::uint64_t value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

void check_range(const std::uint8_t* data, std::size_t size) {
    if (size < 32) return;
    const std::uint64_t offset = take_u64(data), recorded = take_u64(data + 8), bound = take_u64(data + 16),
                        file_size = take_u64(data + 24);
    const corvex::raw::PayloadRange range = corvex::raw::scan_payload_range(offset, recorded, bound, file_size);
    if (range.empty()) return;
    check(range.start - offset == corvex::raw::scan_block_header_size);
    check(range.end <= file_size);
    check(range.size() <= corvex::raw::max_scan_payload_size);
    const std::uint64_t length = range.end - offset;
    check(length <= recorded || length - recorded <= corvex::raw::scan_block_slack);
    check(range.end <= bound || range.end - bound <= corvex::raw::scan_block_slack);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView payload(data, size);
    std::vector<corvex::raw::ScanPoint> points = corvex::raw::decode_scan_payload(payload);
    check(points == corvex::raw::reference::decode_scan_payload(payload));

    std::size_t nonzero = 0;
    for (const auto& point : points) nonzero += point.intensity != 0;
    std::optional<corvex::raw::Calibration> calibration;
    if (size >= 16) {
        calibration = corvex::raw::Calibration{};
        std::memcpy(&calibration->slope, data, 8);
        std::memcpy(&calibration->intercept, data + 8, 8);
    }
    const corvex::raw::PeakArrays arrays = corvex::raw::points_to_arrays(std::move(points), calibration);
    check(arrays.mz.size() == nonzero && arrays.intensity.size() == nonzero);

    check_range(data, size);
    return 0;
}
