// The <spectrum> and <chromatogram> elements of an indexed mzML document,
// rendered as text from plain fields and peak arrays. The controlled-
// vocabulary parameters come in as text resolved once by the caller (the
// Python side asks psims); everything else about the layout (which
// parameters, in which order, how deep) is decided here.
//
// Rendering touches nothing shared: any number of threads may render at
// once, each with its own BinaryArrayEncoder and output buffer, sharing one
// const Vocabulary.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/binary_array.hpp"

namespace corvex::engine::mzml {

// Every parameter an element can use. The order is that of param_keys().
enum class Param : std::size_t {
    ms_level, ms1_spectrum, msn_spectrum, total_ion_current, base_peak_mz, base_peak_intensity,
    lowest_mz, highest_mz, negative_scan, positive_scan, centroid_spectrum, profile_spectrum,
    no_combination, scan_start_time,
    isolation_target_mz, isolation_lower_offset, isolation_upper_offset,
    selected_ion_mz, peak_intensity, charge_state, collision_energy,
    // Activation terms, in the order of enum Activation.
    dissociation_method, cid, beam_type_cid, etd, ecd, irmpd, photodissociation, pqd, uvpd, sid, ethcd,
    mz_array, intensity_array, time_array,
    no_compression, zlib_compression, float64, float32,
    numpress_linear, numpress_pic, numpress_slof,
    numpress_linear_zlib, numpress_pic_zlib, numpress_slof_zlib,
    count
};

// A parameter's PSI-MS name and the name of its unit ("" for none): the key
// by which the caller resolves it.
struct ParamKey {
    std::string_view name;
    std::string_view unit;
};

// The key of every Param, indexed by it.
std::span<const ParamKey> param_keys() noexcept;

// A cvParam element's text before and after its value (the value goes
// inside the quotes of value="").
struct ParamText {
    std::string before;
    std::string after;
};

// The text of every Param, resolved by the caller in the order of param_keys().
struct Vocabulary {
    std::array<ParamText, static_cast<std::size_t>(Param::count)> params;
    const ParamText& operator[](Param param) const { return params[static_cast<std::size_t>(param)]; }
};

// How precursors were activated; each maps to one PSI-MS dissociation term.
enum class Activation : std::uint8_t { unknown, cid, hcd, etd, ecd, irmpd, pd, pqd, uvpd, sid, ethcd };

// The activation a reader's text code names ("cid", "hcd", ...); unknown
// for any other text, which is written as the generic dissociation term.
Activation activation_from_code(std::string_view code) noexcept;

enum class Polarity : std::uint8_t { unknown, negative, positive };

struct PrecursorFields {
    std::optional<std::string_view> native_id;  // of the spectrum the precursor was selected from
    std::optional<double> target_mz;
    std::optional<double> selected_mz;
    std::optional<double> intensity;
    std::optional<std::int64_t> charge;
    std::optional<double> collision_energy;
    std::optional<double> isolation_width;  // the whole window; 0 or none writes no offsets
    Activation activation = Activation::unknown;
};

struct BasePeak {
    double mz;
    double intensity;
};

// A spectrum's fields besides its peak arrays. Views must outlive the call.
struct SpectrumFields {
    std::uint64_t index = 0;  // position in the document's spectrum list
    std::string_view native_id;
    std::uint64_t scan_number = 0;  // for MGF's SCANS
    int ms_level = 1;
    double total_ion_current = 0;  // as computed from the peaks
    std::optional<BasePeak> base_peak;
    Polarity polarity = Polarity::unknown;
    bool centroid = false;
    double retention_time_sec = 0;
    std::optional<PrecursorFields> precursor;
};

// How the arrays of every element of a document are written.
struct ArrayCodings {
    ArrayCoding mz;
    ArrayCoding intensity;
};

// The Huffman codes a document's zlib streams of plain values share: made
// from the arrays of the first of its first `sample_spectra` spectra with at
// least `sample_peaks` peaks, and used from that spectrum on. The spectra
// before it, the chromatograms, MS-Numpress arrays and every array of a
// document without such a spectrum build codes of their own. Which arrays
// share codes depends on the spectra alone, whoever renders them.
class DocumentCodes {
public:
    static constexpr std::uint64_t sample_spectra = 64;
    static constexpr std::size_t sample_peaks = 256;

    explicit DocumentCodes(const ArrayCodings& codings);

    // The codings of the spectrum at `index`; spectra are given in order
    // from 0 until settled(). Makes the codes from the spectrum's arrays
    // when it is the sample.
    const ArrayCodings& codings_for(std::uint64_t index, std::span<const double> mz, std::span<const float> intensity);

    // No later spectrum can be the sample: codings_at() holds for every spectrum.
    bool settled() const noexcept { return !searching_; }
    const ArrayCodings& codings_at(std::uint64_t index) const noexcept {
        return sample_ && index >= *sample_ ? coded_ : plain_;
    }

private:
    ArrayCodings plain_;
    ArrayCodings coded_;
    std::optional<std::uint64_t> sample_;
    bool searching_;
};

struct ChromatogramFields {
    std::uint64_t index = 0;  // position in the chromatogram list
    std::string_view native_id;
    std::string_view type_param;  // the whole cvParam element naming the chromatogram's kind
};

// An element starts with a line break and the indentation of the list's
// children; the offset index points this far past its start, at its "<".
constexpr std::size_t element_lead = 1 + 8;

// Appends the <spectrum> element (line break and indentation first) to
// `out`. Lowest and highest observed m/z are the first and last m/z. An
// array with values its MS-Numpress coding cannot take is written without
// it (zlib still as asked), under the terms of what it is. On failure
// (arrays of different lengths, an array too large to deflate) returns what
// went wrong and leaves `out` as it was.
std::optional<std::string> render_spectrum(std::string& out, const SpectrumFields& spectrum,
                                           std::span<const double> mz, std::span<const float> intensity,
                                           const Vocabulary& vocabulary, const ArrayCodings& codings,
                                           BinaryArrayEncoder& encoder);

// Appends the <chromatogram> element: 32-bit time (seconds) and intensity
// arrays, compressed or not as `zlib` says.
std::optional<std::string> render_chromatogram(std::string& out, const ChromatogramFields& chromatogram,
                                               std::span<const float> time_sec, std::span<const float> intensity,
                                               const Vocabulary& vocabulary, bool zlib,
                                               BinaryArrayEncoder& encoder);

// Appends `text` escaped for a double-quoted XML attribute (&, <, >, ").
void append_xml_attribute(std::string& out, std::string_view text);

}  // namespace corvex::engine::mzml
