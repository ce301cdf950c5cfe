#include "corvex/scan_rules.hpp"

namespace corvex {

std::string native_id(std::uint32_t scan_number) { return "scan=" + std::to_string(scan_number); }

SurveyLinks::SurveyLinks(std::span<const raw::IdxRecord> records) {
    surveys_before_.reserve(records.size());
    last_survey_.reserve(records.size());
    std::uint32_t count = 0;
    std::uint32_t last = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        surveys_before_.push_back(count);
        last_survey_.push_back(last);
        if (records[i].ms_level == 1) {
            last = scan_number_at(i);
            ++count;
        }
    }
}

std::optional<std::size_t> SurveyLinks::survey_position(std::size_t position) const {
    const std::uint32_t last = last_survey_[position];
    if (last == 0) return std::nullopt;
    return std::size_t{last} - 1;
}

std::optional<double> SurveyLinks::precursor_mz(std::size_t position, std::span<const raw::DdeRecord> dde) const {
    const std::uint32_t k = surveys_before_[position];
    if (k >= 1 && k <= dde.size()) return dde[k - 1].precursor_mz;
    return std::nullopt;
}

lumora::Precursor SurveyLinks::precursor(std::size_t position, std::span<const raw::DdeRecord> dde) const {
    lumora::Precursor precursor;
    precursor.target_mz = precursor_mz(position, dde);
    precursor.selected_mz = precursor.target_mz;
    if (const std::uint32_t last = last_survey_[position]; last != 0) precursor.precursor_native_id = native_id(last);
    return precursor;
}

}  // namespace corvex
