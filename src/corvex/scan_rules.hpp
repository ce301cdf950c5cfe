// What the scan index alone says about each scan of a sample: the values
// that spectrum assembly puts into every record, and that the engine's
// column tables hold, worked out in one place without reading a scan block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "corvex/raw/calibration.hpp"
#include "corvex/raw/dde.hpp"
#include "corvex/raw/idx.hpp"
#include "lumora/types.hpp"

namespace corvex {

// "scan=<n>", the native id of the scan with 1-based number n (its position
// among the index records plus one).
std::string native_id(std::uint32_t scan_number);

// The 1-based scan number of the record at `position`.
constexpr std::uint32_t scan_number_at(std::size_t position) noexcept {
    return static_cast<std::uint32_t>(position + 1);
}

// The stored 32-bit minutes widened to 64 bits, then multiplied by 60.
constexpr double retention_time_sec(const raw::IdxRecord& record) noexcept {
    return static_cast<double>(record.retention_time_min) * 60.0;
}

// A time-of-flight analyzer when the sample has a calibration, a quadrupole
// otherwise.
constexpr lumora::Analyzer analyzer_for(const std::optional<raw::Calibration>& calibration) noexcept {
    return calibration ? lumora::Analyzer::Tofms : lumora::Analyzer::Tqms;
}

// How far the block at `position` may be read: the next record's offset in
// index order, whatever it is, or the scan data file's size for the last.
constexpr std::uint64_t scan_bound(std::span<const raw::IdxRecord> records, std::size_t position,
                                   std::uint64_t file_size) noexcept {
    return position + 1 < records.size() ? records[position + 1].scan_offset : file_size;
}

// For each scan, the survey scans (MS level 1) that come before it.
class SurveyLinks {
public:
    explicit SurveyLinks(std::span<const raw::IdxRecord> records);

    // How many survey scans precede `position`.
    std::uint32_t surveys_before(std::size_t position) const { return surveys_before_[position]; }

    // The position of the last survey scan before `position`, if there is one.
    std::optional<std::size_t> survey_position(std::size_t position) const;

    // A fragment scan's precursor m/z: every fragment scan after the k-th
    // survey scan takes the k-th DDE value, when there is one.
    std::optional<double> precursor_mz(std::size_t position, std::span<const raw::DdeRecord> dde) const;

    // The precursor a fragment scan's record carries: that m/z as target and
    // selected m/z, and the last survey scan's native id.
    lumora::Precursor precursor(std::size_t position, std::span<const raw::DdeRecord> dde) const;

private:
    std::vector<std::uint32_t> surveys_before_;
    std::vector<std::uint32_t> last_survey_;  // 1-based scan number; 0 when there is none
};

}  // namespace corvex
