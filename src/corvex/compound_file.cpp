#include "corvex/compound_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-input.h>

#include "corvex/log.hpp"
#include "corvex/text.hpp"

namespace corvex {

namespace {

// Owns one GObject reference.
template <class T>
class GRef {
public:
    GRef() = default;
    explicit GRef(T* object) : object_(object) {}
    GRef(GRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    GRef& operator=(GRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    GRef(const GRef&) = delete;
    GRef& operator=(const GRef&) = delete;
    ~GRef() { reset(); }

    T* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void reset() noexcept {
        if (object_) g_object_unref(object_);
        object_ = nullptr;
    }

private:
    T* object_ = nullptr;
};

// Takes ownership of a GError and returns its text.
std::string take_message(GError* error, std::string_view fallback) {
    if (!error) return std::string(fallback);
    std::string message = error->message ? error->message : std::string(fallback);
    g_error_free(error);
    return message;
}

// MS-CFB compares names by length and then code unit by code unit after
// simple upper-casing; the library's own look-up is case-sensitive.
bool cfb_names_equal(std::string_view a, std::string_view b) {
    const char* pa = a.data();
    const char* pb = b.data();
    const char* ea = pa + a.size();
    const char* eb = pb + b.size();
    while (pa < ea && pb < eb) {
        gunichar ca = g_utf8_get_char_validated(pa, ea - pa);
        gunichar cb = g_utf8_get_char_validated(pb, eb - pb);
        if (ca == static_cast<gunichar>(-1) || ca == static_cast<gunichar>(-2) ||
            cb == static_cast<gunichar>(-1) || cb == static_cast<gunichar>(-2)) {
            return a == b;
        }
        // Characters outside the basic plane are surrogate pairs in the file,
        // and surrogates have no case.
        if (ca != cb && (ca > 0xFFFF || cb > 0xFFFF || g_unichar_toupper(ca) != g_unichar_toupper(cb))) {
            return false;
        }
        pa = g_utf8_next_char(pa);
        pb = g_utf8_next_char(pb);
    }
    return pa == ea && pb == eb;
}

std::vector<std::string_view> split_path(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

CompoundError not_found(std::string_view name, std::string_view parent) {
    std::string where = parent.empty() ? std::string("the root storage") : "'" + std::string(parent) + "'";
    return {CompoundError::Kind::NotFound, "no entry named '" + std::string(name) + "' in " + where};
}

}  // namespace

struct CompoundFile::Impl {
    GRef<GsfInfile> root;
    std::uint64_t file_size = 0;

    // The entry at `path`, or NotFound. The root is the empty path.
    CompoundResult<GRef<GsfInput>> resolve(std::string_view path) const {
        GRef<GsfInput> current(GSF_INPUT(g_object_ref(root.get())));
        if (path.empty()) return current;
        std::string_view parent;
        for (std::string_view name : split_path(path)) {
            if (!GSF_IS_INFILE(current.get()) || gsf_infile_num_children(GSF_INFILE(current.get())) < 0) {
                return lumora::fail(not_found(name, parent));
            }
            GsfInfile* storage = GSF_INFILE(current.get());
            int count = gsf_infile_num_children(storage);
            int match = -1;
            for (int i = 0; i < count && match < 0; ++i) {
                const char* child_name = gsf_infile_name_by_index(storage, i);
                if (child_name && cfb_names_equal(child_name, name)) match = i;
            }
            if (match < 0) return lumora::fail(not_found(name, parent));
            GsfInput* child = gsf_infile_child_by_index(storage, match);
            if (!child) {
                return lumora::fail(CompoundError{CompoundError::Kind::Other,
                                                  "cannot open entry '" + std::string(path) + "'"});
            }
            current = GRef<GsfInput>(child);
            parent = path.substr(0, static_cast<std::size_t>(name.data() + name.size() - path.data()));
        }
        return current;
    }
};

struct CompoundStream::Impl {
    GRef<GsfInput> input;
    std::uint64_t file_size = 0;
};

CompoundFile::CompoundFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
CompoundFile::CompoundFile(CompoundFile&&) noexcept = default;
CompoundFile& CompoundFile::operator=(CompoundFile&&) noexcept = default;
CompoundFile::~CompoundFile() = default;

Result<CompoundFile> CompoundFile::open(const std::filesystem::path& path) {
    // O_NONBLOCK so that a FIFO given as the file cannot block the open.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(Error::io(IoError::from_errno(errno)));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int saved = errno;
        ::close(fd);
        return fail(Error::io(IoError::from_errno(saved)));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        // The library would copy a non-regular input into memory first, which
        // never ends on a FIFO or a character device.
        if (S_ISDIR(st.st_mode)) return fail(Error::io(IoError::from_errno(EISDIR)));
        return fail(Error::io(IoError{IoErrorKind::InvalidData, "not a regular file"}));
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (!file) {
        int saved = errno;
        ::close(fd);
        return fail(Error::io(IoError::from_errno(saved)));
    }
    const std::string name = to_display_text(path);
    // With keep_open false the input closes `file` when its last reference goes.
    GRef<GsfInput> input(gsf_input_stdio_new_FILE(name.c_str(), file, FALSE));
    if (!input) {
        std::fclose(file);
        return fail(Error::io(IoError{IoErrorKind::Other, "cannot open " + name}));
    }
    GError* error = nullptr;
    GRef<GsfInfile> root(gsf_infile_msole_new(input.get(), &error));
    if (!root) {
        return fail(Error::io(IoError{IoErrorKind::InvalidData, take_message(error, "not a compound file")}));
    }
    if (error) g_error_free(error);
    auto impl = std::make_unique<Impl>();
    impl->root = std::move(root);
    impl->file_size = static_cast<std::uint64_t>(st.st_size);
    return CompoundFile(std::move(impl));
}

CompoundResult<std::vector<CompoundEntry>> CompoundFile::children(std::string_view storage_path) const {
    auto entry = impl_->resolve(storage_path);
    if (!entry) return lumora::fail(std::move(entry).error());
    if (!GSF_IS_INFILE(entry->get()) || gsf_infile_num_children(GSF_INFILE(entry->get())) < 0) {
        return lumora::fail(CompoundError{CompoundError::Kind::NotFound,
                                          "'" + std::string(storage_path) + "' is a stream, not a storage"});
    }
    GsfInfile* storage = GSF_INFILE(entry->get());
    const int count = gsf_infile_num_children(storage);
    std::vector<CompoundEntry> entries;
    entries.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const char* name = gsf_infile_name_by_index(storage, i);
        GRef<GsfInput> child(gsf_infile_child_by_index(storage, i));
        CompoundEntry out{name ? name : "", std::nullopt};
        // A child the library cannot open is listed as a stream: it can hold
        // no readable entries of its own.
        if (child && GSF_IS_INFILE(child.get())) {
            int grandchildren = gsf_infile_num_children(GSF_INFILE(child.get()));
            if (grandchildren >= 0) out.child_count = static_cast<std::size_t>(grandchildren);
        }
        entries.push_back(std::move(out));
    }
    return entries;
}

CompoundResult<CompoundStream> CompoundFile::open_stream(std::string_view stream_path) const {
    auto entry = impl_->resolve(stream_path);
    if (!entry) return lumora::fail(std::move(entry).error());
    if (GSF_IS_INFILE(entry->get()) && gsf_infile_num_children(GSF_INFILE(entry->get())) >= 0) {
        return lumora::fail(CompoundError{CompoundError::Kind::NotFound,
                                          "'" + std::string(stream_path) + "' is a storage, not a stream"});
    }
    auto impl = std::make_unique<CompoundStream::Impl>();
    impl->input = std::move(entry).value();
    impl->file_size = impl_->file_size;
    return CompoundStream(std::move(impl));
}

CompoundStream::CompoundStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
CompoundStream::CompoundStream(CompoundStream&&) noexcept = default;
CompoundStream& CompoundStream::operator=(CompoundStream&&) noexcept = default;
CompoundStream::~CompoundStream() = default;

std::uint64_t CompoundStream::size() const noexcept {
    gsf_off_t size = gsf_input_size(impl_->input.get());
    return size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

CompoundResult<raw::Bytes> CompoundStream::read_all() {
    GsfInput* input = impl_->input.get();
    const std::uint64_t size = this->size();
    // gsf_input_seek reports failure as TRUE.
    if (gsf_input_seek(input, 0, G_SEEK_SET)) {
        return lumora::fail(CompoundError{CompoundError::Kind::Other, "cannot seek to the start of the stream"});
    }
    // A stream's content lies inside the file, so a recorded size beyond the
    // file's cannot be read; reading stops at the first short chunk anyway,
    // and reserving no more than the file avoids a huge allocation up front.
    raw::Bytes bytes;
    bytes.reserve(static_cast<std::size_t>(std::min(size, impl_->file_size)));
    constexpr std::uint64_t chunk = 1 << 20;
    std::uint64_t done = 0;
    while (done < size) {
        const std::uint64_t want = std::min(chunk, size - done);
        const std::size_t old_size = bytes.size();
        bytes.resize(old_size + want);
        if (!gsf_input_read(input, want, bytes.data() + old_size)) {
            return lumora::fail(CompoundError{
                CompoundError::Kind::Other,
                "cannot read " + std::to_string(want) + " bytes at offset " + std::to_string(done) +
                    " of a " + std::to_string(size) + "-byte stream"});
        }
        done += want;
    }
    return bytes;
}

std::optional<raw::Bytes> read_optional_stream(const CompoundFile& file, std::string_view stream_path) {
    constexpr std::string_view target = "corvex::reader";
    auto stream = file.open_stream(stream_path);
    if (!stream) {
        if (stream.error().kind == CompoundError::Kind::NotFound) return std::nullopt;
        log::warn(target, [&] {
            return "corvex: cannot open stream " + std::string(stream_path) + ": " + stream.error().message;
        });
        return std::nullopt;
    }
    auto bytes = stream->read_all();
    if (!bytes) {
        log::warn(target, [&] {
            return "corvex: failed to read stream " + std::string(stream_path) + ": " + bytes.error().message;
        });
        return std::nullopt;
    }
    return std::move(bytes).value();
}

}  // namespace corvex
