// A directory of a test's own under the system's temporary directory, made
// when the test sets up and removed with everything in it when it ends.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>

class ScratchDir {
public:
    // `label` tells the test apart from the others running in this process;
    // the process id tells concurrent runs apart. A '/' in the label (the
    // names of parameterised tests have one) would make a nested directory
    // whose parent is never removed, so it becomes '_'.
    explicit ScratchDir(std::string label)
        : path_(std::filesystem::temp_directory_path() / ("corvex_" + flattened(std::move(label)) + "_" +
                                                          std::to_string(::getpid()))) {
        std::filesystem::create_directory(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

private:
    static std::string flattened(std::string label) {
        std::replace(label.begin(), label.end(), '/', '_');
        return label;
    }

    std::filesystem::path path_;
};
