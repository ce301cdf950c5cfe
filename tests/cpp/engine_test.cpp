// The engine against the reader: survey links and the column table, peak
// summaries, and loads and streams over the fixture runs compared bit for
// bit with reading one scan after another, for every thread count and chunk
// size, damaged scans included.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "corvex/reader.hpp"
#include "corvex/scan_rules.hpp"
#include "engine/centroid.hpp"
#include "engine/memory.hpp"
#include "engine/peaks.hpp"
#include "engine/run.hpp"
#include "fixture_path.hpp"

namespace corvex::engine {
namespace {

constexpr double nan64 = std::numeric_limits<double>::quiet_NaN();
constexpr double A = 445.25;
constexpr double B = 611.5;

// --- survey links -----------------------------------------------------------

struct SurveyCase {
    const char* name;
    std::vector<std::uint32_t> levels;
    std::vector<double> dde;
    // Per position: the precursor m/z and survey position a fragment takes.
    std::vector<std::optional<double>> precursor_mz;
    std::vector<std::optional<std::size_t>> survey;
};

class SurveyLinksCases : public testing::TestWithParam<SurveyCase> {};

TEST_P(SurveyLinksCases, FragmentsTakeTheirSurveysDdeValue) {
    const SurveyCase& c = GetParam();
    std::vector<raw::IdxRecord> records(c.levels.size());
    for (std::size_t i = 0; i < records.size(); ++i) records[i].ms_level = c.levels[i];
    std::vector<raw::DdeRecord> dde;
    for (double mz : c.dde) dde.push_back(raw::DdeRecord{mz});
    const SurveyLinks links(records);
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (c.levels[i] == 1) continue;
        EXPECT_EQ(links.precursor_mz(i, dde), c.precursor_mz[i]) << i;
        EXPECT_EQ(links.survey_position(i), c.survey[i]) << i;
        const lumora::Precursor precursor = links.precursor(i, dde);
        EXPECT_EQ(precursor.selected_mz, c.precursor_mz[i]);
        EXPECT_EQ(precursor.target_mz, c.precursor_mz[i]);
        EXPECT_EQ(precursor.precursor_native_id,
                  c.survey[i] ? std::optional(native_id(scan_number_at(*c.survey[i]))) : std::nullopt);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SurveyLinksCases,
    testing::Values(SurveyCase{"TwoDdeValues", {1, 2, 2, 1, 2}, {A, B}, {{}, A, A, {}, B}, {{}, 0, 0, {}, 3}},
                    SurveyCase{"OneDdeValue", {1, 2, 2, 1, 2}, {A}, {{}, A, A, {}, {}}, {{}, 0, 0, {}, 3}},
                    SurveyCase{"FragmentFirst", {2, 1, 2}, {A}, {{}, {}, A}, {{}, {}, 1}},
                    SurveyCase{"NoSurveyAtAll", {2, 2}, {A, B}, {{}, {}}, {{}, {}}},
                    SurveyCase{"SurveysInARow", {1, 1, 1, 2}, {A, B, 7.0}, {{}, {}, {}, 7.0}, {{}, {}, {}, 2}}),
    [](const auto& info) { return info.param.name; });

// --- peak summaries ---------------------------------------------------------

struct SummaryCase {
    const char* name;
    std::vector<double> mz;
    std::vector<float> intensity;
    PeakSummary expected;
};

class SummaryCases : public testing::TestWithParam<SummaryCase> {};

bool same(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) ||
                                       (std::isnan(a) && std::isnan(b)); }

TEST_P(SummaryCases, FollowsTheSpectrumRules) {
    const SummaryCase& c = GetParam();
    const PeakSummary got = summarize_peaks(c.mz, c.intensity);
    EXPECT_TRUE(same(got.total_ion_current, c.expected.total_ion_current)) << got.total_ion_current;
    EXPECT_TRUE(same(got.base_peak_mz, c.expected.base_peak_mz)) << got.base_peak_mz;
    EXPECT_TRUE(same(got.base_peak_intensity, c.expected.base_peak_intensity)) << got.base_peak_intensity;
    EXPECT_TRUE(same(got.lowest_mz, c.expected.lowest_mz)) << got.lowest_mz;
    EXPECT_TRUE(same(got.highest_mz, c.expected.highest_mz)) << got.highest_mz;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SummaryCases,
    testing::Values(SummaryCase{"NoPeaks", {}, {}, {-0.0, nan64, NAN, nan64, nan64}},
                    SummaryCase{"TiesKeepTheFirst", {300, 100, 200}, {5, 9, 9}, {23.0, 100, 9, 100, 300}},
                    SummaryCase{"DescendingMz", {-5.0, -7.5, -6.0}, {1, 2, 3}, {6.0, -6.0, 3, -7.5, -5.0}},
                    SummaryCase{"NanMzMakesExtremesNan", {1.0, nan64, 3.0}, {4, 1, 2}, {7.0, 1.0, 4, nan64, nan64}},
                    SummaryCase{"OnePeak", {20.5}, {0x1p24f}, {0x1p24, 20.5, 0x1p24f, 20.5, 20.5}}),
    [](const auto& info) { return info.param.name; });

// --- memory ---------------------------------------------------------------------

TEST(MemoryRecycler, HandsABlockBackOutOnceItsLastOwnerIsGone) {
    auto recycler = std::make_shared<MemoryRecycler>(1 << 20);
    Memory first = recycler->take(100'000);
    ASSERT_GE(first.size(), 100'000U);
    const std::byte* address = first.data();
    auto shared = recycler->share(std::move(first));
    auto again = shared;
    shared.reset();
    // Still owned: a new block.
    Memory second = recycler->take(1000);
    const std::byte* small = second.data();
    EXPECT_NE(small, address);
    again.reset();
    // Back: the smallest kept block large enough, and none too small.
    recycler->share(std::move(second)).reset();
    EXPECT_NE(recycler->take(200'000).data(), address);
    const Memory reused_small = recycler->take(1);
    const Memory reused = recycler->take(1);
    EXPECT_EQ(reused_small.data(), small);
    EXPECT_EQ(reused.data(), address);
    // Past the limit nothing is kept; a block outliving its recycler is
    // freed (the sanitizers check both).
    std::vector<std::shared_ptr<const Memory>> kept;
    for (int k = 0; k < 40; ++k) kept.push_back(recycler->share(recycler->take(100'000)));
    kept.resize(1);
    recycler.reset();
    kept.clear();
}

// Reservations shrink to what was written, in whole pages.
TEST(Memory, ReservationCommitsAndShrinks) {
    Memory reserved = Memory::reserve(std::size_t{1} << 30);
    ASSERT_TRUE(reserved.reserved());
    reserved.commit(4096 * 3 + 5, 10'000);
    auto* values = reserved.as<std::uint64_t>();
    for (std::size_t k = 0; k < 100'000; ++k) values[k] = k;
    reserved.shrink(100'000 * sizeof(std::uint64_t));
    EXPECT_EQ(reserved.size(), 100'000 * sizeof(std::uint64_t));
    EXPECT_EQ(values[99'999], 99'999U);
    reserved.shrink(0);
    EXPECT_EQ(reserved.data(), nullptr);
}

// --- loads and streams over fixture runs --------------------------------------

Run open_fixture(const std::string& name) {
    auto run = Run::open(fixture_path(name + ".wiff"));
    if (!run) ADD_FAILURE() << run.error().display();
    return std::move(run).value();
}

// Every scan read one after another with one workspace: the reference.
std::vector<Result<SpectrumPeaks>> read_one_by_one(const Run& run, const PeakOptions& options = {}) {
    ScanWorkspace workspace;
    std::vector<Result<SpectrumPeaks>> all;
    for (std::size_t i = 0; i < run.scan_count(); ++i) all.push_back(read_peaks(run, i, workspace, options));
    return all;
}

void expect_bits(std::span<const double> got, std::span<const double> want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t k = 0; k < got.size(); ++k) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(got[k]), std::bit_cast<std::uint64_t>(want[k])) << what << " " << k;
    }
}

void expect_bits(std::span<const float> got, std::span<const float> want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t k = 0; k < got.size(); ++k) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(got[k]), std::bit_cast<std::uint32_t>(want[k])) << what << " " << k;
    }
}

struct LoadCase {
    const char* name;
    std::size_t threads;
    std::uint64_t chunk_bytes;
};

// The fixture runs' points are scattered rather than peaks: the defaults
// find few centroids there, the permissive parameters one almost per point.
struct PeakCase {
    const char* name;
    PeakOptions options;
};
const PeakCase profile_peaks{"Profile", {}};
const PeakCase default_centroids{"Centroids", {CentroidParameters{}}};
const PeakCase permissive_centroids{
    "PermissiveCentroids", {CentroidParameters{.min_snr = 0.0, .min_points = 1, .single_point_peaks = true}}};

class LoadCases : public testing::TestWithParam<std::tuple<LoadCase, PeakCase>> {
protected:
    LoadOptions options() const {
        const auto& [load, peaks] = GetParam();
        return LoadOptions{load.threads, load.chunk_bytes, peaks.options};
    }
};

TEST_P(LoadCases, EqualsReadingOneScanAfterAnother) {
    const engine::Run run = open_fixture("engine");
    const auto reference = read_one_by_one(run, options().peaks);
    ASSERT_GT(run.scan_count(), 40U);
    // Every scan, every third one, the fragments only, and none.
    std::vector<std::size_t> every_third;
    for (std::size_t i = 1; i < run.scan_count(); i += 3) every_third.push_back(i);
    for (const std::vector<std::size_t>& positions :
         {run.select({}), every_third, run.select({.ms_level = 2}), std::vector<std::size_t>{}}) {
        auto loaded = load_peaks(run, positions, options());
        ASSERT_TRUE(loaded.ok()) << loaded.error().display();
        const LoadedPeaks& out = *loaded;
        ASSERT_EQ(out.index.size(), positions.size());
        ASSERT_EQ(out.offsets.size(), positions.size() + 1);
        EXPECT_EQ(out.offsets.front(), 0);
        const auto* mz = out.mz.as<const double>();
        const auto* intensity = out.intensity.as<const float>();
        for (std::size_t k = 0; k < positions.size(); ++k) {
            const std::string what = "spectrum " + std::to_string(positions[k]);
            ASSERT_EQ(out.index[k], static_cast<std::int64_t>(positions[k]));
            const SpectrumPeaks& want = reference[positions[k]].value();
            const auto begin = static_cast<std::size_t>(out.offsets[k]);
            const auto end = static_cast<std::size_t>(out.offsets[k + 1]);
            expect_bits({mz + begin, end - begin}, want.mz(), what);
            expect_bits({intensity + begin, end - begin}, want.intensity(), what);
            const PeakSummary summary = summarize_peaks(want.mz(), want.intensity());
            EXPECT_TRUE(same(out.total_ion_current[k], summary.total_ion_current)) << what;
            EXPECT_TRUE(same(out.base_peak_mz[k], summary.base_peak_mz)) << what;
            EXPECT_TRUE(same(out.base_peak_intensity[k], summary.base_peak_intensity)) << what;
            EXPECT_TRUE(same(out.lowest_mz[k], summary.lowest_mz)) << what;
            EXPECT_TRUE(same(out.highest_mz[k], summary.highest_mz)) << what;
            EXPECT_EQ(out.peak_count[k], static_cast<std::int64_t>(want.size())) << what;
        }
        // Trimmed to the peaks: nothing of the reserved bound is left over.
        EXPECT_EQ(out.mz.size(), out.peak_total() * sizeof(double));
        EXPECT_EQ(out.intensity.size(), out.peak_total() * sizeof(float));
    }
}

TEST_P(LoadCases, FailsWithTheFirstUnreadableScanInSelectionOrder) {
    const engine::Run run = open_fixture("engine_damaged");
    const auto reference = read_one_by_one(run, options().peaks);
    ASSERT_FALSE(reference[7].ok());
    ASSERT_FALSE(reference[30].ok());
    const std::string first = error_text(reference[7].error());
    EXPECT_EQ(first.rfind("vendor parser error: cannot read scan block for scan=8 at offset 1073741824: ", 0), 0U)
        << first;
    std::vector<std::size_t> after_first;
    for (std::size_t i = 8; i < run.scan_count(); ++i) after_first.push_back(i);
    std::vector<std::size_t> neither;
    for (std::size_t i = 0; i < run.scan_count(); ++i) {
        if (i != 7 && i != 30) neither.push_back(i);
    }
    auto all = load_peaks(run, run.select({}), options());
    ASSERT_FALSE(all.ok());
    EXPECT_EQ(error_text(all.error()), first);
    auto later = load_peaks(run, after_first, options());
    ASSERT_FALSE(later.ok());
    EXPECT_EQ(error_text(later.error()), error_text(reference[30].error()));
    auto clean = load_peaks(run, neither, options());
    ASSERT_TRUE(clean.ok()) << clean.error().display();
    EXPECT_EQ(clean->index.size(), neither.size());
}

INSTANTIATE_TEST_SUITE_P(Options, LoadCases,
                         testing::Combine(
                             testing::Values(LoadCase{"OneThreadWholeRunInOneChunk", 1, 1 << 30},
                                             LoadCase{"TwoThreadsScanPerChunk", 2, 1},
                                             LoadCase{"ThreeThreadsSmallChunks", 3, 700},
                                             LoadCase{"EightThreadsMediumChunks", 8, 4000},
                                             LoadCase{"DefaultThreadsDefaultChunks", 0, LoadOptions{}.chunk_bytes}),
                             testing::Values(profile_peaks, default_centroids, permissive_centroids)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
                         });

// The one stage every path shares, against the picker run by hand on the
// reader's points: centroids never outnumber the points, their m/z is the
// calibration's at their channel, their intensity the picker's.
TEST(ReadPeaks, CentroidsAreThePickersOnTheDecodedPoints) {
    const engine::Run run = open_fixture("engine");
    const auto& calibration = run.sample().calibration;
    ASSERT_TRUE(calibration.has_value());
    const PeakOptions options = permissive_centroids.options;
    ScanWorkspace workspace;
    raw::ScanDecoder decoder;
    CentroidScratch scratch;
    Centroids want;
    std::size_t centroids = 0;
    for (std::size_t i = 0; i < run.scan_count(); ++i) {
        auto got = read_peaks(run, i, workspace, options);
        ASSERT_TRUE(got.ok()) << got.error().display();
        auto points = read_scan_points(run.sample(), i, decoder);
        ASSERT_TRUE(points.ok());
        centroid_profile(*points, *options.centroid, scratch, want);
        ASSERT_LE(got->size(), points->size());
        std::vector<double> mz(want.size());
        channels_to_mz(*calibration, want.channel, mz);
        expect_bits(got->mz(), mz, "mz " + std::to_string(i));
        expect_bits(got->intensity(), want.intensity, "intensity " + std::to_string(i));
        centroids += want.size();
    }
    EXPECT_GT(centroids, run.scan_count() * 10);
}

TEST(PeakStream, GivesEveryScanInOrderWithErrorsInPlace) {
    const engine::Run run = open_fixture("engine_damaged");
    for (const PeakCase& peaks : {profile_peaks, permissive_centroids}) {
        const auto reference = read_one_by_one(run, peaks.options);
        for (const std::size_t threads : {1U, 2U, 5U}) {
            PeakStream stream(run, run.select({}), PoolLimits{threads, 3, 1 << 12}, peaks.options);
            std::size_t k = 0;
            while (auto item = stream.next()) {
                ASSERT_EQ(item->position, k);
                const auto& want = reference[k];
                const std::string what = std::string(peaks.name) + " " + std::to_string(k);
                ASSERT_EQ(item->peaks.ok(), want.ok()) << what;
                if (want.ok()) {
                    expect_bits(item->peaks->mz(), want->mz(), "mz " + what);
                    expect_bits(item->peaks->intensity(), want->intensity(), "intensity " + what);
                } else {
                    EXPECT_EQ(error_text(item->peaks.error()), error_text(want.error()));
                }
                ++k;
            }
            EXPECT_EQ(k, run.scan_count());
        }
    }
}

TEST(Run, SelectsByLevelAndClosedRetentionTimeRange) {
    const engine::Run run = open_fixture("engine");
    const SpectrumTable& table = run.spectra();
    const double first = table.retention_time_sec[5];
    const double last = table.retention_time_sec[17];
    const auto selected = run.select({.ms_level = 2, .retention_time_sec = std::pair{first, last}});
    std::vector<std::size_t> expected;
    for (std::size_t i = 5; i <= 17; ++i) {
        if (table.ms_level[i] == 2) expected.push_back(i);
    }
    EXPECT_EQ(selected, expected);
    EXPECT_TRUE(run.select({.retention_time_sec = std::pair{last, first}}).empty());
    EXPECT_TRUE(run.select({.retention_time_sec = std::pair{nan64, nan64}}).empty());
    EXPECT_TRUE(run.select({.ms_level = 3}).empty());
}

}  // namespace
}  // namespace corvex::engine
