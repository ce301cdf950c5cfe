#include "corvex/compound_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-input-proxy.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-input.h>

#include "corvex/log.hpp"
#include "corvex/text.hpp"
#include "lumora/file.hpp"

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

// The compound-file library builds its directory tree at open by recursion
// over the left-sibling, right-sibling and child links, one stack frame per
// link followed, and keeps each storage's children in a sorted list that it
// fills by linear insertion. A damaged file whose links form a long path
// overflows the stack, and one with a huge number of siblings in a storage
// takes time quadratic in that number. It also builds the entries reached
// through sibling links of the root entry (which MS-CFB forbids) with no
// parent storage to hold them, and never frees them. The directory is
// therefore walked here first, in the library's own order and without
// recursion, and refused in those cases; balanced trees of real acquisitions
// stay far below the limits.
constexpr std::uint32_t max_directory_depth = 2048;
constexpr std::uint64_t max_storage_children = 8192;

using raw::load_le;

bool read_exact(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
    const auto got = lumora::read_at(fd, offset, size, buffer);
    return got && *got == size;
}

// Why the directory of the compound file open on `fd` is beyond the limits
// above, or nothing. Anything that cannot be followed here (no signature, a
// broken chain) is left to the library, which reports it; only the part of
// the directory that can be read is checked.
std::optional<std::string> directory_problem(int fd, std::uint64_t file_size) {
    static constexpr unsigned char signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    unsigned char header[512];
    if (!read_exact(fd, header, sizeof header, 0) || std::memcmp(header, signature, sizeof signature) != 0) {
        return std::nullopt;
    }
    // MS-CFB allows sectors of 2^9 and 2^12 bytes; the library takes any
    // shift from 6 to 30. Beyond 2^20 the walk is left to the library rather
    // than reading sectors that large here.
    const unsigned shift = static_cast<unsigned>(header[30]) | static_cast<unsigned>(header[31]) << 8;
    if (shift < 6 || shift > 20) return std::nullopt;
    const std::uint64_t sector_size = std::uint64_t{1} << shift;
    const std::uint64_t ids_per_sector = sector_size / 4;
    // Sector s starts after the header sector, which is never shorter than
    // the 512-byte header; no chain is longer than the sectors in the file.
    const std::uint64_t first_sector_offset = std::max<std::uint64_t>(sizeof header, sector_size);
    if (file_size <= first_sector_offset) return std::nullopt;
    const std::uint64_t sector_count = (file_size - first_sector_offset) / sector_size;
    auto sector_offset = [&](std::uint64_t sector) { return first_sector_offset + sector * sector_size; };

    // Where the FAT lies: the header's 109 slots, then the DIFAT chain.
    const std::uint64_t fat_sectors_wanted = std::min<std::uint64_t>(load_le<std::uint32_t>(header + 44), sector_count);
    std::vector<std::uint32_t> fat_sectors;
    for (std::uint64_t i = 0; i < 109 && fat_sectors.size() < fat_sectors_wanted; ++i) {
        fat_sectors.push_back(load_le<std::uint32_t>(header + 76 + 4 * i));
    }
    std::vector<unsigned char> buffer(sector_size);
    // Sets rather than bitmaps: a sparse file may claim a huge sector count.
    std::unordered_set<std::uint64_t> seen_difat;
    for (std::uint64_t difat = load_le<std::uint32_t>(header + 68);
         fat_sectors.size() < fat_sectors_wanted && difat < sector_count && seen_difat.insert(difat).second;) {
        if (!read_exact(fd, buffer.data(), sector_size, sector_offset(difat))) break;
        for (std::uint64_t i = 0; i + 1 < ids_per_sector && fat_sectors.size() < fat_sectors_wanted; ++i) {
            fat_sectors.push_back(load_le<std::uint32_t>(buffer.data() + 4 * i));
        }
        difat = load_le<std::uint32_t>(buffer.data() + sector_size - 4);
    }
    auto next_sector = [&](std::uint64_t sector) -> std::optional<std::uint64_t> {
        const std::uint64_t fat_index = sector / ids_per_sector;
        if (fat_index >= fat_sectors.size() || fat_sectors[fat_index] >= sector_count) return std::nullopt;
        unsigned char entry[4];
        if (!read_exact(fd, entry, 4, sector_offset(fat_sectors[fat_index]) + 4 * (sector % ids_per_sector))) {
            return std::nullopt;
        }
        return load_le<std::uint32_t>(entry);
    };

    // The directory entries: type, left sibling, right sibling, child.
    struct Entry {
        std::uint8_t type;
        std::uint32_t left, right, child;
    };
    std::vector<Entry> entries;
    std::unordered_set<std::uint64_t> seen_directory;
    for (std::optional<std::uint64_t> sector = load_le<std::uint32_t>(header + 48);
         sector && *sector < sector_count && seen_directory.insert(*sector).second;
         sector = next_sector(*sector)) {
        if (!read_exact(fd, buffer.data(), sector_size, sector_offset(*sector))) break;
        for (std::uint64_t at = 0; at + 128 <= sector_size; at += 128) {
            const unsigned char* entry = buffer.data() + at;
            entries.push_back({entry[66], load_le<std::uint32_t>(entry + 68), load_le<std::uint32_t>(entry + 72),
                               load_le<std::uint32_t>(entry + 76)});
        }
    }
    if (entries.empty()) return std::nullopt;
    constexpr std::uint32_t no_stream = 0xFFFFFFFF;
    if (entries[0].left != no_stream || entries[0].right != no_stream) {
        return std::string("the compound file's root entry has siblings");
    }

    // Depth-first from the root entry, left before right before child, as the
    // library recurses; an entry is entered once.
    struct Visit {
        std::uint32_t entry;
        std::uint32_t depth;  // stack frames the library would be using
        std::uint32_t storage;
    };
    constexpr std::uint8_t storage_type = 1;
    constexpr std::uint8_t root_type = 5;
    std::vector<bool> seen(entries.size());
    std::vector<std::uint64_t> children(entries.size());
    std::vector<Visit> pending{{0, 1, 0}};
    while (!pending.empty()) {
        const Visit visit = pending.back();
        pending.pop_back();
        if (visit.entry >= entries.size() || seen[visit.entry]) continue;
        seen[visit.entry] = true;
        if (visit.depth > max_directory_depth) {
            return "compound file directory links nest more than " + std::to_string(max_directory_depth) +
                   " entries deep";
        }
        if (visit.entry != 0 && ++children[visit.storage] > max_storage_children) {
            return "compound file storage has more than " + std::to_string(max_storage_children) + " entries";
        }
        const Entry& entry = entries[visit.entry];
        if (entry.type == storage_type || entry.type == root_type) {
            pending.push_back({entry.child, visit.depth + 1, visit.entry});
        }
        pending.push_back({entry.right, visit.depth + 1, visit.storage});
        pending.push_back({entry.left, visit.depth + 1, visit.storage});
    }
    return std::nullopt;
}

// How many calls into the library the current thread is inside. Some of its
// messages carry no log domain, like every domain-less message of the host
// process; this tells ours apart.
thread_local int library_call_depth = 0;

// Marks the calling thread as inside the library while it lives.
class LibraryCall {
public:
    LibraryCall() noexcept { ++library_call_depth; }
    ~LibraryCall() { --library_call_depth; }
    LibraryCall(const LibraryCall&) = delete;
    LibraryCall& operator=(const LibraryCall&) = delete;
};

// Called from GLib's C frames, which an exception must not cross: a message
// that cannot be formatted (out of memory) is dropped.
void forward_to_log(const gchar* log_domain, const gchar* message) noexcept {
    try {
        log::warn("corvex::reader", [&] {
            return std::string("corvex: ") + (log_domain ? log_domain : "libgsf") + ": " + (message ? message : "");
        });
    } catch (...) {
    }
}

// GLib's default handler before ours; messages that are not the library's go on to it.
std::atomic<GLogFunc> previous_default_handler{nullptr};

// GLib calls the default handler for messages of a domain without a handler
// of its own. A domain-less message raised on a thread inside a library call
// is the library's; anything else is passed on unchanged. GLib does not hand
// out the user data of the handler it replaces, so a host's own default
// handler gets none.
void route_default_message(const gchar* log_domain, GLogLevelFlags level, const gchar* message, gpointer) {
    if (log_domain == nullptr && library_call_depth > 0) {
        forward_to_log(log_domain, message);
        return;
    }
    const GLogFunc previous = previous_default_handler.load(std::memory_order_acquire);
    (previous ? previous : g_log_default_handler)(log_domain, level, message, nullptr);
}

// One-time setup of the library, done before its first use from any thread.
//
// Its GObject types are registered lazily on first use without a lock, so
// two threads opening their first files at once (several streaming
// iterators) could register a type twice and crash; they are registered
// here, under call_once, instead.
//
// It reports damage it meets (broken chains, bad sizes) through GLib's
// logging, which writes to stderr by default. Its messages, with its log
// domains or without one (see route_default_message), go to this module's
// logging facade instead, which is silent unless a host attaches a sink; the
// errors themselves still reach callers as values.
void prepare_library() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (GType type : {gsf_input_get_type(), gsf_infile_get_type(), gsf_input_stdio_get_type(),
                           gsf_infile_msole_get_type(), gsf_input_memory_get_type(),
                           gsf_input_proxy_get_type()}) {
            g_type_class_unref(g_type_class_ref(type));
        }
        constexpr GLogLevelFlags levels =
            static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION);
        for (const char* domain : {"libgsf", "libgsf:msole"}) {
            g_log_set_handler(
                domain, levels,
                [](const gchar* log_domain, GLogLevelFlags, const gchar* message, gpointer) {
                    forward_to_log(log_domain, message);
                },
                nullptr);
        }
        previous_default_handler.store(g_log_set_default_handler(route_default_message, nullptr),
                                       std::memory_order_release);
    });
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
    prepare_library();
    const LibraryCall in_library;
    // O_NONBLOCK so that a FIFO given as the file cannot block the open.
    lumora::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return fail(Error::io(IoError::from_errno(errno)));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return fail(Error::io(IoError::from_errno(errno)));
    if (!S_ISREG(st.st_mode)) {
        // The library would copy a non-regular input into memory first, which
        // never ends on a FIFO or a character device.
        if (S_ISDIR(st.st_mode)) return fail(Error::io(IoError::from_errno(EISDIR)));
        return fail(Error::io(IoError{IoErrorKind::InvalidData, "not a regular file"}));
    }
    if (auto problem = directory_problem(fd.get(), static_cast<std::uint64_t>(st.st_size))) {
        return fail(Error::io(IoError{IoErrorKind::InvalidData, std::move(*problem)}));
    }
    std::FILE* file = ::fdopen(fd.get(), "rb");
    if (!file) return fail(Error::io(IoError::from_errno(errno)));
    fd.release();  // the stream owns it now
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
    const LibraryCall in_library;
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
    const LibraryCall in_library;
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
    const LibraryCall in_library;
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
