// The reader's records: spectra assembled lazily from the scan index and the
// scan data file, the run metadata and the total-ion-current chromatogram.
#include <memory>
#include <string>

#include "corvex/float32.hpp"
#include "corvex/reader.hpp"
#include "corvex/raw/scan.hpp"
#include "corvex/scan_rules.hpp"
#include "lumora/cv.hpp"
#include "lumora/float_text.hpp"

namespace corvex {

Result<raw::ByteView> read_scan_payload(const SampleData& sample, std::size_t position, raw::ScanDecoder& decoder) {
    const raw::IdxRecord& record = sample.idx_records[position];
    const std::uint32_t scan_number = scan_number_at(position);
    if (auto past_end = raw::payload_start_error(record.scan_offset, sample.scan_file_size)) {
        return fail(Error::scan_read(scan_number, record.scan_offset, std::move(*past_end)));
    }
    auto payload = decoder.read_payload(sample.scan_file_path, record.scan_offset, record.scan_size,
                                        scan_bound(sample.idx_records, position, sample.scan_file_size),
                                        sample.scan_file_size);
    if (!payload) return fail(Error::scan_read(scan_number, record.scan_offset, std::move(payload).error()));
    return *payload;
}

Result<std::span<const raw::ScanPoint>> read_scan_points(const SampleData& sample, std::size_t position,
                                                         raw::ScanDecoder& decoder) {
    auto payload = read_scan_payload(sample, position, decoder);
    if (!payload) return fail(std::move(payload).error());
    return decoder.decode_nonzero_points(*payload);
}

namespace {

// Produces one spectrum per Idx record. Everything that needs only the index
// is worked out up front; each step reads one scan block.
class SpectrumProducer {
public:
    explicit SpectrumProducer(std::shared_ptr<const SampleData> data)
        : data_(std::move(data)), surveys_(data_->idx_records), analyzer_(analyzer_for(data_->calibration)) {}

    std::size_t remaining() const noexcept { return data_->idx_records.size() - position_; }

    std::optional<lumora::Result<lumora::SpectrumRecord, lumora::Error>> next() {
        if (position_ == data_->idx_records.size()) return std::nullopt;
        const std::size_t i = position_++;
        return make(i);
    }

private:
    lumora::Result<lumora::SpectrumRecord, lumora::Error> make(std::size_t i) {
        const SampleData& data = *data_;
        const raw::IdxRecord& record = data.idx_records[i];
        auto points = read_scan_points(data, i, decoder_);
        if (!points) {
            decoder_.release_oversized();
            return lumora::fail(to_record_error(std::move(points).error()));
        }
        raw::PeakArrays peaks = raw::points_to_peak_arrays(*points, data.calibration);
        // A record's arrays are its own; the decoder keeps only its usual buffers.
        decoder_.release_oversized();

        lumora::SpectrumRecord spectrum;
        spectrum.index = i;
        spectrum.scan_number = scan_number_at(i);
        spectrum.native_id = native_id(spectrum.scan_number);
        spectrum.ms_level = record.ms_level;
        spectrum.polarity = data.polarity;
        spectrum.analyzer = analyzer_;
        spectrum.retention_time_sec = retention_time_sec(record);
        if (record.ms_level >= 2) spectrum.precursor = surveys_.precursor(i, data.dde_records);
        return std::move(spectrum)
            .with_peaks(std::move(peaks.mz), std::move(peaks.intensity))
            .with_extra("corvex.idx_tic_cps", lumora::float_text(record.tic))
            .with_extra("corvex.scan_offset", std::to_string(record.scan_offset))
            .with_extra("corvex.scan_size", std::to_string(record.scan_size));
    }

    std::shared_ptr<const SampleData> data_;
    SurveyLinks surveys_;
    lumora::Analyzer analyzer_;
    raw::ScanDecoder decoder_;
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
