#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lumora/cv.hpp"
#include "lumora/source.hpp"
#include "lumora/types.hpp"

namespace {

using namespace lumora;

constexpr double nan64 = std::numeric_limits<double>::quiet_NaN();
constexpr float nan32 = std::numeric_limits<float>::quiet_NaN();

SpectrumRecord peaks(std::vector<double> mz, std::vector<float> intensity) {
    return SpectrumRecord{}.with_peaks(std::move(mz), std::move(intensity));
}

// --- effective_tic ----------------------------------------------------------

struct TicCase {
    const char* name;
    std::optional<double> reported;
    std::vector<float> intensity;
    double expected;
};

class EffectiveTic : public testing::TestWithParam<TicCase> {};

TEST_P(EffectiveTic, MatchesBitForBit) {
    const TicCase& c = GetParam();
    SpectrumRecord record = peaks(std::vector<double>(c.intensity.size(), 1.0), c.intensity);
    record.reported_total_ion_current = c.reported;
    // Bits, not ==, so that -0.0 and 0.0 are told apart.
    EXPECT_EQ(std::bit_cast<std::uint64_t>(record.effective_tic()), std::bit_cast<std::uint64_t>(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EffectiveTic,
    testing::Values(TicCase{"NoPeaksIsNegativeZero", std::nullopt, {}, -0.0},
                    TicCase{"ZeroPeaksSumToPositiveZero", std::nullopt, {0.0f, -0.0f}, 0.0},
                    TicCase{"ReportedWinsOverPeaks", 7.5, {1.0f, 2.0f}, 7.5},
                    TicCase{"ReportedZeroIsKept", 0.0, {1.0f}, 0.0},
                    TicCase{"SumsWidenedValues", std::nullopt, {0.1f, 0.2f},
                            static_cast<double>(0.1f) + static_cast<double>(0.2f)},
                    // In list order each 1 is lost to rounding against 2^53;
                    // adding the ones first (reversed or split sums) keeps them.
                    TicCase{"AddsInListOrder", std::nullopt, {0x1p53f, 1.0f, 1.0f}, 0x1p53},
                    TicCase{"NegativeZerosOnly", std::nullopt, std::vector<float>(9, -0.0f), -0.0},
                    // Sums split into lanes would lose every half against
                    // 2^52; in list order eight of them add up first.
                    TicCase{"FractionsInListOrder", std::nullopt,
                            {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0x1p52f, 0.5f}, 0x1p52 + 4}),
    [](const auto& info) { return info.param.name; });

// --- effective_base_peak ----------------------------------------------------

struct BasePeakCase {
    const char* name;
    std::vector<double> mz;
    std::vector<float> intensity;
    std::optional<double> reported_mz;
    std::optional<double> reported_intensity;
    std::optional<BasePeak> expected;
};

class EffectiveBasePeak : public testing::TestWithParam<BasePeakCase> {};

TEST_P(EffectiveBasePeak, PicksTheFirstMaximum) {
    const BasePeakCase& c = GetParam();
    SpectrumRecord record = peaks(c.mz, c.intensity);
    record.reported_base_peak_mz = c.reported_mz;
    record.reported_base_peak_intensity = c.reported_intensity;
    const std::optional<BasePeak> actual = record.effective_base_peak();
    ASSERT_EQ(actual.has_value(), c.expected.has_value());
    if (!actual) return;
    EXPECT_EQ(actual->mz, c.expected->mz);
    if (std::isnan(c.expected->intensity)) {
        EXPECT_TRUE(std::isnan(actual->intensity));
    } else {
        EXPECT_EQ(actual->intensity, c.expected->intensity);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EffectiveBasePeak,
    testing::Values(
        BasePeakCase{"TieKeepsEarliest", {100, 200, 300}, {1, 3, 3}, {}, {}, BasePeak{200, 3}},
        BasePeakCase{"ReportedPairWins", {100, 200}, {1, 3}, 555.5, 9.0, BasePeak{555.5, 9}},
        BasePeakCase{"ReportedMzAloneIsIgnored", {100, 200}, {1, 3}, 555.5, {}, BasePeak{200, 3}},
        BasePeakCase{"ReportedIntensityAloneIsIgnored", {100, 200}, {4, 3}, {}, 9.0, BasePeak{100, 4}},
        BasePeakCase{"LeadingNanStays", {100, 200}, {nan32, 5}, {}, {}, BasePeak{100, nan64}},
        BasePeakCase{"LaterNanNeverWins", {100, 200, 300}, {1, nan32, 2}, {}, {}, BasePeak{300, 2}},
        BasePeakCase{"NegativeIntensities", {100, 200}, {-3, -1}, {}, {}, BasePeak{200, -1}},
        BasePeakCase{"NoPeaks", {}, {}, {}, {}, std::nullopt},
        // Malformed: a maximum beyond the end of mz is not a peak.
        BasePeakCase{"UnpairedIntensityIsNoPeak", {100}, {1, 9}, {}, {}, BasePeak{100, 1}},
        BasePeakCase{"NoMzAtAll", {}, {1}, {}, {}, std::nullopt},
        // Longer than the lanes the maximum is sought in.
        BasePeakCase{"FirstMaximumAcrossLanes", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
                     {1, 5, 3, 5, 2, 2, 2, 2, 5, 9, 9}, {}, {}, BasePeak{9, 9}},
        BasePeakCase{"NansAcrossLanesNeverWin", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
                     {1, nan32, nan32, nan32, nan32, nan32, nan32, nan32, nan32, 0.5, 3}, {}, {}, BasePeak{10, 3}},
        BasePeakCase{"SignedZerosTie", {0, 1, 2, 3, 4, 5, 6, 7, 8}, {-0.0f, 0.0f, -1, -1, -1, -1, -1, -1, 0.0f}, {}, {},
                     BasePeak{0, -0.0}}),
    [](const auto& info) { return info.param.name; });

// --- extra maps -------------------------------------------------------------

std::vector<std::string> keys(const ExtraMap& map) {
    std::vector<std::string> out;
    for (const auto& [key, value] : map) out.push_back(key);
    return out;
}

TEST(Extra, OrdersKeysByUnsignedBytes) {
    SpectrumRecord record;
    for (const char* key : {"b", "a", "B", "\xc3\xa9", "ab", "z", "corvex.scan_size", "corvex.idx_tic_cps"}) {
        record = std::move(record).with_extra(key, "v");
    }
    // U+00E9 (0xC3 0xA9) sorts after every ASCII key; a prefix sorts first.
    EXPECT_EQ(keys(record.extra), (std::vector<std::string>{"B", "a", "ab", "b", "corvex.idx_tic_cps",
                                                            "corvex.scan_size", "z", "\xc3\xa9"}));
}

TEST(Extra, SecondInsertReplacesValue) {
    SpectrumRecord record = SpectrumRecord{}.with_extra("k", "first").with_extra("k", "second");
    ASSERT_EQ(record.extra.size(), 1u);
    EXPECT_EQ(record.extra.at("k"), "second");
}

// --- run metadata and terms -------------------------------------------------

TEST(RunMetadata, MakeSetsSixFieldsAndNothingElse) {
    const RunMetadata run = RunMetadata::make("Run 01.wiff", cv::abi_wiff_format,
                                              cv::scan_number_only_native_id_format,
                                              cv::sciex_instrument_model, "corvex", "0.4.0");
    EXPECT_EQ(run.source_file_name, "Run 01.wiff");
    EXPECT_EQ(run.source_file_format, CvTerm(cv::abi_wiff_format));
    EXPECT_EQ(run.native_id_format.accession, "MS:1000776");
    EXPECT_EQ(run.instrument.name, "SCIEX instrument model");
    EXPECT_EQ(run.software_name, "corvex");
    EXPECT_EQ(run.software_version, "0.4.0");
    EXPECT_FALSE(run.instrument_serial_number || run.acquisition_software_name ||
                 run.acquisition_software_version || run.start_timestamp || run.mobility_array_kind);
    EXPECT_TRUE(run.analyzers.empty());
    EXPECT_TRUE(run.extra.empty());
}

TEST(CvTerm, FromTermBorrowsStaticText) {
    const CvTerm term = cv::total_ion_current_chromatogram;
    EXPECT_EQ(term.accession, "MS:1000235");
    EXPECT_EQ(term.name, "total ion current chromatogram");
    EXPECT_TRUE(term.accession.is_borrowed());
    EXPECT_EQ(term.name.view().data(), cv::total_ion_current_chromatogram.name.data());
}

TEST(CvTerm, OwnedTextSurvivesCopyAndEqualsBorrowed) {
    auto original = std::make_unique<CvTerm>(std::string("MS:1002584"), std::string("TripleTOF 5600+"));
    const CvTerm copy = *original;
    original.reset();
    EXPECT_FALSE(copy.name.is_borrowed());
    EXPECT_EQ(copy, CvTerm(cv::triple_tof_5600_plus));
}

// --- sequences --------------------------------------------------------------

// Counts what it produces; every third item is an error.
struct Counting {
    std::uint64_t total;
    std::uint64_t produced = 0;
    std::shared_ptr<int> alive = std::make_shared<int>(0);

    std::optional<Result<SpectrumRecord, Error>> next() {
        if (produced == total) return std::nullopt;
        const std::uint64_t i = produced++;
        if (i % 3 == 2) return std::optional<SpectrumSequence::Item>(std::in_place, fail(Error::conformance("bad")));
        SpectrumRecord record;
        record.index = i;
        return std::optional<SpectrumSequence::Item>(std::in_place, std::move(record));
    }
    std::size_t remaining() const noexcept { return total - produced; }
};

TEST(Sequence, ErrorItemsDoNotEndIt) {
    SpectrumSequence sequence(Counting{4});
    std::vector<bool> ok;
    while (auto item = sequence.next()) ok.push_back(item->ok());
    EXPECT_EQ(ok, (std::vector<bool>{true, true, false, true}));
}

struct SkipCase {
    std::size_t skip;
    std::size_t remaining;
    std::optional<std::uint64_t> next_index;
};

class SequenceSkip : public testing::TestWithParam<SkipCase> {};

TEST_P(SequenceSkip, ProducesAndDiscards) {
    const SkipCase& c = GetParam();
    SpectrumSequence sequence(Counting{5});
    ASSERT_EQ(sequence.size_hint(), 5u);
    sequence.skip(c.skip);
    EXPECT_EQ(sequence.size_hint(), c.remaining);
    const auto item = sequence.next();
    ASSERT_EQ(item.has_value(), c.next_index.has_value());
    if (item) {
        EXPECT_EQ(item->value().index, *c.next_index);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SequenceSkip,
                         testing::Values(SkipCase{0, 5, 0}, SkipCase{1, 4, 1},
                                         SkipCase{3, 2, 3},  // skips past an error item
                                         SkipCase{5, 0, std::nullopt}, SkipCase{99, 0, std::nullopt}),
                         [](const auto& info) { return "Skip" + std::to_string(info.param.skip); });

TEST(Sequence, EndIsFinalAndReleasesProducer) {
    Counting producer{1};
    std::weak_ptr<int> alive = producer.alive;
    SpectrumSequence sequence(std::move(producer));
    ASSERT_TRUE(sequence.next());
    EXPECT_FALSE(alive.expired());
    EXPECT_FALSE(sequence.next());
    EXPECT_TRUE(alive.expired());
    EXPECT_FALSE(sequence.next());
    EXPECT_EQ(sequence.size_hint(), 0u);
}

TEST(Sequence, OfItemsHandsThemOutOnceInOrder) {
    std::vector<ChromatogramSequence::Item> items;
    ChromatogramRecord tic;
    tic.id = "TIC";
    items.emplace_back(std::move(tic));
    items.emplace_back(fail(Error::unsupported("x")));
    ChromatogramSequence sequence = ChromatogramSequence::of(std::move(items));
    ChromatogramSequence moved = std::move(sequence);
    EXPECT_EQ(moved.size_hint(), 2u);
    EXPECT_EQ(moved.next()->value().id, "TIC");
    EXPECT_EQ(moved.size_hint(), 1u);
    EXPECT_FALSE(moved.next()->ok());
    EXPECT_FALSE(moved.next());
}

}  // namespace
