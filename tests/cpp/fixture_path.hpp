// Locates the compound files written for the tests by make_compound_fixtures.py.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

inline std::filesystem::path fixture_path(const std::string& name) {
    const char* dir = std::getenv("CORVEX_FIXTURE_DIR");
    return std::filesystem::path(dir ? dir : "fixtures") / name;
}
