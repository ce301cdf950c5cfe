#include "engine/run.hpp"

#include <limits>

#include "corvex/scan_rules.hpp"

namespace corvex::engine {

SpectrumTable make_spectrum_table(const SampleData& sample) {
    const auto& records = sample.idx_records;
    const SurveyLinks surveys(records);
    const std::size_t n = records.size();
    SpectrumTable table;
    table.position.reserve(n);
    table.scan_number.reserve(n);
    table.ms_level.reserve(n);
    table.retention_time_sec.reserve(n);
    table.reported_tic_cps.reserve(n);
    table.precursor_mz.reserve(n);
    table.survey_position.reserve(n);
    table.scan_offset.reserve(n);
    table.scan_size.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const raw::IdxRecord& record = records[i];
        table.position.push_back(static_cast<std::int64_t>(i));
        table.scan_number.push_back(scan_number_at(i));
        table.ms_level.push_back(record.ms_level);
        table.retention_time_sec.push_back(retention_time_sec(record));
        table.reported_tic_cps.push_back(record.tic);
        const bool fragment = record.ms_level >= 2;
        const auto precursor = fragment ? surveys.precursor_mz(i, sample.dde_records) : std::nullopt;
        table.precursor_mz.push_back(precursor.value_or(std::numeric_limits<double>::quiet_NaN()));
        const auto survey = fragment ? surveys.survey_position(i) : std::nullopt;
        table.survey_position.push_back(survey ? static_cast<std::int64_t>(*survey) : -1);
        table.scan_offset.push_back(record.scan_offset);
        table.scan_size.push_back(record.scan_size);
    }
    return table;
}

Result<Run> Run::open(const std::filesystem::path& path, std::optional<std::string_view> sample) {
    auto reader = sample ? Reader::open_sample(path, *sample) : Reader::open(path);
    if (!reader) return fail(std::move(reader).error());
    auto table = std::make_shared<const SpectrumTable>(make_spectrum_table(reader->sample()));
    return Run(std::move(reader).value(), std::move(table));
}

std::vector<std::size_t> Run::select(const Selection& selection) const {
    const SpectrumTable& table = *table_;
    std::vector<std::size_t> positions;
    positions.reserve(table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (selection.ms_level && table.ms_level[i] != *selection.ms_level) continue;
        if (const auto& range = selection.retention_time_sec) {
            const double time = table.retention_time_sec[i];
            if (!(range->first <= time && time <= range->second)) continue;
        }
        positions.push_back(i);
    }
    return positions;
}

std::string error_text(const Error& error) {
    if (error.as<Error::ScanRead>()) return to_record_error(error).display();
    return error.display();
}

}  // namespace corvex::engine
