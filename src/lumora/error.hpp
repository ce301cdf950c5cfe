// Error values of the record model: the I/O error shared by every layer and
// the error type of the source interface.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>

namespace lumora {

enum class IoErrorKind {
    NotFound,
    UnexpectedEof,
    InvalidData,
    Other,
};

// An I/O failure from the operating system, the compound-file library or the
// reader itself. It is a plain value: kind and text, nothing held open.
struct IoError {
    IoErrorKind kind = IoErrorKind::Other;
    std::string message;

    // The operating system's text for errno, as "<strerror> (os error N)".
    static IoError from_errno(int errno_value);

    const std::string& display() const noexcept { return message; }
};

// The error type of the source interface. `Vendor` wraps whatever error a
// format reader produced, keeping it whole so callers can still look inside.
class Error {
public:
    enum class Kind { Io, Vendor, Unsupported, Conformance };

    static Error io(IoError error);
    template <class VendorError>
    static Error vendor(VendorError error) {
        return Error(Kind::Vendor, std::make_shared<const Payload<VendorError>>(std::move(error)));
    }
    static Error unsupported(std::string message);
    static Error conformance(std::string message);

    Kind kind() const noexcept { return kind_; }
    std::string display() const;

    // The wrapped reader error, if this is a `Vendor` error holding one of
    // type VendorError.
    template <class VendorError>
    const VendorError* vendor_error() const noexcept {
        auto* payload = dynamic_cast<const Payload<VendorError>*>(payload_.get());
        return payload ? &payload->value : nullptr;
    }

private:
    struct PayloadBase {
        virtual ~PayloadBase() = default;
        virtual std::string display() const = 0;
    };
    template <class T>
    struct Payload final : PayloadBase {
        explicit Payload(T v) : value(std::move(v)) {}
        std::string display() const override { return value.display(); }
        T value;
    };
    struct Text final : PayloadBase {
        explicit Text(std::string t) : text(std::move(t)) {}
        std::string display() const override { return text; }
        std::string text;
    };

    Error(Kind kind, std::shared_ptr<const PayloadBase> payload)
        : kind_(kind), payload_(std::move(payload)) {}

    Kind kind_;
    // Immutable once built, so sharing it between copies is safe across threads.
    std::shared_ptr<const PayloadBase> payload_;
};

}  // namespace lumora
