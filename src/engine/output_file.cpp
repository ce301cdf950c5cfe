#include "engine/output_file.hpp"

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>

namespace corvex::engine {

int write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (written == 0) return EIO;  // no progress and no reason: give up rather than spin
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

OutputFile::OutputFile(int fd, std::size_t buffer_bytes)
    : fd_(fd), buffer_bytes_(buffer_bytes == 0 ? 1 : buffer_bytes), owner_(::getpid()) {
    buffer_.reserve(buffer_bytes_);
}

OutputFile::~OutputFile() {
    if (!writer_.joinable()) return;
    // In a forked child the thread does not exist; joining it would never return.
    if (owner_ != ::getpid()) {
        (void)new std::thread(std::move(writer_));
        return;
    }
    writer_.join();
}

int OutputFile::wait() {
    if (writer_.joinable()) {
        writer_.join();
        if (writer_error_ != 0 && error_ == 0) error_ = writer_error_;
    }
    return error_;
}

int OutputFile::hand_over() {
    if (wait() != 0) return error_;
    in_flight_.swap(buffer_);
    buffer_.clear();
    buffer_.reserve(buffer_bytes_);
    try {
        writer_ = std::thread([this] { writer_error_ = write_all(fd_, in_flight_); });
    } catch (const std::system_error&) {
        // No thread to be had: write it here.
        writer_error_ = write_all(fd_, in_flight_);
        error_ = writer_error_;
    }
    return error_;
}

int OutputFile::write(std::string_view text) {
    if (error_ != 0) return error_;
    while (buffer_.size() + text.size() >= buffer_bytes_) {
        const std::size_t room = buffer_bytes_ - buffer_.size();
        buffer_.append(text.substr(0, room));
        text.remove_prefix(room);
        if (hand_over() != 0) return error_;
    }
    buffer_ += text;
    return 0;
}

int OutputFile::flush() {
    if (error_ != 0) return error_;
    if (!buffer_.empty() && hand_over() != 0) return error_;
    return wait();
}

}  // namespace corvex::engine
