// The reader's records: spectra assembled lazily from the scan index and the
// scan data file, the run metadata and the total-ion-current chromatogram.
#include <memory>
#include <string>

#include "corvex/float32.hpp"
#include "corvex/reader.hpp"
#include "corvex/raw/scan.hpp"
#include "lumora/cv.hpp"
#include "lumora/float_text.hpp"

namespace corvex {

namespace {

std::string native_id(std::uint32_t scan_number) { return "scan=" + std::to_string(scan_number); }

// Produces one spectrum per Idx record. Everything that needs only the index
// is worked out up front; each step reads one scan block.
class SpectrumProducer {
public:
    explicit SpectrumProducer(std::shared_ptr<const SampleData> data) : data_(std::move(data)) {
        const auto& records = data_->idx_records;
        // For each position: how many survey scans precede it, and the
        // 1-based number of the last of them (0 when there is none).
        survey_counts_.reserve(records.size());
        last_survey_.reserve(records.size());
        std::uint32_t count = 0;
        std::uint32_t last = 0;
        for (std::size_t i = 0; i < records.size(); ++i) {
            survey_counts_.push_back(count);
            last_survey_.push_back(last);
            if (records[i].ms_level == 1) {
                last = static_cast<std::uint32_t>(i + 1);
                ++count;
            }
        }
        analyzer_ = data_->calibration ? lumora::Analyzer::Tofms : lumora::Analyzer::Tqms;
    }

    std::size_t remaining() const noexcept { return data_->idx_records.size() - position_; }

    std::optional<lumora::Result<lumora::SpectrumRecord, lumora::Error>> next() {
        if (position_ == data_->idx_records.size()) return std::nullopt;
        const std::size_t i = position_++;
        return make(i);
    }

private:
    lumora::Result<lumora::SpectrumRecord, lumora::Error> make(std::size_t i) const {
        const SampleData& data = *data_;
        const raw::IdxRecord& record = data.idx_records[i];
        const auto scan_number = static_cast<std::uint32_t>(i + 1);
        // The next record in index order bounds this block, whatever its offset.
        const std::uint64_t scan_end =
            i + 1 < data.idx_records.size() ? data.idx_records[i + 1].scan_offset : data.scan_file_size;

        if (auto past_end = raw::payload_start_error(record.scan_offset, data.scan_file_size)) {
            return lumora::fail(to_record_error(Error::scan_read(scan_number, record.scan_offset, *past_end)));
        }
        auto read = raw::read_scan_peaks(data.scan_file_path, record.scan_offset, record.scan_size, scan_end,
                                         data.scan_file_size, data.calibration);
        if (!read) {
            return lumora::fail(
                to_record_error(Error::scan_read(scan_number, record.scan_offset, std::move(read).error())));
        }
        raw::PeakArrays peaks = std::move(read).value();

        lumora::SpectrumRecord spectrum;
        spectrum.index = i;
        spectrum.scan_number = scan_number;
        spectrum.native_id = native_id(scan_number);
        spectrum.ms_level = record.ms_level;
        spectrum.polarity = data.polarity;
        spectrum.analyzer = analyzer_;
        spectrum.retention_time_sec = static_cast<double>(record.retention_time_min) * 60.0;
        if (record.ms_level >= 2) spectrum.precursor = precursor_at(i);
        return std::move(spectrum)
            .with_peaks(std::move(peaks.mz), std::move(peaks.intensity))
            .with_extra("corvex.idx_tic_cps", lumora::float_text(record.tic))
            .with_extra("corvex.scan_offset", std::to_string(record.scan_offset))
            .with_extra("corvex.scan_size", std::to_string(record.scan_size));
    }

    // Every fragment scan after the k-th survey scan takes the k-th DDE value.
    lumora::Precursor precursor_at(std::size_t i) const {
        lumora::Precursor precursor;
        const std::uint32_t k = survey_counts_[i];
        const auto& dde = data_->dde_records;
        if (k >= 1 && k <= dde.size()) {
            precursor.target_mz = dde[k - 1].precursor_mz;
            precursor.selected_mz = dde[k - 1].precursor_mz;
        }
        if (last_survey_[i] != 0) precursor.precursor_native_id = native_id(last_survey_[i]);
        return precursor;
    }

    std::shared_ptr<const SampleData> data_;
    std::vector<std::uint32_t> survey_counts_;
    std::vector<std::uint32_t> last_survey_;
    lumora::Analyzer analyzer_;
    std::size_t position_ = 0;
};

}  // namespace

lumora::SpectrumSequence Reader::iter_spectra() const { return lumora::SpectrumSequence(SpectrumProducer(data_)); }

lumora::RunMetadata Reader::run_metadata() const {
    const SampleData& data = *data_;
    lumora::CvTerm instrument = lumora::cv::sciex_instrument_model;
    std::optional<std::string> serial_number;
    if (data.instrument_info) {
        if (auto term = raw::resolve_cv_term(data.instrument_info->component_id)) instrument = *term;
        serial_number = data.instrument_info->serial_number;
    }

    lumora::ExtraMap extra;
    extra.insert_or_assign("corvex.sample", data.sample_name);
    extra.insert_or_assign("corvex.dde_record_count", std::to_string(data.dde_records.size()));
    if (const auto& info = data.instrument_info) {
        extra.insert_or_assign("corvex.component_id", info->component_id);
        if (info->manufacturer) extra.insert_or_assign("corvex.manufacturer", *info->manufacturer);
        if (info->model_number) extra.insert_or_assign("corvex.model_number", *info->model_number);
    }
    if (const auto& calibration = data.calibration) {
        extra.insert_or_assign("corvex.calibration_slope", lumora::float_text(calibration->slope));
        extra.insert_or_assign("corvex.calibration_intercept", lumora::float_text(calibration->intercept));
    }
    // A later parameter of the same name replaces an earlier one.
    for (const raw::SourceParameter& parameter : data.ion_source_parameters) {
        extra.insert_or_assign("corvex.ion_source." + parameter.name, lumora::float_text(parameter.value));
    }

    lumora::RunMetadata metadata = lumora::RunMetadata::make(
        data.file_stem + ".wiff", lumora::cv::abi_wiff_format, lumora::cv::scan_number_only_native_id_format,
        std::move(instrument), software_name, software_version);
    metadata.instrument_serial_number = std::move(serial_number);
    metadata.start_timestamp = data.creation_timestamp;
    return std::move(metadata).with_extra_map(std::move(extra));
}

lumora::ChromatogramSequence Reader::iter_chromatograms() const {
    const auto& records = data_->idx_records;
    lumora::ChromatogramRecord tic;
    tic.index = 0;
    tic.id = "TIC";
    tic.chromatogram_type = lumora::CvTerm(lumora::cv::total_ion_current_chromatogram);
    tic.time_sec.reserve(records.size());
    tic.intensity.reserve(records.size());
    for (const raw::IdxRecord& record : records) {
        // A 32-bit product, unlike the spectra's 64-bit retention times.
        tic.time_sec.push_back(record.retention_time_min * 60.0F);
        tic.intensity.push_back(round_to_float(record.tic));
    }
    std::vector<lumora::ChromatogramSequence::Item> items;
    items.emplace_back(std::move(tic));
    return lumora::ChromatogramSequence::of(std::move(items));
}

}  // namespace corvex
