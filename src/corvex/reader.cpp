#include "corvex/reader.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <optional>

#include "corvex/compound_file.hpp"
#include "corvex/raw/summary_info.hpp"
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

namespace {

std::string sample_stream(std::string_view sample, std::string_view stream) {
    std::string path;
    path.reserve(sample_subtree.size() + sample.size() + stream.size() + 2);
    path.append(sample_subtree).append("/").append(sample).append("/").append(stream);
    return path;
}

constexpr std::string_view summary_information_stream = "\x05SummaryInformation";

// The first "IS" or "ISVF" parameter's sign; zero or NaN says nothing.
std::optional<lumora::Polarity> polarity_of(const std::vector<raw::SourceParameter>& parameters) {
    for (const raw::SourceParameter& parameter : parameters) {
        if (parameter.name != "IS" && parameter.name != "ISVF") continue;
        if (parameter.value > 0.0F) return lumora::Polarity::Positive;
        if (parameter.value < 0.0F) return lumora::Polarity::Negative;
        return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

std::string idx_stream(std::string_view sample) { return sample_stream(sample, "Idx"); }
std::string log_stream(std::string_view sample) { return sample_stream(sample, "Log"); }
std::string calibration_stream(std::string_view sample) { return sample_stream(sample, "TOFCalibrationData"); }
std::string dde_stream(std::string_view sample) { return sample_stream(sample, "DDERealTimeDataEx"); }

std::optional<std::string_view> final_component(std::string_view path) {
    for (;;) {
        while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
        if (path.size() > 2 && path.ends_with("/.")) {
            path.remove_suffix(2);
            continue;
        }
        break;
    }
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    return name;
}

std::optional<std::string_view> file_stem(std::string_view path) {
    auto name = final_component(path);
    if (!name) return std::nullopt;
    const std::size_t dot = name->rfind('.');
    if (dot == std::string_view::npos || dot == 0) return name;
    return name->substr(0, dot);
}

std::filesystem::path scan_file_path_for(const std::filesystem::path& path) {
    const std::string& text = path.native();
    auto name = final_component(text);
    const std::string scan_name = utf8_lossy(name.value_or("")) + ".scan";
    if (!name) return path / scan_name;
    const std::string_view parent(text.data(), static_cast<std::size_t>(name->data() - text.data()));
    return std::filesystem::path(std::string(parent) + scan_name);
}

Result<Reader> Reader::open(const std::filesystem::path& path) {
    auto names = list_samples(path);
    if (!names) return fail(std::move(names).error());
    if (names->empty()) {
        return fail(Error::parse("no sample subtrees found under '" + std::string(sample_subtree) + "' in " +
                                 to_display_text(path)));
    }
    if (names->size() > 1) {
        std::string joined;
        for (const std::string& name : *names) {
            if (!joined.empty()) joined += ", ";
            joined += name;
        }
        return fail(Error::parse(to_display_text(path) + " contains " + std::to_string(names->size()) +
                                 " samples (" + joined +
                                 "); Reader::open only supports a single-sample file - use "
                                 "Reader::open_sample to pick one"));
    }
    return open_sample(path, names->front());
}

Result<Reader> Reader::open_sample(const std::filesystem::path& path, std::string_view sample) {
    auto data = std::make_shared<SampleData>();
    data->scan_file_path = scan_file_path_for(path);
    // The scan data file is checked before the .wiff file is touched, so a
    // half-copied acquisition is reported as such whatever the .wiff holds.
    struct stat scan_stat {};
    if (::stat(data->scan_file_path.c_str(), &scan_stat) != 0) {
        return fail(Error::parse(".wiff.scan file not found: " + to_display_text(data->scan_file_path)));
    }
    data->scan_file_size = static_cast<std::uint64_t>(scan_stat.st_size);

    auto file = CompoundFile::open(path);
    if (!file) return fail(std::move(file).error());

    const std::string idx_path = idx_stream(sample);
    auto idx = file->open_stream(idx_path);
    if (!idx) return fail(Error::parse("Stream '" + idx_path + "' not found: " + idx.error().message));
    auto idx_bytes = idx->read_all();
    if (!idx_bytes) return fail(Error::io(IoError{IoErrorKind::Other, std::move(idx_bytes).error().message}));
    auto records = raw::IdxRecord::parse_stream(*idx_bytes);
    if (!records) return fail(Error::parse(std::move(records).error().message));
    data->idx_records = std::move(records).value();

    if (auto bytes = read_optional_stream(*file, summary_information_stream)) {
        data->creation_timestamp = raw::parse_create_timestamp(*bytes);
    }
    if (auto bytes = read_optional_stream(*file, log_stream(sample))) {
        data->instrument_info = raw::parse_instrument_info(*bytes);
    }
    if (auto bytes = read_optional_stream(*file, calibration_stream(sample))) {
        data->calibration = raw::Calibration::from_bytes(*bytes);
    }
    if (auto bytes = read_optional_stream(*file, dde_stream(sample))) {
        data->dde_records = raw::DdeRecord::parse_stream(*bytes);
    }
    data->ion_source_parameters = raw::find_ion_source_parameters(
        [&file](std::string_view stream_path) { return read_optional_stream(*file, stream_path); });
    data->polarity = polarity_of(data->ion_source_parameters);
    const auto stem = file_stem(path.native());
    data->file_stem = stem ? utf8_lossy(*stem) : std::string("unknown");
    data->sample_name = std::string(sample);
    return Reader(std::move(data));
}

}  // namespace corvex
