#include "engine/output_file.hpp"

#include <unistd.h>

#include <cerrno>

namespace corvex::engine {

OutputFile::OutputFile(int fd, std::size_t buffer_bytes) : fd_(fd), buffer_bytes_(buffer_bytes) {
    buffer_.reserve(buffer_bytes_);
}

int OutputFile::write(std::string_view text) {
    if (error_ != 0) return error_;
    if (buffer_.size() + text.size() <= buffer_bytes_) {
        buffer_ += text;
        return 0;
    }
    if (flush() != 0) return error_;
    // Text as large as the buffer goes out as it is, without a copy.
    if (text.size() >= buffer_bytes_) return write_out(text);
    buffer_ += text;
    return 0;
}

int OutputFile::flush() {
    if (error_ != 0 || buffer_.empty()) return error_;
    write_out(buffer_);
    buffer_.clear();
    return error_;
}

int OutputFile::write_out(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            error_ = errno;
            return error_;
        }
        if (written == 0) {  // no progress and no reason: give up rather than spin
            error_ = EIO;
            return error_;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

}  // namespace corvex::engine
