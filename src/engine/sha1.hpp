// SHA-1 of a byte stream fed in pieces, for mzML's <fileChecksum>. OpenSSL's
// libcrypto computes it.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

struct evp_md_ctx_st;

namespace corvex::engine {

class Sha1 {
public:
    // Throws std::bad_alloc when OpenSSL cannot allocate its context.
    Sha1();
    ~Sha1();
    Sha1(Sha1&&) noexcept;
    Sha1& operator=(Sha1&&) noexcept;

    // false when the digest failed (it then stays failed) or was finished.
    bool update(const void* data, std::size_t size) noexcept;

    // The digest of everything fed so far as 40 lower-case hex digits, or
    // nothing after a failure. Ends the stream: feed no more afterwards.
    std::optional<std::string> hex_digest() noexcept;

private:
    struct FreeContext {
        void operator()(evp_md_ctx_st* context) const noexcept;
    };
    std::unique_ptr<evp_md_ctx_st, FreeContext> context_;
    bool closed_ = false;  // failed, or finished by hex_digest()
};

}  // namespace corvex::engine
