// A sample opened for array access: the reader's opened sample (scan index,
// Log, calibration, DDE records, summary information and ion-source
// parameters, but no scan block) plus a column table of every spectrum field
// that needs no peaks. Immutable once opened; copies share everything, and
// any number of threads may use one run at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvex/error.hpp"
#include "corvex/reader.hpp"

namespace corvex::engine {

// One row per scan, in index order. Integer columns are 64-bit so that sums
// such as scan_offset + scan_size cannot wrap.
struct SpectrumTable {
    std::vector<std::int64_t> position;           // 0-based
    std::vector<std::int64_t> scan_number;        // 1-based; the native id is "scan=<scan_number>"
    std::vector<std::int64_t> ms_level;           // 1 or 2
    std::vector<double> retention_time_sec;       // as Spectrum.retention_time_sec
    std::vector<double> reported_tic_cps;         // the total ion current the index records
    std::vector<double> precursor_mz;             // fragment scans' selected m/z; NaN where there is none
    std::vector<std::int64_t> survey_position;    // the last survey scan before a fragment scan; -1 where none
    std::vector<std::int64_t> scan_offset;        // the block's offset in the scan data file (bytes)
    std::vector<std::int64_t> scan_size;          // the block's recorded size (bytes)

    std::size_t size() const noexcept { return position.size(); }
};

// Which scans to take, from the columns alone.
struct Selection {
    std::optional<std::int64_t> ms_level = std::nullopt;
    // Closed interval [first, last] of retention_time_sec; a NaN time is
    // never inside it, and first > last selects nothing.
    std::optional<std::pair<double, double>> retention_time_sec = std::nullopt;
};

class Run {
public:
    // The sample at `path` by corvex's rules: the named one, or the only one
    // when `sample` is absent. Errors are the reader's.
    static Result<Run> open(const std::filesystem::path& path, std::optional<std::string_view> sample = std::nullopt);

    const Reader& reader() const noexcept { return reader_; }
    const SampleData& sample() const noexcept { return reader_.sample(); }
    std::size_t scan_count() const noexcept { return table_->size(); }
    const SpectrumTable& spectra() const noexcept { return *table_; }

    // The positions of the selected scans, in increasing order.
    std::vector<std::size_t> select(const Selection& selection) const;

private:
    Run(Reader reader, std::shared_ptr<const SpectrumTable> table)
        : reader_(std::move(reader)), table_(std::move(table)) {}

    Reader reader_;
    std::shared_ptr<const SpectrumTable> table_;
};

// The table for a sample, by the same rules as spectrum assembly.
SpectrumTable make_spectrum_table(const SampleData& sample);

// The text corvex's Python module raises for `error`: a scan that cannot be
// read reaches it through the record model and reads "vendor parser error:
// cannot read scan block for scan=N at offset ...: ..."; opening errors read
// as the reader displays them.
std::string error_text(const Error& error);

}  // namespace corvex::engine
