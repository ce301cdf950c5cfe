#include "lumora/error.hpp"

#include <cerrno>
#include <cstring>

namespace lumora {

IoError IoError::from_errno(int errno_value) {
    char buffer[256];
    // GNU strerror_r returns a pointer that may or may not be `buffer`.
    const char* text = strerror_r(errno_value, buffer, sizeof buffer);
    IoErrorKind kind = errno_value == ENOENT ? IoErrorKind::NotFound : IoErrorKind::Other;
    return {kind, std::string(text) + " (os error " + std::to_string(errno_value) + ")"};
}

Error Error::io(IoError error) {
    return Error(Kind::Io, std::make_shared<const Payload<IoError>>(std::move(error)));
}

Error Error::unsupported(std::string message) {
    return Error(Kind::Unsupported, std::make_shared<const Text>(std::move(message)));
}

Error Error::conformance(std::string message) {
    return Error(Kind::Conformance, std::make_shared<const Text>(std::move(message)));
}

std::string Error::display() const {
    std::string_view prefix;
    switch (kind_) {
        case Kind::Io: prefix = "I/O error: "; break;
        case Kind::Vendor: prefix = "vendor parser error: "; break;
        case Kind::Unsupported: prefix = "unsupported or unrecognized format: "; break;
        case Kind::Conformance: prefix = "conformance violation: "; break;
    }
    return std::string(prefix) + payload_->display();
}

}  // namespace lumora
