// The vendor-neutral records a reader hands out: spectra, chromatograms and
// run metadata. Records are plain values; they own their text and lists (a
// CvTerm may borrow static text) and never refer back to the reader.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "lumora/cv.hpp"

namespace lumora {

// ---------------------------------------------------------------------------
// Enumerations. Numbered from 0 in the order given; to_text gives the fixed
// lower-case form the Python layer shows.

enum class Polarity : std::uint8_t { Negative, Positive };
enum class ScanMode : std::uint8_t { Centroid, Profile };
enum class Analyzer : std::uint8_t { Itms, Tqms, Sqms, Tofms, Ftms, Sector };
enum class Activation : std::uint8_t { Hcd, Mpid, Etd, Cid, Ecd, Irmpd, Pd, Pqd, Uvpd, Sid, Ethcd };
enum class MobilityArrayKind : std::uint8_t { InverseReducedK0, DriftTimeMs };

namespace detail {
inline constexpr std::array<std::string_view, 2> polarity_texts{"negative", "positive"};
inline constexpr std::array<std::string_view, 2> scan_mode_texts{"centroid", "profile"};
inline constexpr std::array<std::string_view, 6> analyzer_texts{"itms",  "tqms", "sqms",
                                                                "tofms", "ftms", "sector"};
inline constexpr std::array<std::string_view, 11> activation_texts{
    "hcd", "mpid", "etd", "cid", "ecd", "irmpd", "pd", "pqd", "uvpd", "sid", "ethcd"};
inline constexpr std::array<std::string_view, 2> mobility_array_kind_texts{"inverse_reduced_k0",
                                                                           "drift_time_ms"};

// A value cast from an out-of-range integer gives empty text rather than a
// read past the table.
template <class Enum, std::size_t N>
constexpr std::string_view enum_text(const std::array<std::string_view, N>& texts, Enum value) {
    const auto i = static_cast<std::size_t>(value);
    return i < N ? texts[i] : std::string_view{};
}
}  // namespace detail

constexpr std::string_view to_text(Polarity v) noexcept {
    return detail::enum_text(detail::polarity_texts, v);
}
constexpr std::string_view to_text(ScanMode v) noexcept {
    return detail::enum_text(detail::scan_mode_texts, v);
}
constexpr std::string_view to_text(Analyzer v) noexcept {
    return detail::enum_text(detail::analyzer_texts, v);
}
constexpr std::string_view to_text(Activation v) noexcept {
    return detail::enum_text(detail::activation_texts, v);
}
constexpr std::string_view to_text(MobilityArrayKind v) noexcept {
    return detail::enum_text(detail::mobility_array_kind_texts, v);
}

// ---------------------------------------------------------------------------
// Controlled-vocabulary terms inside records.

// Text that is either borrowed static text (from a cv::Term) or owned.
class CvText {
public:
    CvText() noexcept = default;
    explicit CvText(std::string owned) : text_(std::in_place_index<1>, std::move(owned)) {}

    std::string_view view() const noexcept {
        return text_.index() == 0 ? std::get<0>(text_) : std::string_view(std::get<1>(text_));
    }
    operator std::string_view() const noexcept { return view(); }
    bool is_borrowed() const noexcept { return text_.index() == 0; }

    friend bool operator==(const CvText& a, const CvText& b) noexcept { return a.view() == b.view(); }
    friend bool operator==(const CvText& a, std::string_view b) noexcept { return a.view() == b; }

private:
    friend struct CvTerm;
    // Only reachable through CvTerm(const cv::Term&), whose text is static.
    struct Static {};
    CvText(Static, std::string_view static_text) noexcept
        : text_(std::in_place_index<0>, static_text) {}

    std::variant<std::string_view, std::string> text_;
};

struct CvTerm {
    CvText accession;
    CvText name;

    CvTerm() = default;
    // Implicit on purpose, so a term can be passed where a CvTerm is wanted.
    // Copies nothing: both fields borrow the term's static text.
    CvTerm(const cv::Term& term) noexcept
        : accession(CvText::Static{}, term.accession), name(CvText::Static{}, term.name) {}
    CvTerm(std::string accession_text, std::string name_text)
        : accession(std::move(accession_text)), name(std::move(name_text)) {}

    friend bool operator==(const CvTerm&, const CvTerm&) = default;
};

// ---------------------------------------------------------------------------
// Ordered maps of reader-specific additions.

// Orders keys by their UTF-8 bytes taken as unsigned values, a prefix first.
// memcmp compares as unsigned char whatever the signedness of char.
struct ByteOrder {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept;
};

using ExtraMap = std::map<std::string, std::string, ByteOrder>;

// ---------------------------------------------------------------------------
// Records.

struct Precursor {
    std::optional<double> target_mz;
    std::optional<double> selected_mz;
    std::optional<double> isolation_width;
    std::optional<std::int32_t> charge;
    std::optional<double> intensity;
    std::optional<double> collision_energy;
    bool ce_is_nce = false;  // collision_energy is a normalized collision energy
    std::optional<std::string> precursor_native_id;
    std::optional<Activation> activation;
    std::optional<Analyzer> analyzer;
    std::optional<double> ccs;  // collision cross-section

    friend bool operator==(const Precursor&, const Precursor&) = default;
};

struct BasePeak {
    double mz = 0.0;
    double intensity = 0.0;

    friend bool operator==(const BasePeak&, const BasePeak&) = default;
};

// The rules by which a spectrum's own peaks give its total ion current and
// base peak when the reader reports neither; SpectrumRecord applies them to
// its lists, and code holding peaks elsewhere applies them to its own.

// The intensities widened and added one by one in list order, starting from
// -0.0 (so no peaks give -0.0).
double summed_intensity(std::span<const float> intensity) noexcept;

// The first peak of greatest intensity (a NaN never wins, but a leading NaN
// stays). Only positions that have both an m/z and an intensity are peaks.
std::optional<BasePeak> first_base_peak(std::span<const double> mz, std::span<const float> intensity) noexcept;

struct SpectrumRecord {
    std::uint64_t index = 0;  // position in the source's sequence, from 0
    std::uint32_t scan_number = 0;
    std::string native_id;
    std::uint32_t ms_level = 0;
    std::optional<Polarity> polarity;
    std::optional<ScanMode> scan_mode;
    std::optional<Analyzer> analyzer;
    std::optional<std::uint32_t> acquisition_event_id;
    std::optional<std::string> filter;
    double retention_time_sec = 0.0;
    std::optional<double> reported_total_ion_current;
    std::optional<double> reported_base_peak_mz;
    std::optional<double> reported_base_peak_intensity;
    std::optional<double> low_mz;
    std::optional<double> high_mz;
    std::optional<double> ion_injection_time_ms;
    std::optional<double> inv_mobility;
    std::optional<double> faims_cv;
    std::optional<Precursor> precursor;  // present exactly on fragment spectra
    std::vector<double> mz;
    std::vector<float> intensity;  // one per entry of mz
    std::optional<std::vector<float>> inv_mobility_per_peak;
    ExtraMap extra;

    // Builders for chaining while a record is assembled:
    //   std::move(record).with_peaks(...).with_extra(...)
    SpectrumRecord with_peaks(std::vector<double> mz_values, std::vector<float> intensity_values) &&;
    SpectrumRecord with_extra(std::string_view key, std::string value) &&;

    // The reported TIC if present; otherwise the sum of the intensities,
    // widened and added one by one in list order starting from -0.0 (so no
    // peaks give -0.0).
    double effective_tic() const noexcept;

    // The reported pair if both halves are present; otherwise the first peak
    // of greatest intensity (a NaN never wins, but a leading NaN stays).
    // Only positions that have both an m/z and an intensity are peaks.
    std::optional<BasePeak> effective_base_peak() const noexcept;

    friend bool operator==(const SpectrumRecord&, const SpectrumRecord&) = default;
};

struct ChromatogramRecord {
    std::uint64_t index = 0;  // position in the source's sequence, from 0
    std::string id;
    std::optional<CvTerm> chromatogram_type;
    std::optional<double> precursor_mz;
    std::optional<double> product_mz;
    std::vector<float> time_sec;
    std::vector<float> intensity;  // one per time point

    friend bool operator==(const ChromatogramRecord&, const ChromatogramRecord&) = default;
};

struct RunMetadata {
    std::string source_file_name;
    CvTerm source_file_format;
    CvTerm native_id_format;
    CvTerm instrument;
    std::optional<std::string> instrument_serial_number;
    std::string software_name;
    std::string software_version;
    std::optional<std::string> acquisition_software_name;
    std::optional<std::string> acquisition_software_version;
    std::optional<std::string> start_timestamp;  // RFC 3339
    std::optional<MobilityArrayKind> mobility_array_kind;
    std::vector<Analyzer> analyzers;
    ExtraMap extra;

    // Sets the six given fields; every optional field absent, lists and
    // extra empty.
    static RunMetadata make(std::string source_file_name, CvTerm source_file_format,
                            CvTerm native_id_format, CvTerm instrument,
                            std::string_view software_name, std::string_view software_version);

    // Replaces extra as a whole; the old entries are dropped, not merged.
    RunMetadata with_extra_map(ExtraMap map) &&;

    friend bool operator==(const RunMetadata&, const RunMetadata&) = default;
};

}  // namespace lumora
