// A plain byte-at-a-time scan payload decoder, written straight from the code
// table and independent of the library's fast decoder. The tests and the fuzz
// target compare the two; the benchmark uses it as the baseline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "corvex/raw/bytes.hpp"
#include "corvex/raw/scan.hpp"

namespace corvex::raw::reference {

inline std::vector<ScanPoint> decode_scan_payload(ByteView bytes) {
    std::vector<ScanPoint> points;
    std::uint32_t index = 0;
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const std::uint8_t c = bytes[i];
        const std::size_t remaining = n - i;
        if (c <= 0x7F) {
            index += c;
            i += 1;
        } else if (c <= 0xFB) {
            points.emplace_back(index, c - 0x80U);
            i += 1;
        } else if (c == 0xFC) {
            if (remaining < 2) break;
            points.emplace_back(index, bytes[i + 1]);
            i += 2;
        } else if (c == 0xFD) {
            if (remaining < 3) break;
            points.emplace_back(index, bytes[i + 1] | (bytes[i + 2] << 8U));
            i += 3;
        } else if (c == 0xFE) {
            if (remaining < 4) break;
            points.emplace_back(index, bytes[i + 1] | (bytes[i + 2] << 8U) | (bytes[i + 3] << 16U));
            i += 4;
        } else {
            if (remaining >= 4 && bytes[i + 1] == 0xFF && bytes[i + 2] == 0xFF && bytes[i + 3] == 0xFF) break;
            if (remaining < 5) break;
            points.emplace_back(index, bytes[i + 1] | (bytes[i + 2] << 8U) | (bytes[i + 3] << 16U) |
                                           (std::uint32_t{bytes[i + 4]} << 24U));
            i += 5;
        }
    }
    return points;
}

}  // namespace corvex::raw::reference
