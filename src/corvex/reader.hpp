// The WIFF reader: sample discovery and, per sample, an immutable reader
// holding every value decoded when the sample was opened.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "corvex/error.hpp"
#include "corvex/raw/calibration.hpp"
#include "corvex/raw/dde.hpp"
#include "corvex/raw/idx.hpp"
#include "corvex/raw/instrument_log.hpp"
#include "corvex/raw/ion_source.hpp"
#include "corvex/raw/scan.hpp"
#include "corvex/version.hpp"
#include "lumora/source.hpp"

namespace corvex {

// The storage that holds one child storage per sample.
inline constexpr std::string_view sample_subtree = "SampleSubtree";

inline constexpr std::string_view software_name = "corvex";

// Stream paths of one sample, from the root of the compound file.
std::string idx_stream(std::string_view sample);
std::string log_stream(std::string_view sample);
std::string calibration_stream(std::string_view sample);
std::string dde_stream(std::string_view sample);

// Everything a reader knows about its sample, fixed when it is opened.
struct SampleData {
    std::optional<raw::Calibration> calibration;
    std::string file_stem;  // "unknown" when the path has no final component
    std::string sample_name;
    std::filesystem::path scan_file_path;
    std::uint64_t scan_file_size = 0;
    std::vector<raw::IdxRecord> idx_records;  // never empty
    std::vector<raw::DdeRecord> dde_records;
    std::vector<raw::SourceParameter> ion_source_parameters;
    std::optional<std::string> creation_timestamp;
    std::optional<raw::InstrumentInfo> instrument_info;
    std::optional<lumora::Polarity> polarity;
};

class Reader final : public lumora::SpectrumSource {
public:
    // The sample names of a .wiff file, numbered "Sample" names first.
    static Result<std::vector<std::string>> list_samples(const std::filesystem::path& path);
    // The only sample of a single-sample file.
    static Result<Reader> open(const std::filesystem::path& path);
    // The named sample; the name is used as given, not checked against the list.
    static Result<Reader> open_sample(const std::filesystem::path& path, std::string_view sample);

    const SampleData& sample() const noexcept { return *data_; }

    // One record per Idx record, in index order; each scan block is read
    // when its item is requested.
    lumora::SpectrumSequence iter_spectra() const override;
    lumora::RunMetadata run_metadata() const override;
    // The total-ion-current chromatogram, the only one a WIFF sample has.
    lumora::ChromatogramSequence iter_chromatograms() const override;

private:
    explicit Reader(std::shared_ptr<const SampleData> data) : data_(std::move(data)) {}
    // Shared with the sequences the reader hands out; never changed, so
    // sharing needs no lock and the reader may go while they are consumed.
    std::shared_ptr<const SampleData> data_;
};

// Reads the payload of the scan at `position` into `decoder`; the bytes stay
// valid until the decoder's next call. A payload that would start at or past
// the end of the scan data file fails without the file being opened; every
// failure is a ScanRead error naming the scan. Spectrum assembly reads every
// scan through here.
Result<raw::ByteView> read_scan_payload(const SampleData& sample, std::size_t position, raw::ScanDecoder& decoder);

// read_scan_payload, then its points of non-zero intensity decoded into
// `decoder`, valid until the decoder's next call.
Result<std::span<const raw::ScanPoint>> read_scan_points(const SampleData& sample, std::size_t position,
                                                         raw::ScanDecoder& decoder);

// Sorts in place, stably: names "Sample<n>" (n an unsigned 64-bit decimal,
// optionally with one leading '+') first by n, then every other name in
// byte order.
void sort_sample_names(std::vector<std::string>& names);

// The final component of a path: the text after the last '/', once trailing
// '/' and trailing "/." are removed (repeatedly, so "a/b/./" gives "b"); none
// when that text is empty, "." or "..", as for "", "/", "." and "a/..".
std::optional<std::string_view> final_component(std::string_view path);
// The final component without its last extension (a leading dot is not an
// extension separator); none when there is no final component.
std::optional<std::string_view> file_stem(std::string_view path);
// The scan data file beside a .wiff file: its final component with ".scan".
std::filesystem::path scan_file_path_for(const std::filesystem::path& path);

}  // namespace corvex
