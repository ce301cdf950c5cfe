#include "engine/mzml_elements.hpp"

#include <charconv>

#include "engine/base64.hpp"
#include "engine/float_repr.hpp"

namespace corvex::engine::mzml {

namespace {

constexpr ParamKey keys[] = {
    {"ms level", ""},
    {"MS1 spectrum", ""},
    {"MSn spectrum", ""},
    {"total ion current", ""},
    {"base peak m/z", "m/z"},
    {"base peak intensity", "number of detector counts"},
    {"lowest observed m/z", "m/z"},
    {"highest observed m/z", "m/z"},
    {"negative scan", ""},
    {"positive scan", ""},
    {"centroid spectrum", ""},
    {"profile spectrum", ""},
    {"no combination", ""},
    {"scan start time", "second"},
    {"isolation window target m/z", "m/z"},
    {"isolation window lower offset", "m/z"},
    {"isolation window upper offset", "m/z"},
    {"selected ion m/z", "m/z"},
    {"peak intensity", "number of detector counts"},
    {"charge state", ""},
    {"collision energy", "electronvolt"},
    // The reader does not always know how precursors were activated; the
    // generic term keeps the required <activation> element truthful.
    {"dissociation method", ""},
    {"collision-induced dissociation", ""},
    {"beam-type collision-induced dissociation", ""},
    {"electron transfer dissociation", ""},
    {"electron capture dissociation", ""},
    {"infrared multiphoton dissociation", ""},
    {"photodissociation", ""},
    {"pulsed q dissociation", ""},
    {"ultraviolet photodissociation", ""},
    {"surface-induced dissociation", ""},
    {"supplemental beam-type collision-induced dissociation", ""},
    {"m/z array", "m/z"},
    {"intensity array", "number of detector counts"},
    {"time array", "second"},
    {"no compression", ""},
    {"zlib compression", ""},
    {"64-bit float", ""},
    {"32-bit float", ""},
    {"MS-Numpress linear prediction compression", ""},
    {"MS-Numpress positive integer compression", ""},
    {"MS-Numpress short logged float compression", ""},
    {"MS-Numpress linear prediction compression followed by zlib compression", ""},
    {"MS-Numpress positive integer compression followed by zlib compression", ""},
    {"MS-Numpress short logged float compression followed by zlib compression", ""},
};
static_assert(std::size(keys) == static_cast<std::size_t>(Param::count));

// The reader's activation codes, in the order of enum Activation (after unknown).
constexpr std::string_view activation_codes[] = {"cid", "hcd", "etd", "ecd", "irmpd", "pd",
                                                 "pqd", "uvpd", "sid", "ethcd"};
static_assert(static_cast<std::size_t>(Param::ethcd) - static_cast<std::size_t>(Param::dissociation_method) ==
              std::size(activation_codes));

Param activation_param(Activation activation) {
    return static_cast<Param>(static_cast<std::size_t>(Param::dissociation_method) +
                              static_cast<std::size_t>(activation));
}

// Appends elements line by line: each line is a line break, two spaces per
// level of depth, and its text.
class Writer {
public:
    Writer(std::string& out, const Vocabulary& vocabulary) : out_(out), vocabulary_(vocabulary) {}

    Writer& line(int depth, std::string_view text) {
        out_ += '\n';
        out_.append(static_cast<std::size_t>(2 * depth), ' ');
        out_ += text;
        return *this;
    }
    // A parameter with an empty value.
    void param(int depth, Param param) {
        const ParamText& text = vocabulary_[param];
        line(depth, text.before);
        out_ += text.after;
    }
    void param(int depth, Param param, double value) {
        const ParamText& text = vocabulary_[param];
        line(depth, text.before);
        append_float_repr(out_, value);
        out_ += text.after;
    }
    void param(int depth, Param param, std::int64_t value) {
        const ParamText& text = vocabulary_[param];
        line(depth, text.before);
        integer(value);
        out_ += text.after;
    }
    Writer& text(std::string_view text) {
        out_ += text;
        return *this;
    }
    Writer& integer(std::int64_t value) {
        char digits[24];
        out_.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
        return *this;
    }
    Writer& integer(std::uint64_t value) {
        char digits[24];
        out_.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
        return *this;
    }
    Writer& attribute(std::string_view value) {
        append_xml_attribute(out_, value);
        return *this;
    }

    std::string& out() { return out_; }

private:
    std::string& out_;
    const Vocabulary& vocabulary_;
};

Param compression_param(const ArrayCoding& coding) {
    if (!coding.numpress) return coding.zlib ? Param::zlib_compression : Param::no_compression;
    const auto offset = static_cast<std::size_t>(*coding.numpress);
    return static_cast<Param>(static_cast<std::size_t>(coding.zlib ? Param::numpress_linear_zlib : Param::numpress_linear) +
                              offset);
}

// One <binaryDataArray>. Numpress arrays decode to doubles, so they declare
// 64 bits whatever the width in memory.
template <class Value>
std::optional<std::string> binary_array(Writer& w, Param array, std::span<const Value> values,
                                        const ArrayCoding& coding, BinaryArrayEncoder& encoder) {
    ArrayCoding used = coding;
    CodedArray coded = encoder.code(values, used);
    if (coded.error && used.numpress) {
        // Values MS-Numpress cannot code (pic takes integers up to 2^31 - 1)
        // are written as they are: each array names its own coding.
        used.numpress.reset();
        coded = encoder.code(values, used);
    }
    if (coded.error) return coded.error;
    w.line(6, "<binaryDataArray encodedLength=\"").integer(std::uint64_t{base64_length(coded.bytes.size())}).text("\">");
    w.param(7, array);
    w.param(7, compression_param(used));
    w.param(7, sizeof(Value) == 8 || used.numpress ? Param::float64 : Param::float32);
    w.line(7, "<binary>");
    append_base64(w.out(), coded.bytes.data(), coded.bytes.size());
    w.text("</binary>");
    w.line(6, "</binaryDataArray>");
    return std::nullopt;
}

// The start tag every element has.
void start_tag(Writer& w, const char* tag, std::uint64_t index, std::size_t length, std::string_view id) {
    w.line(4, tag).text(" index=\"").integer(index).text("\" defaultArrayLength=\"");
    w.integer(std::uint64_t{length}).text("\" id=\"").attribute(id).text("\">");
}

// The <binaryDataArrayList> of two arrays, then the element's end tag.
template <class First, class Second>
std::optional<std::string> arrays_and_end(Writer& w, const char* end_tag, Param first_param,
                                          std::span<const First> first, const ArrayCoding& first_coding,
                                          Param second_param, std::span<const Second> second,
                                          const ArrayCoding& second_coding, BinaryArrayEncoder& encoder) {
    w.line(5, "<binaryDataArrayList count=\"2\">");
    if (auto error = binary_array(w, first_param, first, first_coding, encoder)) return error;
    if (auto error = binary_array(w, second_param, second, second_coding, encoder)) return error;
    w.line(5, "</binaryDataArrayList>");
    w.line(4, end_tag);
    return std::nullopt;
}

void precursor_list(Writer& w, const PrecursorFields& precursor) {
    w.line(5, "<precursorList count=\"1\">");
    if (precursor.native_id) {
        w.line(6, "<precursor spectrumRef=\"").attribute(*precursor.native_id).text("\">");
    } else {
        w.line(6, "<precursor>");
    }
    if (precursor.target_mz) {
        w.line(7, "<isolationWindow>");
        w.param(8, Param::isolation_target_mz, *precursor.target_mz);
        if (precursor.isolation_width && *precursor.isolation_width != 0) {
            const double half_width = *precursor.isolation_width / 2.0;
            w.param(8, Param::isolation_lower_offset, half_width);
            w.param(8, Param::isolation_upper_offset, half_width);
        }
        w.line(7, "</isolationWindow>");
    }
    if (precursor.selected_mz || precursor.intensity || precursor.charge) {
        w.line(7, "<selectedIonList count=\"1\">");
        w.line(8, "<selectedIon>");
        if (precursor.selected_mz) w.param(9, Param::selected_ion_mz, *precursor.selected_mz);
        if (precursor.intensity) w.param(9, Param::peak_intensity, *precursor.intensity);
        if (precursor.charge) w.param(9, Param::charge_state, *precursor.charge);
        w.line(8, "</selectedIon>");
        w.line(7, "</selectedIonList>");
    }
    w.line(7, "<activation>");
    w.param(8, activation_param(precursor.activation));
    if (precursor.collision_energy) w.param(8, Param::collision_energy, *precursor.collision_energy);
    w.line(7, "</activation>");
    w.line(6, "</precursor>");
    w.line(5, "</precursorList>");
}

}  // namespace

std::span<const ParamKey> param_keys() noexcept { return keys; }

namespace {

bool shares_codes(const ArrayCoding& coding) { return coding.zlib && !coding.numpress; }

}  // namespace

DocumentCodes::DocumentCodes(const ArrayCodings& codings)
    : plain_(codings), coded_(codings), searching_(shares_codes(codings.mz) || shares_codes(codings.intensity)) {}

const ArrayCodings& DocumentCodes::codings_for(std::uint64_t index, std::span<const double> mz,
                                               std::span<const float> intensity) {
    if (searching_ && index < sample_spectra && mz.size() >= sample_peaks && intensity.size() >= sample_peaks) {
        if (shares_codes(coded_.mz)) coded_.mz.codes = std::make_shared<const DeflateCodes>(std::as_bytes(mz));
        if (shares_codes(coded_.intensity)) {
            coded_.intensity.codes = std::make_shared<const DeflateCodes>(std::as_bytes(intensity));
        }
        sample_ = index;
        searching_ = false;
    }
    if (index + 1 >= sample_spectra) searching_ = false;
    return codings_at(index);
}

Activation activation_from_code(std::string_view code) noexcept {
    for (std::size_t i = 0; i < std::size(activation_codes); ++i) {
        if (activation_codes[i] == code) return static_cast<Activation>(i + 1);
    }
    return Activation::unknown;
}

void append_xml_attribute(std::string& out, std::string_view text) {
    std::size_t plain = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char* entity = nullptr;
        switch (text[i]) {
            case '&': entity = "&amp;"; break;
            case '<': entity = "&lt;"; break;
            case '>': entity = "&gt;"; break;
            case '"': entity = "&quot;"; break;
            default: continue;
        }
        out.append(text, plain, i - plain);
        out += entity;
        plain = i + 1;
    }
    out.append(text, plain);
}

std::optional<std::string> render_spectrum(std::string& out, const SpectrumFields& spectrum,
                                           std::span<const double> mz, std::span<const float> intensity,
                                           const Vocabulary& vocabulary, const ArrayCodings& codings,
                                           BinaryArrayEncoder& encoder) {
    if (mz.size() != intensity.size()) {
        return "spectrum " + std::string(spectrum.native_id) + " has " + std::to_string(mz.size()) +
               " m/z values and " + std::to_string(intensity.size()) + " intensities";
    }
    const std::size_t start = out.size();
    Writer w(out, vocabulary);
    start_tag(w, "<spectrum", spectrum.index, mz.size(), spectrum.native_id);
    w.param(5, Param::ms_level, std::int64_t{spectrum.ms_level});
    w.param(5, spectrum.ms_level == 1 ? Param::ms1_spectrum : Param::msn_spectrum);
    // A sum over no peaks is -0.0; the element says 0.
    w.param(5, Param::total_ion_current, spectrum.total_ion_current + 0.0);
    if (spectrum.base_peak) {
        w.param(5, Param::base_peak_mz, spectrum.base_peak->mz);
        w.param(5, Param::base_peak_intensity, spectrum.base_peak->intensity);
    }
    if (!mz.empty()) {
        w.param(5, Param::lowest_mz, mz.front());
        w.param(5, Param::highest_mz, mz.back());
    }
    if (spectrum.polarity != Polarity::unknown) {
        w.param(5, spectrum.polarity == Polarity::positive ? Param::positive_scan : Param::negative_scan);
    }
    w.param(5, spectrum.centroid ? Param::centroid_spectrum : Param::profile_spectrum);
    w.line(5, "<scanList count=\"1\">");
    w.param(6, Param::no_combination);
    w.line(6, "<scan>");
    w.param(7, Param::scan_start_time, spectrum.retention_time_sec);
    w.line(6, "</scan>");
    w.line(5, "</scanList>");
    if (spectrum.precursor) precursor_list(w, *spectrum.precursor);
    auto error = arrays_and_end(w, "</spectrum>", Param::mz_array, mz, codings.mz, Param::intensity_array, intensity,
                                codings.intensity, encoder);
    if (error) out.resize(start);
    return error;
}

std::optional<std::string> render_chromatogram(std::string& out, const ChromatogramFields& chromatogram,
                                               std::span<const float> time_sec, std::span<const float> intensity,
                                               const Vocabulary& vocabulary, bool zlib,
                                               BinaryArrayEncoder& encoder) {
    if (time_sec.size() != intensity.size()) {
        return "chromatogram " + std::string(chromatogram.native_id) + " has " + std::to_string(time_sec.size()) +
               " times and " + std::to_string(intensity.size()) + " intensities";
    }
    const std::size_t start = out.size();
    Writer w(out, vocabulary);
    start_tag(w, "<chromatogram", chromatogram.index, time_sec.size(), chromatogram.native_id);
    w.line(5, chromatogram.type_param);
    const ArrayCoding coding{std::nullopt, zlib};
    auto error = arrays_and_end(w, "</chromatogram>", Param::time_array, time_sec, coding, Param::intensity_array,
                                intensity, coding, encoder);
    if (error) out.resize(start);
    return error;
}

}  // namespace corvex::engine::mzml
