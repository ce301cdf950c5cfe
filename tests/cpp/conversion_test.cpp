// Whole-sample conversion against rendering the reader's own records one
// after another: the same bytes for every thread count, work-item size and
// slicing of the writing; a damaged scan fails the conversion with the
// reader's text wherever it falls; a full disk fails it with its errno.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "corvex/reader.hpp"
#include "engine/conversion.hpp"
#include "engine/mgf.hpp"
#include "fixture_path.hpp"
#include "scratch_dir.hpp"

namespace corvex::engine {
namespace {

using Clock = std::chrono::steady_clock;

enum class Format { mzml, mgf };

struct ConversionCase {
    const char* name;
    Format format;
    mzml::ArrayCodings codings;
    std::size_t threads;
    std::uint64_t chunk_bytes;
    bool sliced;  // every advance() given a deadline already past
};

mzml::Vocabulary test_vocabulary() {
    mzml::Vocabulary vocabulary;
    const auto keys = mzml::param_keys();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        vocabulary.params[i] = {"<p n=\"" + std::string(keys[i].name) + "\" v=\"", "\"/>"};
    }
    return vocabulary;
}

MzmlSettings test_settings(const mzml::ArrayCodings& codings) {
    return MzmlSettings{{"<head>", "\n<between>", "\n</mzML>"}, test_vocabulary(), codings, {"<tic/>"}};
}

std::shared_ptr<const Run> open_fixture(const std::string& name) {
    auto run = Run::open(fixture_path(name + ".wiff"));
    if (!run) {
        ADD_FAILURE() << run.error().display();
        return nullptr;
    }
    return std::make_shared<const Run>(std::move(run).value());
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The file written by rendering every record of the reader in turn.
std::string reference(const Run& run, Format format, const mzml::ArrayCodings& codings,
                      const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    {
        const MzmlSettings settings = test_settings(codings);
        std::optional<mzml::DocumentWriter> document;
        std::optional<OutputFile> file;
        if (format == Format::mzml) {
            document.emplace(fd, settings.frame);
        } else {
            file.emplace(fd);
        }
        BinaryArrayEncoder encoder;
        mzml::DocumentCodes codes(codings);
        lumora::SpectrumSequence spectra = run.reader().iter_spectra();
        while (auto item = spectra.next()) {
            const lumora::SpectrumRecord& record = item->value();
            mzml::SpectrumFields fields;
            fields.index = record.index;
            fields.native_id = record.native_id;
            fields.scan_number = record.scan_number;
            fields.ms_level = static_cast<int>(record.ms_level);
            fields.total_ion_current = record.effective_tic();
            if (auto base = record.effective_base_peak()) fields.base_peak = mzml::BasePeak{base->mz, base->intensity};
            if (record.polarity) {
                fields.polarity = *record.polarity == lumora::Polarity::Positive ? mzml::Polarity::positive
                                                                                 : mzml::Polarity::negative;
            }
            fields.centroid = record.scan_mode == lumora::ScanMode::Centroid;
            fields.retention_time_sec = record.retention_time_sec;
            if (record.precursor) fields.precursor = precursor_fields(*record.precursor);
            std::string text;
            if (format == Format::mzml) {
                EXPECT_FALSE(mzml::render_spectrum(text, fields, record.mz, record.intensity, settings.vocabulary,
                                                   codes.codings_for(record.index, record.mz, record.intensity),
                                                   encoder));
                EXPECT_EQ(document->append_spectrum(record.native_id, text), 0);
            } else {
                mgf::render_block(text, fields, record.mz, record.intensity);
                EXPECT_EQ(file->write(text), 0);
            }
        }
        if (format == Format::mzml) {
            lumora::ChromatogramSequence chromatograms = run.reader().iter_chromatograms();
            const lumora::ChromatogramRecord tic = chromatograms.next()->value();
            std::string text;
            EXPECT_FALSE(mzml::render_chromatogram(text, {0, tic.id, "<tic/>"}, tic.time_sec, tic.intensity,
                                                   settings.vocabulary, codings.mz.zlib, encoder));
            EXPECT_EQ(document->append_chromatogram(tic.id, text), 0);
            EXPECT_EQ(document->finish(), 0);
        } else {
            EXPECT_EQ(file->flush(), 0);
        }
    }
    ::close(fd);
    return read_file(path);
}

std::unique_ptr<Conversion> start(const ConversionCase& c, std::shared_ptr<const Run> run, int fd) {
    const ConversionOptions options{c.threads, c.chunk_bytes};
    if (c.format == Format::mzml) return convert_to_mzml(std::move(run), fd, test_settings(c.codings), options);
    return convert_to_mgf(std::move(run), fd, options);
}

// Drives `conversion` to its end; the number of slices it took, or its failure.
lumora::Result<std::size_t, Conversion::Failure> drive(Conversion& conversion, bool sliced) {
    for (std::size_t slices = 1;; ++slices) {
        const auto deadline = sliced ? Clock::now() - std::chrono::seconds(1) : Clock::now() + std::chrono::hours(1);
        auto done = conversion.advance(deadline);
        if (!done) return lumora::fail(std::move(done).error());
        if (*done) return slices;
    }
}

class ConversionCases : public testing::TestWithParam<ConversionCase> {};

TEST_P(ConversionCases, WritesWhatRenderingTheReadersRecordsInTurnWrites) {
    const ConversionCase& c = GetParam();
    ScratchDir scratch(std::string("conversion_") + c.name);
    const auto run = open_fixture("engine");
    ASSERT_TRUE(run);
    const std::string expected = reference(*run, c.format, c.codings, scratch / "reference");
    const auto path = scratch / "out";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    auto conversion = start(c, run, fd);
    auto slices = drive(*conversion, c.sliced);
    ::close(fd);
    ASSERT_TRUE(slices.ok()) << slices.error().text;
    if (c.sliced) {
        EXPECT_GT(*slices, 2U);
    }
    EXPECT_EQ(conversion->spectra_done(), run->scan_count());
    EXPECT_TRUE(*conversion->advance(Clock::now()));  // complete stays complete
    const std::string written = read_file(path);
    ASSERT_EQ(written.size(), expected.size());
    EXPECT_TRUE(written == expected);
    if (c.format == Format::mgf) {
        // Fragments with a precursor m/z are written; the others left out.
        std::size_t blocks = 0;
        for (auto at = written.find("BEGIN IONS"); at != std::string::npos; at = written.find("BEGIN IONS", at + 1)) {
            ++blocks;
        }
        EXPECT_EQ(conversion->spectra_written(), blocks);
        EXPECT_GT(blocks, 0U);
    } else {
        EXPECT_EQ(conversion->spectra_written(), run->scan_count());
    }
}

TEST_P(ConversionCases, FailsAtTheFirstDamagedScanWithTheReadersText) {
    const ConversionCase& c = GetParam();
    ScratchDir scratch(std::string("conversion_damaged_") + c.name);
    const auto run = open_fixture("engine_damaged");
    ASSERT_TRUE(run);
    raw::ScanDecoder decoder;
    auto unreadable = read_scan_points(run->sample(), 7, decoder);
    ASSERT_FALSE(unreadable.ok());
    const int fd = ::open((scratch / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    auto conversion = start(c, run, fd);
    auto slices = drive(*conversion, c.sliced);
    ::close(fd);
    ASSERT_FALSE(slices.ok());
    EXPECT_EQ(slices.error().text, error_text(unreadable.error()));
    EXPECT_EQ(slices.error().error_number, 0);
    EXPECT_LE(conversion->spectra_done(), 7U);
    // The failure stays.
    auto again = conversion->advance(Clock::now() + std::chrono::seconds(1));
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().text, slices.error().text);
}

const mzml::ArrayCodings plain{};
const mzml::ArrayCodings zlib{{std::nullopt, true}, {std::nullopt, true}};
const mzml::ArrayCodings numpress{{Numpress::linear, false}, {Numpress::slof, false}};
const mzml::ArrayCodings numpress_zlib{{Numpress::linear, true}, {Numpress::pic, true}};

INSTANTIATE_TEST_SUITE_P(
    Options, ConversionCases,
    testing::Values(ConversionCase{"MzmlOneThreadOneItem", Format::mzml, plain, 1, 1 << 30, false},
                    ConversionCase{"MzmlTwoThreadsScanPerItemSliced", Format::mzml, zlib, 2, 1, true},
                    ConversionCase{"MzmlThreeThreadsSmallItems", Format::mzml, numpress, 3, 900, false},
                    ConversionCase{"MzmlEightThreadsSliced", Format::mzml, numpress_zlib, 8, 5000, true},
                    ConversionCase{"MzmlDefaults", Format::mzml, zlib, 0, ConversionOptions{}.chunk_bytes, false},
                    ConversionCase{"MgfOneThread", Format::mgf, plain, 1, 1 << 30, false},
                    ConversionCase{"MgfFourThreadsSliced", Format::mgf, plain, 4, 700, true}),
    [](const auto& info) { return info.param.name; });

TEST(Conversion, AFullDiskFailsWithItsErrno) {
    const auto run = open_fixture("engine");
    ASSERT_TRUE(run);
    const int fd = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(fd, 0);
    for (const Format format : {Format::mzml, Format::mgf}) {
        auto conversion = start({"full", format, zlib, 2, 1000, false}, run, fd);
        auto done = drive(*conversion, false);
        ASSERT_FALSE(done.ok());
        EXPECT_EQ(done.error().error_number, ENOSPC);
    }
    ::close(fd);
}

TEST(Conversion, StoppedItCannotGoOn) {
    const auto run = open_fixture("engine");
    ASSERT_TRUE(run);
    ScratchDir scratch("conversion_stopped");
    const int fd = ::open((scratch / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    auto conversion = convert_to_mzml(run, fd, test_settings(zlib), {2, 1});
    conversion->stop();
    auto done = conversion->advance(Clock::now() + std::chrono::seconds(1));
    ::close(fd);
    ASSERT_FALSE(done.ok());
    EXPECT_EQ(done.error().text, "the conversion was stopped");
}

struct ChunkCase {
    const char* name;
    std::vector<std::int64_t> sizes;
    std::uint64_t chunk_bytes;
    std::vector<std::size_t> starts;
};

class ChunkStarts : public testing::TestWithParam<ChunkCase> {};

TEST_P(ChunkStarts, CoverEveryScanOnceInOrder) {
    const ChunkCase& c = GetParam();
    EXPECT_EQ(chunk_starts(c.sizes, c.chunk_bytes), c.starts);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ChunkStarts,
    testing::Values(ChunkCase{"NoScans", {}, 100, {0}},
                    ChunkCase{"OneChunk", {10, 20, 30}, 100, {0, 3}},
                    ChunkCase{"EndsOnceFull", {60, 50, 10, 100, 5}, 100, {0, 2, 4, 5}},
                    ChunkCase{"AHugeSizeCountsAsAFullChunk", {5, 1LL << 40, 5, 5}, 100, {0, 2, 4}},
                    ChunkCase{"NegativeOrZeroSizesCountOne", {-7, 0, 0}, 2, {0, 2, 3}},
                    ChunkCase{"ScanPerChunk", {3, 3, 3}, 1, {0, 1, 2, 3}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace corvex::engine
