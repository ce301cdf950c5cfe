// Reading files by position: an owned descriptor and a read that retries
// until it has every byte asked for or meets the end of the file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lumora/error.hpp"
#include "lumora/result.hpp"

namespace lumora {

// Owns an open file descriptor and closes it on every path out.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    int get() const noexcept { return fd_; }
    // Hands the descriptor over to a new owner (fdopen, say); it is no
    // longer closed here.
    int release() noexcept;

private:
    int fd_;
};

// Reads up to `count` bytes at `offset` into `destination` with positioned
// reads, going on after interrupted and short reads, and returns how many it
// read: fewer than `count` only where the file ends.
Result<std::size_t, IoError> read_at(int fd, std::uint64_t offset, std::size_t count, void* destination);

}  // namespace lumora
