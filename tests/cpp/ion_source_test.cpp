#include "corvex/raw/ion_source.hpp"

#include <gtest/gtest.h>

#include <map>

#include "byte_builder.hpp"

namespace corvex::raw {
namespace {

using test::ByteBuilder;

// A ParameterData stream: name length at 34, name at 36, value after it.
Bytes parameter_stream(std::string_view ascii_name, float value) {
    ByteBuilder b(36, 0x5A);
    b.put<std::uint16_t>(34, static_cast<std::uint16_t>(2 * ascii_name.size()));
    b.put_utf16(36, ascii_name).put<float>(36 + 2 * ascii_name.size(), value);
    return b.bytes;
}

struct FromBytesCase {
    const char* name;
    Bytes bytes;
    std::optional<SourceParameter> expected;
};

class SourceParameterFromBytes : public ::testing::TestWithParam<FromBytesCase> {};

TEST_P(SourceParameterFromBytes, Decodes) {
    EXPECT_EQ(SourceParameter::from_bytes(GetParam().bytes), GetParam().expected);
}

Bytes with_u16(Bytes bytes, std::size_t offset, std::uint16_t value) {
    return test::patched<std::uint16_t>(std::move(bytes), offset, value);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, SourceParameterFromBytes,
    ::testing::Values(
        FromBytesCase{"is_44_bytes", parameter_stream("IS", 5500.0F), SourceParameter{"IS", 5500.0F}},
        FromBytesCase{"is_43_bytes", test::resized(parameter_stream("IS", 5500.0F), 43), std::nullopt},
        FromBytesCase{"odd_length", with_u16(parameter_stream("IS", 1.0F), 34, 3), std::nullopt},
        FromBytesCase{"empty_name_40_bytes", parameter_stream("", -4500.0F), SourceParameter{"", -4500.0F}},
        FromBytesCase{"header_35_bytes", Bytes(35, 0), std::nullopt},
        FromBytesCase{"length_beyond_stream", with_u16(parameter_stream("TEM", 1.0F), 34, 0xFFFE), std::nullopt},
        // Trailing bytes after the value are not part of the parameter.
        FromBytesCase{"trailing_bytes", [] { auto b = parameter_stream("GS1", 50.0F); b.resize(80, 0xEE); return b; }(),
                      SourceParameter{"GS1", 50.0F}},
        // A high surrogate (D800) in place of 'S': not a name.
        FromBytesCase{"unpaired_surrogate", with_u16(parameter_stream("IS", 1.0F), 38, 0xD800), std::nullopt},
        // U+1F600 as a surrogate pair becomes four UTF-8 bytes.
        FromBytesCase{"surrogate_pair",
                      with_u16(with_u16(parameter_stream("ab", 2.0F), 36, 0xD83D), 38, 0xDE00),
                      SourceParameter{"\xF0\x9F\x98\x80", 2.0F}}),
    [](const auto& info) { return std::string(info.param.name); });

// An in-memory method tree: (method, parameter) -> stream bytes.
struct FakeMethods {
    std::map<std::string, Bytes, std::less<>> streams;
    mutable std::vector<std::string> probed;

    FakeMethods& add(int method, int parameter, Bytes bytes) {
        streams[ion_source_parameter_path(method, parameter)] = std::move(bytes);
        return *this;
    }
    FakeMethods& add(int method, int parameter, std::string_view name, float value) {
        return add(method, parameter, parameter_stream(name, value));
    }

    std::vector<SourceParameter> find() const {
        return find_ion_source_parameters([this](std::string_view path) -> std::optional<Bytes> {
            probed.emplace_back(path);
            const auto it = streams.find(path);
            if (it == streams.end()) return std::nullopt;
            return it->second;
        });
    }
};

std::vector<std::string> names(const std::vector<SourceParameter>& parameters) {
    std::vector<std::string> out;
    for (const auto& p : parameters) out.push_back(p.name);
    return out;
}

using Names = std::vector<std::string>;

TEST(IonSourceProbe, PathLayout) {
    EXPECT_EQ(ion_source_parameter_path(3, 7),
              "MethodSubtree/Method3/DeviceMethod0/Period0/Experiment0/IonSourceParamsTable/Parameter7/ParameterData");
}

TEST(IonSourceProbe, EmptyTreeProbesAllThirtyTwoStreamsInOrder) {
    FakeMethods fake;
    EXPECT_TRUE(fake.find().empty());
    ASSERT_EQ(fake.probed.size(), 32U);
    EXPECT_EQ(fake.probed.front(), ion_source_parameter_path(1, 0));
    EXPECT_EQ(fake.probed[8], ion_source_parameter_path(2, 0));
    EXPECT_EQ(fake.probed.back(), ion_source_parameter_path(4, 7));
}

TEST(IonSourceProbe, MethodWithSprayVoltageWinsAndEndsTheSearch) {
    FakeMethods fake;
    fake.add(1, 0, "GS1", 50).add(1, 1, "TEM", 500).add(2, 3, "CUR", 35).add(2, 5, "ISVF", -4500).add(3, 0, "IS", 5500);
    const auto found = fake.find();
    EXPECT_EQ(names(found), (Names{"CUR", "ISVF"}));
    EXPECT_EQ(found[1].value, -4500.0F);
    EXPECT_EQ(fake.probed.size(), 16U);  // nothing of methods 3 and 4 is read
}

TEST(IonSourceProbe, FallbackIsFirstNonEmptyMethod) {
    FakeMethods fake;
    fake.add(2, 4, "GS1", 50).add(2, 1, "TEM", 500).add(3, 0, "CUR", 35).add(4, 0, "GS2", 60);
    EXPECT_EQ(names(fake.find()), (Names{"TEM", "GS1"}));  // parameter-number order
}

TEST(IonSourceProbe, NamesAreCaseSensitive) {
    FakeMethods fake;
    fake.add(1, 0, "is", 5500).add(1, 1, "isvf", 5500).add(3, 2, "IS", 5200);
    EXPECT_EQ(names(fake.find()), (Names{"IS"}));
}

TEST(IonSourceProbe, UndecodableStreamsAreSkipped) {
    FakeMethods fake;
    fake.add(1, 0, Bytes(10, 0)).add(1, 1, "IS", 5500).add(1, 2, Bytes{});
    const auto found = fake.find();
    EXPECT_EQ(names(found), (Names{"IS"}));
}

TEST(IonSourceProbe, MethodOfOnlyUndecodableStreamsDoesNotBecomeFallback) {
    FakeMethods fake;
    fake.add(1, 0, Bytes(3, 0)).add(2, 0, "TEM", 450);
    EXPECT_EQ(names(fake.find()), (Names{"TEM"}));
}

}  // namespace
}  // namespace corvex::raw
