#include "corvex/raw/ion_source.hpp"

#include <gtest/gtest.h>

#include <map>

#include "byte_builder.hpp"

namespace corvex::raw {
namespace {

// A ParameterData stream: name length at 34, name at 36, value after it.
Bytes parameter_stream(std::string_view ascii_name, float value) {
    test::ByteBuilder b(36, 0x5A);
    b.put<std::uint16_t>(34, static_cast<std::uint16_t>(2 * ascii_name.size()));
    return b.put_utf16(36, ascii_name).put<float>(36 + 2 * ascii_name.size(), value).bytes;
}

Bytes with_unit(Bytes bytes, std::size_t offset, std::uint16_t unit) {
    return test::patched<std::uint16_t>(std::move(bytes), offset, unit);
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

INSTANTIATE_TEST_SUITE_P(
    Layouts, SourceParameterFromBytes,
    ::testing::Values(
        FromBytesCase{"is_44_bytes", parameter_stream("IS", 5500.0F), SourceParameter{"IS", 5500.0F}},
        FromBytesCase{"is_43_bytes", test::resized(parameter_stream("IS", 5500.0F), 43), std::nullopt},
        FromBytesCase{"odd_length", with_unit(parameter_stream("IS", 1.0F), 34, 3), std::nullopt},
        FromBytesCase{"empty_name_40_bytes", parameter_stream("", -4500.0F), SourceParameter{"", -4500.0F}},
        FromBytesCase{"header_35_bytes", Bytes(35, 0), std::nullopt},
        FromBytesCase{"length_beyond_stream", with_unit(parameter_stream("TEM", 1.0F), 34, 0xFFFE), std::nullopt},
        FromBytesCase{"unpaired_surrogate", with_unit(parameter_stream("IS", 1.0F), 38, 0xD800), std::nullopt},
        FromBytesCase{"surrogate_pair", with_unit(with_unit(parameter_stream("ab", 2.0F), 36, 0xD83D), 38, 0xDE00),
                      SourceParameter{"\xF0\x9F\x98\x80", 2.0F}}),
    [](const auto& info) { return std::string(info.param.name); });

// An in-memory method tree that records which paths were probed.
struct FakeMethods {
    std::map<std::string, Bytes, std::less<>> streams;
    mutable std::vector<std::string> probed;

    FakeMethods& add(int method, int parameter, std::string_view name, float value = 1.0F) {
        streams[ion_source_parameter_path(method, parameter)] = parameter_stream(name, value);
        return *this;
    }

    std::vector<std::string> find() const {
        const auto found = find_ion_source_parameters([this](std::string_view path) -> std::optional<Bytes> {
            probed.emplace_back(path);
            const auto it = streams.find(path);
            return it == streams.end() ? std::nullopt : std::optional<Bytes>(it->second);
        });
        std::vector<std::string> names;
        for (const auto& p : found) names.push_back(p.name);
        return names;
    }
};

using Names = std::vector<std::string>;

TEST(IonSourceProbe, EmptyTreeProbesAllThirtyTwoStreamsInOrder) {
    FakeMethods fake;
    EXPECT_TRUE(fake.find().empty());
    ASSERT_EQ(fake.probed.size(), 32U);
    EXPECT_EQ(fake.probed.front(),
              "MethodSubtree/Method1/DeviceMethod0/Period0/Experiment0/IonSourceParamsTable/Parameter0/ParameterData");
    EXPECT_EQ(fake.probed[9], ion_source_parameter_path(2, 1));
    EXPECT_EQ(fake.probed.back(), ion_source_parameter_path(4, 7));
}

TEST(IonSourceProbe, MethodWithSprayVoltageWinsAndEndsTheSearch) {
    FakeMethods fake;
    fake.add(1, 0, "GS1").add(2, 3, "CUR").add(2, 5, "ISVF").add(3, 0, "IS");
    EXPECT_EQ(fake.find(), (Names{"CUR", "ISVF"}));
    EXPECT_EQ(fake.probed.size(), 16U);
}

TEST(IonSourceProbe, FallbackIsFirstNonEmptyMethodInParameterOrder) {
    FakeMethods fake;
    fake.add(2, 4, "GS1").add(2, 1, "TEM").add(3, 0, "CUR");
    fake.streams[ion_source_parameter_path(1, 0)] = Bytes(10, 0);  // undecodable: method 1 stays empty
    EXPECT_EQ(fake.find(), (Names{"TEM", "GS1"}));
}

TEST(IonSourceProbe, NamesAreCaseSensitive) {
    FakeMethods fake;
    fake.add(1, 0, "is").add(1, 1, "isvf").add(3, 2, "IS");
    EXPECT_EQ(fake.find(), (Names{"IS"}));
}

}  // namespace
}  // namespace corvex::raw
