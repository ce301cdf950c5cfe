// A compound file whose root entry has sibling links is damaged (MS-CFB
// allows none) and must be refused before the library builds entries that
// it never frees. The files are copies of a fixture with the root entry's
// links rewritten.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "corvex/compound_file.hpp"
#include "corvex/reader.hpp"
#include "fixture_path.hpp"
#include "scratch_dir.hpp"

namespace {

using corvex::CompoundFile;

constexpr std::uint32_t no_stream = 0xFFFFFFFF;

std::uint32_t get32(const std::vector<char>& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

void put32(std::vector<char>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

struct RootLinks {
    const char* label;
    std::uint32_t left;
    std::uint32_t right;
    bool refused;
};

class RootEntrySiblings : public testing::TestWithParam<RootLinks> {
protected:
    ScratchDir dir_{std::string("root_siblings_") + GetParam().label};

    // samples.cfb with the root entry's sibling ids replaced.
    std::filesystem::path write_copy(const RootLinks& links) {
        std::ifstream in(fixture_path("samples.cfb"), std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_GE(bytes.size(), 1024U);
        EXPECT_EQ(bytes[30], 9);  // 512-byte sectors
        const std::size_t root = (static_cast<std::size_t>(get32(bytes, 48)) + 1) * 512;
        EXPECT_EQ(get32(bytes, root + 68), no_stream);
        EXPECT_EQ(get32(bytes, root + 72), no_stream);
        put32(bytes, root + 68, links.left);
        put32(bytes, root + 72, links.right);
        const auto path = dir_ / "run.wiff";
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

};

TEST_P(RootEntrySiblings, AreRefusedAsADamagedFile) {
    const RootLinks& links = GetParam();
    const auto path = write_copy(links);
    auto file = CompoundFile::open(path);
    auto names = corvex::Reader::list_samples(path);
    if (!links.refused) {
        ASSERT_TRUE(file.ok()) << file.error().display();
        ASSERT_TRUE(names.ok()) << names.error().display();
        EXPECT_FALSE(names->empty());
        return;
    }
    ASSERT_FALSE(file.ok());
    ASSERT_NE(file.error().as<corvex::Error::Io>(), nullptr);
    EXPECT_EQ(file.error().display(), "I/O error: the compound file's root entry has siblings");
    ASSERT_FALSE(names.ok());
    EXPECT_EQ(names.error().display(), file.error().display());
}

INSTANTIATE_TEST_SUITE_P(
    Links, RootEntrySiblings,
    testing::Values(RootLinks{"none", no_stream, no_stream, false}, RootLinks{"right", no_stream, 1, true},
                    RootLinks{"left", 1, no_stream, true}, RootLinks{"both", 2, 3, true},
                    // Out of range or a self-reference is as invalid as a real entry.
                    RootLinks{"self", 0, no_stream, true}, RootLinks{"far", no_stream, 0xFFFFFFFA, true}),
    [](const testing::TestParamInfo<RootLinks>& info) { return std::string(info.param.label); });

}  // namespace
