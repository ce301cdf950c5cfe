#include "corvex/reader.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "corvex/compound_file.hpp"
#include "corvex/text.hpp"

namespace corvex {

namespace {

// The n of "Sample<n>", when the name is exactly that.
std::optional<std::uint64_t> sample_number(std::string_view name) {
    constexpr std::string_view prefix = "Sample";
    if (!name.starts_with(prefix)) return std::nullopt;
    std::string_view digits = name.substr(prefix.size());
    if (digits.starts_with('+')) digits.remove_prefix(1);
    if (digits.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

struct SampleKey {
    int rank;  // 0 for numbered names, 1 for the rest
    std::uint64_t number;
    std::string_view text;

    // Text compares as unsigned bytes, a proper prefix first.
    auto operator<=>(const SampleKey& other) const {
        if (auto c = rank <=> other.rank; c != 0) return c;
        if (auto c = number <=> other.number; c != 0) return c;
        return std::lexicographical_compare_three_way(
            text.begin(), text.end(), other.text.begin(), other.text.end(),
            [](char a, char b) { return static_cast<unsigned char>(a) <=> static_cast<unsigned char>(b); });
    }
};

SampleKey key_of(std::string_view name) {
    if (auto number = sample_number(name)) return {0, *number, {}};
    return {1, 0, name};
}

}  // namespace

void sort_sample_names(std::vector<std::string>& names) {
    if (names.size() < 2) return;
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string& a, const std::string& b) { return key_of(a) < key_of(b); });
}

Result<std::vector<std::string>> Reader::list_samples(const std::filesystem::path& path) {
    auto file = CompoundFile::open(path);
    if (!file) return fail(std::move(file).error());
    auto children = file->children(sample_subtree);
    if (!children) {
        return fail(Error::parse("storage '" + std::string(sample_subtree) + "' not found in " +
                                 to_display_text(path) + ": " + children.error().message));
    }
    std::vector<std::string> names;
    names.reserve(children->size());
    for (CompoundEntry& entry : *children) {
        if (entry.is_storage()) names.push_back(std::move(entry.name));
    }
    sort_sample_names(names);
    return names;
}

}  // namespace corvex
