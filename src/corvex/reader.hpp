// The WIFF reader: sample discovery and, per sample, an immutable reader of
// every decoded value.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "corvex/error.hpp"

namespace corvex {

// The storage that holds one child storage per sample.
inline constexpr std::string_view sample_subtree = "SampleSubtree";

class Reader {
public:
    // The sample names of a .wiff file, numbered "Sample" names first.
    static Result<std::vector<std::string>> list_samples(const std::filesystem::path& path);
};

// Sorts in place, stably: names "Sample<n>" (n an unsigned 64-bit decimal,
// optionally with one leading '+') first by n, then every other name in
// byte order.
void sort_sample_names(std::vector<std::string>& names);

}  // namespace corvex
