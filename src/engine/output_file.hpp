// Buffered writing to a file descriptor the caller opened and will close:
// text is gathered into large writes, each retried until complete.
//
// A full buffer goes out on a thread of its own while the caller fills the
// other one: copying the bytes into the page cache costs about as much as
// producing them, and the caller (which also hashes what it writes) need
// not wait for it. At most one write is in flight; bytes reach the file in
// the order they were given.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

namespace corvex::engine {

class OutputFile {
public:
    static constexpr std::size_t default_buffer_bytes = 4 << 20;

    explicit OutputFile(int fd, std::size_t buffer_bytes = default_buffer_bytes);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // Waits for a write in flight; does not flush what is buffered.
    ~OutputFile();

    // Each returns 0, or the errno of a write that failed, perhaps one of
    // text given earlier, which was still on its way; after a failure every
    // call returns that errno and writes nothing more. flush() returns once
    // every byte given is in the file (or has failed).
    int write(std::string_view text);
    int flush();
    // Returns once no write is in flight (what is buffered stays buffered),
    // with the outcome of that write: before the caller may close the file
    // or give up on it.
    int wait();

    int error() const noexcept { return error_; }

private:
    // Sends the filled buffer on its way and gives the caller the other one.
    int hand_over();

    int fd_;
    std::size_t buffer_bytes_;
    std::string buffer_;     // being filled by the caller
    std::string in_flight_;  // being written by writer_
    std::thread writer_;
    int writer_error_ = 0;   // set by writer_, read once it is joined
    pid_t owner_;            // the process whose thread writer_ is
    int error_ = 0;
};

// Writes all of `bytes` to `fd`, retrying short writes and EINTR; 0 or the errno.
int write_all(int fd, std::string_view bytes);

}  // namespace corvex::engine
