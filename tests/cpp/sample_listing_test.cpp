#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corvex/reader.hpp"
#include "corvex/text.hpp"
#include "fixture_path.hpp"

namespace corvex {
namespace {

using Names = std::vector<std::string>;

struct OrderCase {
    Names input;
    Names sorted;
};

class SampleOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(SampleOrder, NumberedSamplesFirstThenByteOrder) {
    Names names = GetParam().input;
    sort_sample_names(names);
    EXPECT_EQ(names, GetParam().sorted);
}

INSTANTIATE_TEST_SUITE_P(
    Names, SampleOrder,
    testing::Values(
        OrderCase{{"Sample10", "Blank", "Sample2", "sample1", "Sample+3", "Sample-1"},
                  {"Sample2", "Sample+3", "Sample10", "Blank", "Sample-1", "sample1"}},
        // Not numbered: bare prefix, a space, a second sign, past 2^64 - 1.
        OrderCase{{"Sample18446744073709551616", "Sample 1", "Sample", "Sample++1", "Sample18446744073709551615"},
                  {"Sample18446744073709551615", "Sample", "Sample 1", "Sample++1", "Sample18446744073709551616"}},
        // Equal keys keep their listed order.
        OrderCase{{"Sample01", "Sample1", "Sample+1"}, {"Sample01", "Sample1", "Sample+1"}},
        OrderCase{{"Sample1", "Sample01"}, {"Sample1", "Sample01"}},
        // Bytes compare unsigned; a proper prefix sorts first.
        OrderCase{{"\xC3\xA9", "z", "ab", "a", "B"}, {"B", "a", "ab", "z", "\xC3\xA9"}},
        OrderCase{{}, {}}, OrderCase{{"only"}, {"only"}}));

TEST(ListSamples, ListsStoragesInOrderAndSkipsStreams) {
    auto names = Reader::list_samples(fixture_path("samples.cfb"));
    ASSERT_TRUE(names.ok()) << names.error().display();
    EXPECT_EQ(*names, (Names{"Sample2", "Sample+3", "Sample10", "Blank", "Sample-1", "sample1"}));
}

TEST(ListSamples, AStorageOfStreamsOnlyListsNothing) {
    auto names = Reader::list_samples(fixture_path("streams_only.cfb"));
    ASSERT_TRUE(names.ok());
    EXPECT_TRUE(names->empty());
}

TEST(ListSamples, MissingSampleSubtreeIsAParseError) {
    const auto path = fixture_path("no_subtree.cfb");
    auto names = Reader::list_samples(path);
    ASSERT_FALSE(names.ok());
    ASSERT_NE(names.error().as<Error::Parse>(), nullptr);
    const std::string prefix = "parse error: storage 'SampleSubtree' not found in " + path.string() + ": ";
    EXPECT_EQ(names.error().display().substr(0, prefix.size()), prefix);
    EXPECT_GT(names.error().display().size(), prefix.size());
}

TEST(ListSamples, FilesThatCannotBeReadAreIoErrors) {
    for (const char* name : {"missing.wiff", "not_cfb.bin", "empty.bin"}) {
        auto names = Reader::list_samples(fixture_path(name));
        ASSERT_FALSE(names.ok()) << name;
        EXPECT_NE(names.error().as<Error::Io>(), nullptr) << name;
        EXPECT_EQ(names.error().display().rfind("I/O error: ", 0), 0u) << name;
    }
}

struct LossyCase {
    std::string bytes;
    std::string text;
};

class Utf8Lossy : public testing::TestWithParam<LossyCase> {};

TEST_P(Utf8Lossy, ReplacesEachMaximalInvalidSubpart) { EXPECT_EQ(utf8_lossy(GetParam().bytes), GetParam().text); }

const std::string fffd = "\xEF\xBF\xBD";
INSTANTIATE_TEST_SUITE_P(
    Bytes, Utf8Lossy,
    testing::Values(LossyCase{"plain/path.wiff", "plain/path.wiff"}, LossyCase{"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
                    LossyCase{"a\xFF" "b", "a" + fffd + "b"},
                    LossyCase{"\xE2\x82", fffd},                 // truncated three-byte sequence
                    LossyCase{"\xE2\x82x", fffd + "x"},
                    LossyCase{"\xED\xA0\x80", fffd + fffd + fffd},  // encoded surrogate
                    LossyCase{"\xC0\xAF", fffd + fffd},             // overlong
                    LossyCase{"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
                    LossyCase{"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd}));

}  // namespace
}  // namespace corvex
