#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corvex/compound_file.hpp"
#include "corvex/log.hpp"
#include "fixture_path.hpp"

namespace corvex {
namespace {

struct OpenFailureCase {
    const char* file;
    const char* display;
};

class CompoundOpenFailure : public testing::TestWithParam<OpenFailureCase> {};

TEST_P(CompoundOpenFailure, ReportsTheSystemOrLibraryText) {
    const auto& param = GetParam();
    std::filesystem::path path = *param.file == '/' ? std::filesystem::path(param.file) : fixture_path(param.file);
    auto file = CompoundFile::open(path);
    ASSERT_FALSE(file.ok());
    EXPECT_EQ(file.error().display(), param.display);
    ASSERT_NE(file.error().as<Error::Io>(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    BadFiles, CompoundOpenFailure,
    testing::Values(OpenFailureCase{"missing.cfb", "I/O error: No such file or directory (os error 2)"},
                    OpenFailureCase{"/", "I/O error: Is a directory (os error 21)"},
                    OpenFailureCase{"/dev/null", "I/O error: not a regular file"},
                    OpenFailureCase{"not_cfb.bin", "I/O error: No OLE2 signature"},
                    OpenFailureCase{"empty.bin", "I/O error: No OLE2 signature"}));

std::vector<std::pair<std::string, bool>> listing(const CompoundFile& file, std::string_view path) {
    auto children = file.children(path);
    EXPECT_TRUE(children.ok()) << (children.ok() ? "" : children.error().message);
    std::vector<std::pair<std::string, bool>> out;
    if (children.ok()) {
        for (const auto& entry : *children) out.emplace_back(entry.name, entry.is_storage());
    }
    return out;
}

TEST(CompoundFile, ListsDirectChildrenWithTheirKinds) {
    auto file = CompoundFile::open(fixture_path("samples.cfb"));
    ASSERT_TRUE(file.ok());
    auto root = listing(*file, "");
    EXPECT_EQ(root.size(), 2u);
    auto samples = listing(*file, "SampleSubtree");
    ASSERT_EQ(samples.size(), 7u);
    std::size_t storages = 0;
    for (const auto& [name, is_storage] : samples) {
        EXPECT_EQ(is_storage, name != "Notes") << name;
        storages += is_storage;
    }
    EXPECT_EQ(storages, 6u);
    auto children = file->children("SampleSubtree/Sample2");
    ASSERT_TRUE(children.ok());
    for (const auto& entry : *children) EXPECT_FALSE(entry.child_count.has_value()) << entry.name;
    auto empty_storage = file->children("SampleSubtree/Blank");
    ASSERT_TRUE(empty_storage.ok());
    EXPECT_TRUE(empty_storage->empty());
}

TEST(CompoundFile, ChildrenOfAMissingStorageOrAStreamFail) {
    auto file = CompoundFile::open(fixture_path("samples.cfb"));
    ASSERT_TRUE(file.ok());
    for (const char* path : {"NoSuchStorage", "SampleSubtree/Notes", "SampleSubtree/Sample2/Idx/deeper"}) {
        auto children = file->children(path);
        ASSERT_FALSE(children.ok()) << path;
        EXPECT_EQ(children.error().kind, CompoundError::Kind::NotFound) << path;
        EXPECT_FALSE(children.error().message.empty());
    }
}

struct StreamCase {
    const char* path;
    std::size_t size;
};

class CompoundStreamRead : public testing::TestWithParam<StreamCase> {};

TEST_P(CompoundStreamRead, MatchesNamesCaseInsensitivelyAndReadsWhole) {
    auto file = CompoundFile::open(fixture_path("samples.cfb"));
    ASSERT_TRUE(file.ok());
    auto stream = file->open_stream(GetParam().path);
    ASSERT_TRUE(stream.ok()) << stream.error().message;
    auto bytes = stream->read_all();
    ASSERT_TRUE(bytes.ok()) << bytes.error().message;
    ASSERT_EQ(bytes->size(), GetParam().size);
    for (std::size_t i = 0; i < bytes->size(); ++i) {
        ASSERT_EQ((*bytes)[i], static_cast<std::uint8_t>((i * 7 + 3) & 0xFF)) << "at " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, CompoundStreamRead,
                         testing::Values(StreamCase{"SampleSubtree/Sample2/Idx", 100},
                                         StreamCase{"samplesubtree/SAMPLE2/idx", 100},
                                         StreamCase{"SampleSubtree/Sample2/Big", 70000},
                                         StreamCase{"SAMPLESUBTREE/sample2/bIG", 70000},
                                         StreamCase{"SampleSubtree/Sample2/Empty", 0},
                                         StreamCase{"\x05SummaryInformation", 48},
                                         StreamCase{"\x05summaryinformation", 48}));

TEST(CompoundFile, MissingEntriesAndStoragesAreNotFound) {
    auto file = CompoundFile::open(fixture_path("samples.cfb"));
    ASSERT_TRUE(file.ok());
    for (const char* path : {"SampleSubtree/Sample9/Idx", "SampleSubtree/Sample2/Log", "SampleSubtree/Sample2",
                             "SampleSubtree", "", "SampleSubtree//Idx", "SampleSubtree/Sample2/Idx/x"}) {
        auto stream = file->open_stream(path);
        ASSERT_FALSE(stream.ok()) << path;
        EXPECT_EQ(stream.error().kind, CompoundError::Kind::NotFound) << path;
    }
}

class LogCapture {
public:
    LogCapture() {
        log::set_max_level(log::Level::Trace);
        log::set_sink([this](log::Level level, std::string_view target, std::string_view message) {
            records.push_back(std::to_string(static_cast<int>(level)) + "|" + std::string(target) + "|" +
                              std::string(message));
        });
    }
    ~LogCapture() {
        log::set_sink(nullptr);
        log::set_max_level(log::Level::Off);
    }
    std::vector<std::string> records;
};

TEST(ReadOptionalStream, GivesTheBytesOrNothingWithoutAWarningWhenMissing) {
    auto file = CompoundFile::open(fixture_path("samples.cfb"));
    ASSERT_TRUE(file.ok());
    LogCapture capture;
    auto present = read_optional_stream(*file, "SampleSubtree/Sample2/Idx");
    ASSERT_TRUE(present.has_value());
    EXPECT_EQ(present->size(), 100u);
    EXPECT_FALSE(read_optional_stream(*file, "SampleSubtree/Sample2/Log").has_value());
    EXPECT_FALSE(read_optional_stream(*file, "MethodSubtree/1/ParameterData").has_value());
    // A storage where a stream is expected is as good as missing.
    EXPECT_FALSE(read_optional_stream(*file, "SampleSubtree/Sample2").has_value());
    EXPECT_TRUE(capture.records.empty());
}

TEST(LogFacade, IsOffUntilAHostRaisesTheLevel) {
    bool formatted = false;
    log::warn("corvex::reader", [&] {
        formatted = true;
        return std::string("x");
    });
    EXPECT_FALSE(formatted);
    LogCapture capture;
    log::warn("corvex::reader", [] { return std::string("corvex: cannot open stream a: b"); });
    ASSERT_EQ(capture.records.size(), 1u);
    EXPECT_EQ(capture.records[0], "2|corvex::reader|corvex: cannot open stream a: b");
}

}  // namespace
}  // namespace corvex
