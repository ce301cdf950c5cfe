#include "engine/mzml_document.hpp"

#include <cerrno>
#include <charconv>

#include "engine/mzml_elements.hpp"

namespace corvex::engine::mzml {

namespace {

void append_number(std::string& out, std::uint64_t value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// The index goes out in pieces of about this size.
constexpr std::size_t index_piece_bytes = 1 << 20;

}  // namespace

DocumentWriter::DocumentWriter(int fd, DocumentFrame frame) : file_(fd), frame_(std::move(frame)) {}

int DocumentWriter::put(std::string_view text) {
    if (error_ != 0) return error_;
    if (!digest_.update(text.data(), text.size())) return error_ = EIO;
    if (const int error = file_.write(text); error != 0) return error_ = error;
    position_ += text.size();
    return 0;
}

int DocumentWriter::append(Index& index, std::string_view native_id, std::string_view element) {
    if (!started_) {
        started_ = true;
        if (put(frame_.header) != 0) return error_;
    }
    index.ids += native_id;
    index.ends.push_back(index.ids.size());
    index.offsets.push_back(position_ + element_lead);
    return put(element);
}

int DocumentWriter::append_spectrum(std::string_view native_id, std::string_view element) {
    if (error_ != 0) return error_;
    if (phase_ != Phase::spectra) return EINVAL;
    return append(spectra_, native_id, element);
}

int DocumentWriter::begin_chromatograms() {
    if (!started_) {
        started_ = true;
        if (put(frame_.header) != 0) return error_;
    }
    phase_ = Phase::chromatograms;
    return put(frame_.between);
}

int DocumentWriter::append_chromatogram(std::string_view native_id, std::string_view element) {
    if (error_ != 0) return error_;
    if (phase_ == Phase::finished) return EINVAL;
    if (phase_ == Phase::spectra && begin_chromatograms() != 0) return error_;
    return append(chromatograms_, native_id, element);
}

int DocumentWriter::put_index(std::string& out, std::string_view name, const Index& index) {
    out += "\n    <index name=\"";
    out += name;
    out += "\">";
    std::size_t id_start = 0;
    for (std::size_t i = 0; i < index.offsets.size(); ++i) {
        out += "\n      <offset idRef=\"";
        append_xml_attribute(out, std::string_view(index.ids).substr(id_start, index.ends[i] - id_start));
        out += "\">";
        append_number(out, index.offsets[i]);
        out += "</offset>";
        id_start = index.ends[i];
        if (out.size() >= index_piece_bytes) {
            if (put(out) != 0) return error_;
            out.clear();
        }
    }
    out += "\n    </index>";
    return 0;
}

int DocumentWriter::finish() {
    if (error_ != 0) return error_;
    if (phase_ == Phase::finished) return EINVAL;
    if (phase_ == Phase::spectra && begin_chromatograms() != 0) return error_;
    phase_ = Phase::finished;
    if (put(frame_.footer) != 0 || put("\n  ") != 0) return error_;
    // The index list's offset is that of its "<", where the file's readers seek.
    const std::uint64_t index_list_offset = position_;
    std::string text = "<indexList count=\"";
    append_number(text, std::uint64_t{!spectra_.offsets.empty()} + std::uint64_t{!chromatograms_.offsets.empty()});
    text += "\">";
    // Empty lists have no index, as psims writes it.
    if (!spectra_.offsets.empty() && put_index(text, "spectrum", spectra_) != 0) return error_;
    if (!chromatograms_.offsets.empty() && put_index(text, "chromatogram", chromatograms_) != 0) return error_;
    text += "\n  </indexList>\n  <indexListOffset>";
    append_number(text, index_list_offset);
    text += "</indexListOffset>\n  <fileChecksum>";
    // The checksum covers everything before it, its start tag included.
    if (put(text) != 0) return error_;
    const auto checksum = digest_.hex_digest();
    if (!checksum) return error_ = EIO;
    text = *checksum + "</fileChecksum>\n</indexedmzML>";
    if (const int error = file_.write(text); error != 0) return error_ = error;
    position_ += text.size();
    if (const int error = file_.flush(); error != 0) return error_ = error;
    return 0;
}

}  // namespace corvex::engine::mzml
