#include "corvex/raw/instrument_log.hpp"

#include <gtest/gtest.h>

#include "byte_builder.hpp"
#include "corvex/raw/utf16.hpp"

namespace corvex::raw {
namespace {

Bytes units(std::initializer_list<std::uint16_t> code_units) {
    test::ByteBuilder b(0);
    for (std::uint16_t u : code_units) b.put<std::uint16_t>(b.bytes.size(), u);
    return b.bytes;
}

struct Utf16Case {
    Bytes bytes;
    std::string lossy;
    bool well_formed;
};

class Utf16Decoding : public ::testing::TestWithParam<Utf16Case> {};

TEST_P(Utf16Decoding, LossyAndStrict) {
    const Utf16Case& c = GetParam();
    EXPECT_EQ(decode_utf16le_lossy(c.bytes), c.lossy);
    EXPECT_EQ(decode_utf16le_strict(c.bytes), c.well_formed ? std::optional(c.lossy) : std::nullopt);
}

const std::string fffd = "\xEF\xBF\xBD";
const std::string grin = "\xF0\x9F\x98\x80";  // U+1F600

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf16Decoding,
    ::testing::Values(Utf16Case{{0x41}, "", true}, Utf16Case{{0x41, 0x00, 0x42}, "A", true},
                      Utf16Case{units({0x41, 0xE9, 0x20AC, 0xFFFF}), "A\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBF", true},
                      Utf16Case{units({0xD83D, 0xDE00}), grin, true},
                      Utf16Case{units({0x41, 0xD800, 0x42}), "A" + fffd + "B", false},
                      Utf16Case{units({0xDE00, 0xD83D}), fffd + fffd, false},
                      Utf16Case{units({0xD800, 0xD83D, 0xDE00}), fffd + grin, false}));

InstrumentInfo identity(std::string component, std::string manufacturer, std::optional<std::string> model = {},
                        std::optional<std::string> serial = {}) {
    return {std::move(component), std::move(manufacturer), std::move(model), std::move(serial)};
}

struct LogCase {
    const char* name;
    const char* text;
    std::optional<InstrumentInfo> expected;
};

class InstrumentLog : public ::testing::TestWithParam<LogCase> {};

TEST_P(InstrumentLog, ChoosesSection) {
    EXPECT_EQ(parse_instrument_info(test::utf16le(GetParam().text)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sections, InstrumentLog,
    ::testing::Values(
        LogCase{"no_section_label", "Manufacturer: SCIEX\r\nComponent ID: QTRAP 5500\r\n", std::nullopt},
        LogCase{"five_lines",
                "Mass Spectrometer: X\r\nManufacturer: AB Sciex\r\nComponent ID: QTRAP 6500+\r\n"
                "Model: 1234567\r\nSerial Number: AB12345\r\n",
                identity("QTRAP 6500+", "AB Sciex", "1234567", "AB12345")},
        LogCase{"non_sciex_then_sciex",
                "Mass Spectrometer: A\nManufacturer: Applied Biosystems\nComponent ID: API 4000\n"
                "Mass Spectrometer: B\nManufacturer: SCIEX\nComponent ID: TripleTOF 6600\n",
                identity("TripleTOF 6600", "SCIEX")},
        LogCase{"no_component_id_then_next",
                "Mass Spectrometer: A\nManufacturer: SCIEX\nModel: 1\n"
                "Mass Spectrometer: B\nManufacturer: AB SCIEX Instruments\nComponent Id: QTRAP 5500\n",
                identity("QTRAP 5500", "AB SCIEX Instruments")},
        LogCase{"component_id_upper_wins",
                "Mass Spectrometer:\nManufacturer: SCIEX\nComponent Id: lower\nComponent ID: upper\n",
                identity("upper", "SCIEX")},
        LogCase{"cut_at_comma_then_trimmed", "Mass Spectrometer:\nManufacturer:   SCIEX, Inc.  \nComponent ID: Q\n",
                identity("Q", "SCIEX")},
        LogCase{"blank_model_and_serial",
                "Mass Spectrometer:\nManufacturer: SCIEX\nComponent ID: Q\nModel:    \r\nSerial Number:\t \n",
                identity("Q", "SCIEX")},
        LogCase{"label_case_sensitive", "Mass Spectrometer:\nmanufacturer: SCIEX\nComponent ID: Q\n", std::nullopt},
        LogCase{"fields_stay_in_their_section",
                "Mass Spectrometer:\nManufacturer: SCIEX\nComponent ID: Q\nMass Spectrometer:\nSerial Number: S\n",
                identity("Q", "SCIEX")},
        LogCase{"model_matched_inside_longer_label",
                "Mass Spectrometer:\nManufacturer: SCIEX\nComponent ID: Q\nColumn Model: C18\nModel: 99\n",
                identity("Q", "SCIEX", "C18")},
        LogCase{"label_split_across_sections",
                "Mass Spectrometer:Manufacturer: SCIEXMass Spectrometer:Component ID: Q", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InstrumentLog, LoneSurrogateAndOddTailDoNotStopDecoding) {
    Bytes bytes = units({0xD800});
    const Bytes text = test::utf16le("Mass Spectrometer:\nManufacturer: SCIEX\nComponent ID: Q");
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0x41);
    EXPECT_EQ(parse_instrument_info(bytes), identity("Q", "SCIEX"));
}

TEST(ExtractField, TrimsUnicodeWhiteSpaceOnly) {
    // NBSP, U+3000, U+2028 and U+205F are White_Space; U+200B is not.
    EXPECT_EQ(extract_field("Model:\xC2\xA0\xE3\x80\x80 A B\xE2\x80\xA8\xE2\x81\x9F", "Model:"), "A B");
    EXPECT_EQ(extract_field("Model:\xE2\x80\x8B" "A", "Model:"), "\xE2\x80\x8B" "A");
}

struct ResolveCase {
    const char* component_id;
    std::optional<lumora::cv::Term> expected;
};

class ResolveCvTerm : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(ResolveCvTerm, Table) { EXPECT_EQ(resolve_cv_term(GetParam().component_id), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Models, ResolveCvTerm,
    ::testing::Values(ResolveCase{"TripleTOF 5600+ System", lumora::cv::triple_tof_5600_plus},
                      ResolveCase{"TripleTOF 5600", lumora::cv::triple_tof_5600},
                      ResolveCase{"qtrap  5500", lumora::cv::qtrap_5500},
                      ResolveCase{"ZenoTOF 7600 system", lumora::cv::zeno_tof_7600},
                      ResolveCase{"QTRAP\xC2\xA0" "6500+", lumora::cv::qtrap_6500_plus},
                      ResolveCase{"QTRAP 6500", lumora::cv::qtrap_6500},
                      ResolveCase{"Triple\tTOF 6600", lumora::cv::triple_tof_6600},
                      ResolveCase{"QTRAP 6500 PLUS", std::nullopt}, ResolveCase{"SYSTEM", std::nullopt},
                      ResolveCase{"TripleTOF 5600+ System System", std::nullopt},
                      ResolveCase{"QTRAP 550", std::nullopt}));

TEST(Normalize, DropsWhiteSpaceAndUpperCasesAsciiOnly) {
    EXPECT_EQ(normalize(" a-b\t+c\r\n\xE2\x80\x8A" "d\xE3\x80\x80"), "A-B+CD");
    EXPECT_EQ(normalize("\xC3\xA9z"), "\xC3\xA9Z");
}

}  // namespace
}  // namespace corvex::raw
