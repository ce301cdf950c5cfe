#include "corvex/error.hpp"

namespace corvex {

namespace {
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}
}  // namespace

std::string Error::display() const {
    return std::visit(
        Overloaded{
            [](const Io& e) { return "I/O error: " + e.error.message; },
            [](const Parse& e) { return "parse error: " + e.message; },
            [](const ScanRead& e) {
                return "cannot read scan block for scan=" + std::to_string(e.scan_number) +
                       " at offset " + std::to_string(e.offset) + ": " + e.source.message;
            },
        },
        kind_);
}

std::string Error::debug() const {
    return std::visit(
        Overloaded{
            [](const Io& e) { return "Io(" + quoted(e.error.message) + ")"; },
            [](const Parse& e) { return "Parse(" + quoted(e.message) + ")"; },
            [](const ScanRead& e) {
                return "ScanRead { scan_number: " + std::to_string(e.scan_number) +
                       ", offset: " + std::to_string(e.offset) +
                       ", source: " + quoted(e.source.message) + " }";
            },
        },
        kind_);
}

const IoError* Error::cause() const noexcept {
    if (auto* io = std::get_if<Io>(&kind_)) return &io->error;
    if (auto* scan = std::get_if<ScanRead>(&kind_)) return &scan->source;
    return nullptr;
}

}  // namespace corvex
