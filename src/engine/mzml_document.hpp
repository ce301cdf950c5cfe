// An indexed mzML document written in order to a file descriptor: the frame
// text the caller made (header, the text between the lists, the footer
// through </mzML>), the rendered spectrum and chromatogram elements, then
// the index of their byte offsets, the offset of the index and the SHA-1 of
// everything before the checksum. Memory stays bounded: the text goes out in
// large writes as it comes; only each element's id and offset are kept for
// the index.
//
// One thread writes a document; elements rendered on other threads are
// handed to it in document order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/output_file.hpp"
#include "engine/sha1.hpp"

namespace corvex::engine::mzml {

struct DocumentFrame {
    std::string header;       // everything before the first spectrum element
    std::string between;      // from the end of the spectrum list to the first chromatogram element
    std::string footer;       // from the end of the chromatogram list through </mzML>
};

class DocumentWriter {
public:
    // Writes nothing yet; the caller keeps `fd` open until finish() returns.
    DocumentWriter(int fd, DocumentFrame frame);

    // Each returns 0, or the errno of a failed write, or EINVAL for a call
    // out of order (spectra, then chromatograms, then finish, once); after a
    // failure every call fails the same way.
    //
    // `element` is what render_spectrum() appended for the spectrum whose
    // native id is `native_id` (line break and indentation first).
    int append_spectrum(std::string_view native_id, std::string_view element);
    int append_chromatogram(std::string_view native_id, std::string_view element);
    // The rest of the document; the file is complete when it returns 0.
    int finish();
    // Returns once none of the document is being written behind the
    // caller's back (see OutputFile): before the file may be closed.
    int wait_for_output() {
        if (const int error = file_.wait(); error != 0 && error_ == 0) error_ = error;
        return error_;
    }

    std::uint64_t spectrum_count() const noexcept { return spectra_.offsets.size(); }
    std::uint64_t chromatogram_count() const noexcept { return chromatograms_.offsets.size(); }
    std::uint64_t bytes_written() const noexcept { return position_; }
    bool finished() const noexcept { return phase_ == Phase::finished; }

private:
    enum class Phase { spectra, chromatograms, finished };

    // The ids and offsets of one list's elements.
    struct Index {
        std::string ids;                  // the ids one after another
        std::vector<std::size_t> ends;  // where each id ends in `ids`
        std::vector<std::uint64_t> offsets;
    };

    int append(Index& index, std::string_view native_id, std::string_view element);
    int put(std::string_view text);
    // Appends the <index> of `index` to `out`, writing `out` out whenever it grows large.
    int put_index(std::string& out, std::string_view name, const Index& index);
    int begin_chromatograms();

    OutputFile file_;
    Sha1 digest_;
    DocumentFrame frame_;
    Phase phase_ = Phase::spectra;
    bool started_ = false;
    std::uint64_t position_ = 0;
    Index spectra_;
    Index chromatograms_;
    int error_ = 0;
};

}  // namespace corvex::engine::mzml
