#include "engine/sha1.hpp"

#include <openssl/evp.h>

#include <new>

namespace corvex::engine {

void Sha1::FreeContext::operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }

Sha1::Sha1() : context_(EVP_MD_CTX_new()) {
    if (!context_) throw std::bad_alloc();
    closed_ = EVP_DigestInit_ex(context_.get(), EVP_sha1(), nullptr) != 1;
}

Sha1::~Sha1() = default;
Sha1::Sha1(Sha1&&) noexcept = default;
Sha1& Sha1::operator=(Sha1&&) noexcept = default;

bool Sha1::update(const void* data, std::size_t size) noexcept {
    if (!closed_ && size > 0) closed_ = EVP_DigestUpdate(context_.get(), data, size) != 1;
    return !closed_;
}

std::optional<std::string> Sha1::hex_digest() noexcept {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (closed_ || EVP_DigestFinal_ex(context_.get(), digest, &length) != 1) {
        closed_ = true;
        return std::nullopt;
    }
    closed_ = true;
    try {
        static constexpr char hex[] = "0123456789abcdef";
        std::string text(2 * length, '0');
        for (unsigned int i = 0; i < length; ++i) {
            text[2 * i] = hex[digest[i] >> 4];
            text[2 * i + 1] = hex[digest[i] & 0xF];
        }
        return text;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace corvex::engine
