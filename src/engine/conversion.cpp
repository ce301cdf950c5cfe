#include "engine/conversion.hpp"

#include <algorithm>
#include <cstring>

#include "corvex/scan_rules.hpp"
#include "engine/binary_array.hpp"
#include "engine/mgf.hpp"
#include "engine/peaks.hpp"

namespace corvex::engine {

class Conversion::SpectrumFormat {
public:
    enum class Outcome { written, not_written, left_out, failed };

    virtual ~SpectrumFormat() = default;

    // Appends the spectrum's output to `out` when the format writes it; on
    // failure says why in `error` and leaves `out` as it was.
    virtual Outcome render(std::string& out, const mzml::SpectrumFields& spectrum, std::span<const double> mz,
                           std::span<const float> intensity, std::string& error) = 0;
};

namespace {

using Clock = std::chrono::steady_clock;
using Outcome = Conversion::SpectrumFormat::Outcome;

std::string spectrum_native_id(const Run& run, std::size_t position) {
    return native_id(static_cast<std::uint32_t>(run.spectra().scan_number[position]));
}

mzml::Polarity polarity_of(const std::optional<lumora::Polarity>& polarity) {
    if (!polarity) return mzml::Polarity::unknown;
    return *polarity == lumora::Polarity::Positive ? mzml::Polarity::positive : mzml::Polarity::negative;
}

// A worker's state: its scan workspace, the memory its peaks go round in and
// its renderer. Turns work items (runs of consecutive scans) into rendered
// chunks.
class ChunkWork {
public:
    ChunkWork(const Run& run, const SurveyLinks& surveys, std::span<const std::size_t> starts,
              const PeakOptions& peak_options, std::unique_ptr<Conversion::SpectrumFormat> format)
        : run_(run),
          surveys_(surveys),
          starts_(starts),
          peak_options_(peak_options),
          format_(std::move(format)),
          // Room for the peaks of a few spectra: the block of one goes back
          // before the next is read.
          recycler_(std::make_shared<MemoryRecycler>(std::size_t{16} << 20)) {}

    RenderedChunk operator()(std::size_t item) {
        RenderedChunk chunk;
        chunk.first = starts_[item];
        const std::size_t end = starts_[item + 1];
        chunk.ends.reserve(end - chunk.first);
        chunk.text.reserve(expected_bytes_);
        std::string error;
        for (std::size_t position = chunk.first; position < end; ++position) {
            auto peaks = spectrum_peaks(position);
            if (!peaks) {
                chunk.failure = error_text(peaks.error());
                break;
            }
            const Outcome outcome =
                format_->render(chunk.text, fields(position, *peaks), peaks->mz(), peaks->intensity(), error);
            recycler_->give_back(std::move(*peaks).release());
            if (outcome == Outcome::failed) {
                chunk.failure = std::move(error);
                break;
            }
            chunk.ends.push_back(chunk.text.size());
            chunk.written += outcome == Outcome::written;
            chunk.left_out += outcome == Outcome::left_out;
        }
        // Chunks are about the same size: the next one starts with room for this one's text.
        expected_bytes_ = chunk.text.size() + chunk.text.size() / 4;
        return chunk;
    }

private:
    // The peaks a converted spectrum has: every spectrum's come from here.
    Result<SpectrumPeaks> spectrum_peaks(std::size_t position) {
        return read_peaks(run_, position, workspace_, peak_options_, recycler_.get());
    }

    // The spectrum's fields besides its arrays: the run's columns, the
    // summary of its peaks and the reader's precursor rule. Valid until the
    // next call.
    const mzml::SpectrumFields& fields(std::size_t position, const SpectrumPeaks& peaks) {
        const SpectrumTable& table = run_.spectra();
        const PeakSummary summary = summarize_peaks(peaks.mz(), peaks.intensity());
        native_id_ = spectrum_native_id(run_, position);
        fields_ = mzml::SpectrumFields{};
        fields_.index = position;
        fields_.native_id = native_id_;
        fields_.scan_number = static_cast<std::uint64_t>(table.scan_number[position]);
        fields_.ms_level = static_cast<int>(table.ms_level[position]);
        fields_.total_ion_current = summary.total_ion_current;
        if (peaks.size() > 0) fields_.base_peak = mzml::BasePeak{summary.base_peak_mz, summary.base_peak_intensity};
        fields_.polarity = polarity_of(run_.sample().polarity);
        fields_.centroid = peak_options_.centroid.has_value();
        fields_.retention_time_sec = table.retention_time_sec[position];
        if (fields_.ms_level >= 2) {
            precursor_ = surveys_.precursor(position, run_.sample().dde_records);
            fields_.precursor = precursor_fields(precursor_);
        }
        return fields_;
    }

    const Run& run_;
    const SurveyLinks& surveys_;
    std::span<const std::size_t> starts_;
    const PeakOptions& peak_options_;
    std::unique_ptr<Conversion::SpectrumFormat> format_;
    std::shared_ptr<MemoryRecycler> recycler_;
    ScanWorkspace workspace_;
    std::size_t expected_bytes_ = 0;
    std::string native_id_;
    lumora::Precursor precursor_;
    mzml::SpectrumFields fields_;
};

Conversion::Failure write_failure(int error_number) { return {std::strerror(error_number), error_number}; }

// ---------------------------------------------------------------------------
// mzML

// What every worker renders spectra with: the codes are settled before the
// workers start.
struct SpectrumCoding {
    mzml::Vocabulary vocabulary;
    mzml::DocumentCodes codes;
};

class MzmlFormat final : public Conversion::SpectrumFormat {
public:
    explicit MzmlFormat(std::shared_ptr<const SpectrumCoding> coding) : coding_(std::move(coding)) {}

    Outcome render(std::string& out, const mzml::SpectrumFields& spectrum, std::span<const double> mz,
                   std::span<const float> intensity, std::string& error) override {
        auto failed = mzml::render_spectrum(out, spectrum, mz, intensity, coding_->vocabulary,
                                            coding_->codes.codings_at(spectrum.index), encoder_);
        if (!failed) return Outcome::written;
        error = std::move(*failed);
        return Outcome::failed;
    }

private:
    std::shared_ptr<const SpectrumCoding> coding_;
    BinaryArrayEncoder encoder_;
};

class MzmlConversion final : public Conversion {
public:
    MzmlConversion(std::shared_ptr<const Run> run, int fd, MzmlSettings settings, const ConversionOptions& options,
                   std::shared_ptr<const SpectrumCoding> coding)
        : Conversion(std::move(run), options, [coding] { return std::make_unique<MzmlFormat>(coding); }),
          coding_(std::move(coding)),
          chromatogram_zlib_(settings.codings.mz.zlib),
          chromatogram_types_(std::move(settings.chromatogram_types)),
          document_(fd, std::move(settings.frame)) {}

private:
    int write(const RenderedChunk& chunk) override {
        std::size_t start = 0;
        for (std::size_t k = 0; k < chunk.ends.size(); ++k) {
            const std::string id = spectrum_native_id(run(), chunk.first + k);
            const std::string_view element = std::string_view(chunk.text).substr(start, chunk.ends[k] - start);
            if (const int error = document_.append_spectrum(id, element); error != 0) return error;
            start = chunk.ends[k];
        }
        return 0;
    }

    int wait_for_output() override { return document_.wait_for_output(); }

    std::optional<Failure> finish() override {
        BinaryArrayEncoder encoder;
        std::string element;
        lumora::ChromatogramSequence chromatograms = run().reader().iter_chromatograms();
        std::size_t index = 0;
        while (auto item = chromatograms.next()) {
            if (!item->ok()) return Failure{item->error().display()};
            const lumora::ChromatogramRecord& chromatogram = item->value();
            if (index == chromatogram_types_.size()) break;
            const mzml::ChromatogramFields fields{index, chromatogram.id, chromatogram_types_[index]};
            element.clear();
            if (auto error = mzml::render_chromatogram(element, fields, chromatogram.time_sec, chromatogram.intensity,
                                                       coding_->vocabulary, chromatogram_zlib_, encoder)) {
                return Failure{std::move(*error)};
            }
            if (const int error = document_.append_chromatogram(chromatogram.id, element); error != 0) {
                return write_failure(error);
            }
            ++index;
        }
        if (index != chromatogram_types_.size() || chromatograms.next()) {
            return Failure{"the sample has other chromatograms than the " + std::to_string(chromatogram_types_.size()) +
                           " whose types were given"};
        }
        if (const int error = document_.finish(); error != 0) return write_failure(error);
        return std::nullopt;
    }

    std::shared_ptr<const SpectrumCoding> coding_;
    bool chromatogram_zlib_;
    std::vector<std::string> chromatogram_types_;
    mzml::DocumentWriter document_;
};

// ---------------------------------------------------------------------------
// MGF

class MgfFormat final : public Conversion::SpectrumFormat {
public:
    Outcome render(std::string& out, const mzml::SpectrumFields& spectrum, std::span<const double> mz,
                   std::span<const float> intensity, std::string&) override {
        switch (mgf::render_block(out, spectrum, mz, intensity)) {
            case mgf::Block::written: return Outcome::written;
            case mgf::Block::not_fragment: return Outcome::not_written;
            case mgf::Block::no_precursor_mz: return Outcome::left_out;
        }
        return Outcome::not_written;
    }
};

class MgfConversion final : public Conversion {
public:
    MgfConversion(std::shared_ptr<const Run> run, int fd, const ConversionOptions& options)
        : Conversion(std::move(run), options, [] { return std::make_unique<MgfFormat>(); }), file_(fd) {}

private:
    int write(const RenderedChunk& chunk) override { return file_.write(chunk.text); }
    int wait_for_output() override { return file_.wait(); }

    std::optional<Failure> finish() override {
        if (const int error = file_.flush(); error != 0) return write_failure(error);
        return std::nullopt;
    }

    OutputFile file_;
};

}  // namespace

// ---------------------------------------------------------------------------

std::vector<std::size_t> chunk_starts(std::span<const std::int64_t> scan_sizes, std::uint64_t chunk_bytes) {
    std::vector<std::size_t> starts{0};
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < scan_sizes.size(); ++i) {
        if (bytes >= chunk_bytes) {
            starts.push_back(i);
            bytes = 0;
        }
        // A recorded size is not trusted beyond what makes a chunk of its own.
        bytes += std::min<std::uint64_t>(static_cast<std::uint64_t>(std::max<std::int64_t>(scan_sizes[i], 1)),
                                         std::max<std::uint64_t>(chunk_bytes, 1));
    }
    if (!scan_sizes.empty()) starts.push_back(scan_sizes.size());
    return starts;
}

mzml::PrecursorFields precursor_fields(const lumora::Precursor& precursor) {
    mzml::PrecursorFields fields;
    if (precursor.precursor_native_id) fields.native_id = *precursor.precursor_native_id;
    fields.target_mz = precursor.target_mz;
    fields.selected_mz = precursor.selected_mz;
    fields.intensity = precursor.intensity;
    if (precursor.charge) fields.charge = *precursor.charge;
    fields.collision_energy = precursor.collision_energy;
    fields.isolation_width = precursor.isolation_width;
    if (precursor.activation) fields.activation = mzml::activation_from_code(lumora::to_text(*precursor.activation));
    return fields;
}

Conversion::Conversion(std::shared_ptr<const Run> run, const ConversionOptions& options, FormatFactory make_format)
    : run_(std::move(run)),
      peak_options_(options.peaks),
      chunk_starts_(chunk_starts(run_->spectra().scan_size, options.chunk_bytes)) {
    auto surveys = std::make_shared<const SurveyLinks>(run_->sample().idx_records);
    pool_ = std::make_unique<OrderedPool<RenderedChunk>>(
        chunk_starts_.empty() ? 0 : chunk_starts_.size() - 1,
        [run = run_, surveys, starts = std::span<const std::size_t>(chunk_starts_), &peaks = peak_options_,
         make_format] {
            return ChunkWork(*run, *surveys, starts, peaks, make_format());
        },
        PoolLimits{options.threads, 0, options.bytes_ahead},
        [](const RenderedChunk& chunk) { return chunk.text.size(); });
}

Conversion::~Conversion() { stop(); }

void Conversion::stop() noexcept {
    if (!pool_) return;
    pool_->cancel();
    pool_.reset();
    if (!complete_ && !failure_) failure_ = Failure{"the conversion was stopped"};
}

lumora::Failure<Conversion::Failure> Conversion::end_with(Failure failure) {
    stop();
    failure_ = std::move(failure);
    return lumora::fail(*failure_);
}

lumora::Result<bool, Conversion::Failure> Conversion::advance(Clock::time_point deadline) {
    auto outcome = advance_slice(deadline);
    const int error = wait_for_output();
    if (error != 0 && !failure_) return end_with(write_failure(error));
    return outcome;
}

lumora::Result<bool, Conversion::Failure> Conversion::advance_slice(Clock::time_point deadline) {
    if (failure_) return lumora::fail(*failure_);
    if (complete_) return true;
    for (;;) {
        if (!pool_->wait_until(deadline)) return false;
        std::optional<RenderedChunk> chunk = pool_->next();
        if (!chunk) break;
        if (chunk->failure) return end_with(Failure{std::move(*chunk->failure)});
        if (const int error = write(*chunk); error != 0) return end_with(write_failure(error));
        spectra_done_ += chunk->ends.size();
        spectra_written_ += chunk->written;
        spectra_left_out_ += chunk->left_out;
        if (Clock::now() >= deadline) return false;
    }
    // Every spectrum is written: the workers are done.
    pool_.reset();
    if (spectra_done_ != scan_count()) return end_with(Failure{"the conversion was stopped"});
    if (auto failure = finish()) return end_with(std::move(*failure));
    complete_ = true;
    return true;
}

std::unique_ptr<Conversion> convert_to_mzml(std::shared_ptr<const Run> run, int fd, MzmlSettings settings,
                                            const ConversionOptions& options) {
    // The spectrum that gives the document's codes is among the first few:
    // they are read here, before the workers start.
    mzml::DocumentCodes codes(settings.codings);
    ScanWorkspace workspace;
    for (std::size_t i = 0; !codes.settled() && i < run->scan_count(); ++i) {
        auto peaks = read_peaks(*run, i, workspace, options.peaks);
        if (!peaks) break;  // a worker meets the error in its place
        codes.codings_for(i, peaks->mz(), peaks->intensity());
    }
    auto coding = std::make_shared<const SpectrumCoding>(SpectrumCoding{std::move(settings.vocabulary), std::move(codes)});
    return std::make_unique<MzmlConversion>(std::move(run), fd, std::move(settings), options, std::move(coding));
}

std::unique_ptr<Conversion> convert_to_mgf(std::shared_ptr<const Run> run, int fd, const ConversionOptions& options) {
    return std::make_unique<MgfConversion>(std::move(run), fd, options);
}

}  // namespace corvex::engine
