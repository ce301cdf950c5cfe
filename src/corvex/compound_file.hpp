// Read-only access to an MS-CFB compound file. This is the only unit that
// talks to the compound-file library; everything else sees paths and bytes.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvex/error.hpp"
#include "corvex/raw/bytes.hpp"

namespace corvex {

struct CompoundError {
    enum class Kind { NotFound, Other };
    Kind kind = Kind::Other;
    std::string message;

    const std::string& display() const noexcept { return message; }
};

template <class T>
using CompoundResult = lumora::Result<T, CompoundError>;

struct CompoundEntry {
    std::string name;  // UTF-8
    // Number of children for a storage; absent for a stream.
    std::optional<std::size_t> child_count;

    bool is_storage() const noexcept { return child_count.has_value(); }
};

class CompoundStream;

class CompoundFile {
public:
    // Opens the file and validates its compound-file structure. A file that
    // cannot be opened gives the system's error; one that is not a valid
    // compound file gives the library's text (as an Io error).
    static Result<CompoundFile> open(const std::filesystem::path& path);

    CompoundFile(CompoundFile&&) noexcept;
    CompoundFile& operator=(CompoundFile&&) noexcept;
    ~CompoundFile();

    // Direct children of the storage at `storage_path` ("/"-separated from the
    // root; "" is the root), in the library's order.
    CompoundResult<std::vector<CompoundEntry>> children(std::string_view storage_path) const;

    // Opens the stream at `stream_path`. Names compare case-insensitively,
    // as MS-CFB prescribes. A missing entry, or a storage at that path, is
    // reported with Kind::NotFound.
    CompoundResult<CompoundStream> open_stream(std::string_view stream_path) const;

    struct Impl;

private:
    explicit CompoundFile(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

class CompoundStream {
public:
    CompoundStream(CompoundStream&&) noexcept;
    CompoundStream& operator=(CompoundStream&&) noexcept;
    ~CompoundStream();

    std::uint64_t size() const noexcept;
    // The whole stream from its start.
    CompoundResult<raw::Bytes> read_all();

    struct Impl;

private:
    friend class CompoundFile;
    explicit CompoundStream(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The whole stream at `stream_path`, or nothing when it is missing (silently)
// or cannot be opened or read (with a warning under the target corvex::reader).
std::optional<raw::Bytes> read_optional_stream(const CompoundFile& file, std::string_view stream_path);

}  // namespace corvex
