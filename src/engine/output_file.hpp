// Buffered writing to a file descriptor the caller opened and will close:
// text is gathered into large writes, each retried until complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvex::engine {

class OutputFile {
public:
    static constexpr std::size_t default_buffer_bytes = 4 << 20;

    explicit OutputFile(int fd, std::size_t buffer_bytes = default_buffer_bytes);

    // Each returns 0, or the errno of the write that failed; after a failure
    // every call returns that errno and writes nothing more.
    int write(std::string_view text);
    int flush();

    int error() const noexcept { return error_; }

private:
    int write_out(std::string_view bytes);

    int fd_;
    std::size_t buffer_bytes_;
    std::string buffer_;
    int error_ = 0;
};

}  // namespace corvex::engine
