#include "lumora/file.hpp"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace lumora {

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

int FileDescriptor::release() noexcept { return std::exchange(fd_, -1); }

Result<std::size_t, IoError> read_at(int fd, std::uint64_t offset, std::size_t count, void* destination) {
    auto* out = static_cast<unsigned char*>(destination);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::pread(fd, out + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail(IoError::from_errno(errno));
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

}  // namespace lumora
