#include <gtest/gtest.h>

#include <bit>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "corvex/raw/scan.hpp"
#include "scan_reference.hpp"
#include "scratch_dir.hpp"

namespace {

using corvex::raw::Bytes;
using corvex::raw::ByteView;
using corvex::raw::Calibration;
using corvex::raw::PayloadRange;
using corvex::raw::ScanPoint;
using lumora::IoErrorKind;

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t mib64 = 64ULL << 20;

// --- decoding: the code table ------------------------------------------------

struct DecodeCase {
    const char* name;
    Bytes payload;
    std::vector<ScanPoint> expected;
};

class DecodePayload : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodePayload, GivesExactlyThePoints) {
    EXPECT_EQ(corvex::raw::decode_scan_payload(GetParam().payload), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, DecodePayload,
    testing::Values(
        DecodeCase{"EndMarkerStops", {0x05, 0x85, 0x03, 0xFD, 0x10, 0x27, 0xFF, 0xFF, 0xFF, 0xFF, 0x81},
                   {{5, 5}, {8, 10000}}},
        DecodeCase{"PointsDoNotAdvance", {0x85, 0x86}, {{0, 5}, {0, 6}}},
        DecodeCase{"ZeroIntensitiesKept", {0x80, 0x02, 0xFC, 0x00}, {{0, 0}, {2, 0}}},
        DecodeCase{"FourByteValue", {0xFF, 0x01, 0x02, 0x03, 0x04}, {{0, 67305985}}},
        DecodeCase{"FourByteValueCutShort", {0xFF, 0x01, 0x02, 0x03}, {}},
        DecodeCase{"SkipsAddUp", {0x7F, 0x7F, 0x81}, {{254, 1}}},
        DecodeCase{"LargestOneBytePoint", {0xFB}, {{0, 123}}},
        DecodeCase{"EveryLength", {0xFC, 0xAB, 0x01, 0xFD, 0x34, 0x12, 0x01, 0xFE, 0x56, 0x34, 0x12, 0x01,
                                    0xFF, 0x78, 0x56, 0x34, 0x12},
                   {{0, 0xAB}, {1, 0x1234}, {2, 0x123456}, {3, 0x12345678}}},
        // FF then three FF bytes is the marker even where the fourth value
        // byte would follow; FF FF FF FE is a value.
        DecodeCase{"MarkerWinsOverValue", {0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0x12, 0x82}, {{0, 1}}},
        DecodeCase{"AlmostMarkerIsValue", {0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0x81}, {{0, 0xFFFFFFFE}, {0, 1}}},
        // A value whose last three bytes are FF is not a marker: the
        // marker test looks at the code byte's position only.
        DecodeCase{"FfBytesInsideValue", {0xFE, 0xFF, 0xFF, 0xFF, 0x82}, {{0, 0xFFFFFF}, {0, 2}}},
        DecodeCase{"MarkerAfterSkipsInLongPayload",
                   {0x01, 0x81, 0x02, 0x82, 0x03, 0x83, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x85, 0x86, 0x87, 0x88, 0x89},
                   {{1, 1}, {3, 2}, {6, 3}}},
        DecodeCase{"MarkerPrefixCutShort", {0x81, 0xFF, 0xFF, 0xFF}, {{0, 1}}},
        DecodeCase{"Empty", {}, {}}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

TEST(DecodePayloadIndex, WrapsModulo2To32) {
    // 33,818,641 skips of 127 add up to 2^32 + 111.
    Bytes payload(33'818'641, 0x7F);
    payload.push_back(0x85);
    payload.push_back(0x01);
    payload.push_back(0x86);
    EXPECT_EQ(corvex::raw::decode_scan_payload(payload), (std::vector<ScanPoint>{{111, 5}, {112, 6}}));
}

// --- decoding: the fast decoder against the plain one --------------------------

// Payloads built from code fragments with a chosen mix, so that every kind of
// code appears at every position relative to the decoder's steps and chunks.
Bytes random_payload(std::mt19937_64& random, std::size_t codes, int long_code_percent, int marker_permille) {
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_int_distribution<int> permille(0, 999);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(2, 5);
    Bytes bytes;
    for (std::size_t c = 0; c < codes; ++c) {
        if (permille(random) < marker_permille) {
            bytes.insert(bytes.end(), {0xFF, 0xFF, 0xFF, 0xFF});
        } else if (percent(random) < long_code_percent) {
            const int n = length(random);
            bytes.push_back(static_cast<std::uint8_t>(0xFA + n));
            for (int k = 1; k < n; ++k) {
                // FF-heavy values, to tempt the decoder into seeing markers.
                bytes.push_back(percent(random) < 30 ? 0xFF : static_cast<std::uint8_t>(byte(random)));
            }
        } else {
            bytes.push_back(static_cast<std::uint8_t>(byte(random) % 0xFC));
        }
    }
    return bytes;
}

struct Mix {
    const char* name;
    int long_code_percent;
    int marker_permille;
};

class FastDecoderMatchesReference : public testing::TestWithParam<Mix> {};

TEST_P(FastDecoderMatchesReference, AtEveryTruncation) {
    std::mt19937_64 random(0x5CA9 + GetParam().long_code_percent * 7 + GetParam().marker_permille);
    for (int round = 0; round < 40; ++round) {
        const Bytes payload = random_payload(random, 1 + round * 37 % 700, GetParam().long_code_percent,
                                             GetParam().marker_permille);
        for (std::size_t length = 0; length <= payload.size(); ++length) {
            const ByteView prefix(payload.data(), length);
            ASSERT_EQ(corvex::raw::decode_scan_payload(prefix), corvex::raw::reference::decode_scan_payload(prefix))
                << "round " << round << ", first " << length << " of " << payload.size() << " bytes";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Mixes, FastDecoderMatchesReference,
                         testing::Values(Mix{"ShortCodesOnly", 0, 0}, Mix{"TofLike", 60, 0}, Mix{"LongCodesOnly", 100, 0},
                                         Mix{"FrequentMarkers", 50, 20}, Mix{"RareMarkers", 40, 2}),
                         [](const testing::TestParamInfo<Mix>& info) { return std::string(info.param.name); });

// --- m/z and intensity arrays --------------------------------------------------

TEST(PointsToArrays, DropsZeroIntensitiesAndKeepsOrderAndDuplicates) {
    const std::vector<ScanPoint> points{{9, 3}, {2, 0}, {2, 7}, {2, 7}, {1, 0}, {0, 1}};
    const corvex::raw::PeakArrays arrays = corvex::raw::points_to_arrays(points, std::nullopt);
    EXPECT_EQ(arrays.mz, (std::vector<double>{9.0, 2.0, 2.0, 0.0}));
    EXPECT_EQ(arrays.intensity, (std::vector<float>{3.0F, 7.0F, 7.0F, 1.0F}));
}

TEST(PointsToArrays, CalibrationAppliesToEveryPoint) {
    const auto arrays = corvex::raw::points_to_arrays({{0, 5}, {0, 6}, {254, 1}}, Calibration{2.0, 100.0});
    EXPECT_EQ(arrays.mz, (std::vector<double>{100.0, 100.0, 608.0}));
}

TEST(PointsToArrays, IntensityRoundsToNearestFloat) {
    const auto arrays = corvex::raw::points_to_arrays({{0, 16777217}, {0, 16777219}, {0, 0xFFFFFFFF}}, std::nullopt);
    EXPECT_EQ(arrays.intensity, (std::vector<float>{16777216.0F, 16777220.0F, 4294967296.0F}));
}

TEST(PointsToArrays, ProductThenSumIsNotFused) {
    const Calibration calibration{0x1.1f55ecb9403b7p-8, 0x1.a3a5ebf96e788p+4};
    constexpr std::uint32_t index = 9045415;
    constexpr double unfused = 0x1.3609c83292842p+15;  // intercept + (slope * index), each rounded
    // The case only means something if a fused multiply-add would differ.
    ASSERT_NE(std::fma(calibration.slope, double{index}, calibration.intercept), unfused);
    const auto arrays = corvex::raw::points_to_arrays({{index, 1}}, calibration);
    ASSERT_EQ(arrays.mz.size(), 1U);
    EXPECT_EQ(arrays.mz[0], unfused);
}

struct NanCase {
    const char* name;
    std::uint64_t slope_bits, intercept_bits;
    std::uint64_t expected_bits;  // of every m/z
};

class NanCalibration : public testing::TestWithParam<NanCase> {};

// Whatever the length (vector body, remainder or both) and whichever stage
// functions convert the points, a NaN calibration gives the same bits.
TEST_P(NanCalibration, GivesTheSameNanOnEveryPath) {
    const NanCase& c = GetParam();
    const Calibration calibration{std::bit_cast<double>(c.slope_bits), std::bit_cast<double>(c.intercept_bits)};
    for (std::uint32_t length = 1; length <= 40; ++length) {
        std::vector<ScanPoint> points;
        for (std::uint32_t k = 0; k < length; ++k) points.emplace_back(k * 3 + 1, k + 1);
        const auto arrays = corvex::raw::points_to_arrays(points, calibration);
        std::vector<double> mz(length);
        std::vector<float> intensity(length);
        corvex::raw::points_to_peaks(points, calibration, mz.data(), intensity.data());
        for (std::uint32_t k = 0; k < length; ++k) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(arrays.mz[k]), c.expected_bits) << length << " " << k;
            ASSERT_EQ(std::bit_cast<std::uint64_t>(mz[k]), c.expected_bits) << length << " " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, NanCalibration,
    testing::Values(NanCase{"BothNan", 0xFFFF000000000000, 0xFFFFFFFFFFFFFFFF, 0xFFFFFFFFFFFFFFFF},
                    NanCase{"SignallingInterceptIsQuieted", 0x7FF4000000000001, 0x7FF0000000000005,
                            0x7FF8000000000005},
                    NanCase{"SlopeNanOnly", 0xFFF8000000001234, 0x4034000000000000, 0xFFF8000000001234},
                    NanCase{"InterceptNanOnly", 0x3F40624DD2F1A9FC, 0x7FF8000000000777, 0x7FF8000000000777}),
    [](const testing::TestParamInfo<NanCase>& info) { return std::string(info.param.name); });

// --- payload range -----------------------------------------------------------

struct RangeCase {
    const char* name;
    std::uint64_t offset, size, bound, file_size;
    PayloadRange expected;
};

class ScanPayloadRange : public testing::TestWithParam<RangeCase> {};

TEST_P(ScanPayloadRange, IsTheSmallestEnd) {
    const RangeCase& c = GetParam();
    EXPECT_EQ(corvex::raw::scan_payload_range(c.offset, c.size, c.bound, c.file_size), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, ScanPayloadRange,
    testing::Values(RangeCase{"RecordedSize", 100, 200, 1000, 5000, {156, 364}},
                    RangeCase{"NextScanBounds", 100, 2000, 300, 5000, {156, 364}},
                    RangeCase{"FileEnds", 100, 2000, 5000, 400, {156, 400}},
                    RangeCase{"CappedAt64MiB", 0, 1ULL << 30, 1ULL << 31, 1ULL << 32, {56, 56 + mib64}},
                    RangeCase{"NextScanBeforeThisOne", 1000, 500, 100, 5000, {1056, 164}},
                    RangeCase{"OneBytePayload", 100, 200, 1000, 157, {156, 157}},
                    RangeCase{"SizesSaturate", 100, max_u64, max_u64, 4000, {156, 4000}},
                    RangeCase{"OffsetSaturates", max_u64 - 10, 100, max_u64, max_u64, {max_u64, max_u64}}),
    [](const testing::TestParamInfo<RangeCase>& info) { return std::string(info.param.name); });

TEST(PayloadStartError, AtOrPastTheEndOfTheFile) {
    EXPECT_FALSE(corvex::raw::payload_start_error(244, 301).has_value());
    const auto at_end = corvex::raw::payload_start_error(244, 300);
    ASSERT_TRUE(at_end.has_value());
    EXPECT_EQ(at_end->kind, IoErrorKind::UnexpectedEof);
    EXPECT_EQ(at_end->message,
              "scan block payload at offset 300 is past the end of the .wiff.scan file (300 bytes)");
    EXPECT_EQ(corvex::raw::payload_start_error(400, 300)->message,
              "scan block payload at offset 456 is past the end of the .wiff.scan file (300 bytes)");
}

// --- reading blocks from the scan data file --------------------------------------

class ScanFile : public testing::Test {
protected:
    ScratchDir dir_{std::string("scan_test_") + testing::UnitTest::GetInstance()->current_test_info()->name()};

    std::filesystem::path write(const Bytes& bytes) const {
        const auto path = dir_ / "data.wiff.scan";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path;
    }

};

// Two blocks back to back: header, payload, header, payload.
Bytes two_blocks() {
    Bytes file(56, 0xEE);
    file.insert(file.end(), {0x05, 0x85, 0x03, 0xFD, 0x10, 0x27, 0xFF, 0xFF, 0xFF, 0xFF});
    file.resize(100, 0xEE);
    file.insert(file.end(), {0x01, 0x82, 0xFC, 0x09});
    return file;
}

TEST_F(ScanFile, ReadsTheBlockAtItsOffset) {
    const auto path = write(two_blocks());
    const auto first = corvex::raw::read_scan_block(path, 0, 66, 44, 160);
    ASSERT_TRUE(first.ok()) << first.error().message;
    EXPECT_EQ(*first, (std::vector<ScanPoint>{{5, 5}, {8, 10000}}));
    const auto second = corvex::raw::read_scan_block(path, 44, 60, 160, 160);
    ASSERT_TRUE(second.ok()) << second.error().message;
    EXPECT_EQ(*second, (std::vector<ScanPoint>{{1, 2}, {1, 9}}));
}

TEST_F(ScanFile, OneBytePayloadBeforeTheEnd) {
    Bytes file(57, 0);
    file[56] = 0x83;
    const auto path = write(file);
    EXPECT_FALSE(corvex::raw::payload_start_error(0, 57).has_value());
    const auto block = corvex::raw::read_scan_block(path, 0, 1000, 57, 57);
    ASSERT_TRUE(block.ok()) << block.error().message;
    EXPECT_EQ(*block, (std::vector<ScanPoint>{{0, 3}}));
}

TEST_F(ScanFile, FileShorterThanRecordedDecodesWhatIsThere) {
    Bytes file(56, 0);
    file.insert(file.end(), {0x02, 0x81, 0x03, 0xFD, 0x10});  // the last code is cut off
    const auto path = write(file);
    const auto block = corvex::raw::read_scan_block(path, 0, 500, 10'000, 10'000);
    ASSERT_TRUE(block.ok()) << block.error().message;
    EXPECT_EQ(*block, (std::vector<ScanPoint>{{2, 1}}));
}

TEST_F(ScanFile, EmptyRangeDoesNotTouchTheFile) {
    const auto missing = dir_ / "absent.wiff.scan";
    const auto block = corvex::raw::read_scan_block(missing, 1000, 500, 100, 5000);
    ASSERT_TRUE(block.ok()) << block.error().message;
    EXPECT_TRUE(block->empty());
}

TEST_F(ScanFile, MissingFileIsNotFound) {
    const auto block = corvex::raw::read_scan_block(dir_ / "absent.wiff.scan", 0, 500, 500, 500);
    ASSERT_FALSE(block.ok());
    EXPECT_EQ(block.error().kind, IoErrorKind::NotFound);
    EXPECT_EQ(block.error().message, "No such file or directory (os error 2)");
}

TEST_F(ScanFile, RecordedSizeOf1GiBReadsAtMost64MiB) {
    const auto path = dir_ / "sparse.wiff.scan";
    {
        std::ofstream file(path, std::ios::binary);
        file.seekp(static_cast<std::streamoff>(56 + mib64 - 1));
        file.put(static_cast<char>(0x81));  // last byte inside the cap
        file.put(static_cast<char>(0x82));  // first byte past it
        file.put(static_cast<char>(0x83));
    }
    const std::uint64_t size = std::filesystem::file_size(path);
    const auto block = corvex::raw::read_scan_block(path, 0, 1ULL << 30, size, size);
    ASSERT_TRUE(block.ok()) << block.error().message;
    EXPECT_EQ(*block, (std::vector<ScanPoint>{{0, 1}}));
}

struct NotRegular {
    const char* name;
    std::string message;
};

class ScanFileNotRegular : public ScanFile, public testing::WithParamInterface<NotRegular> {};

// Anything but a regular file fails at once: a FIFO must not block waiting
// for a writer, and a device must not be read as an endless payload.
TEST_P(ScanFileNotRegular, FailsWithoutBlocking) {
    std::filesystem::path path;
    const std::string kind = GetParam().name;
    if (kind == "Directory") {
        path = dir_.path();
    } else if (kind == "Fifo") {
        path = dir_ / "fifo.wiff.scan";
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    } else {
        path = "/dev/zero";
    }
    const auto block = corvex::raw::read_scan_block(path, 0, 1000, 1000, 1000);
    ASSERT_FALSE(block.ok());
    EXPECT_EQ(block.error().kind, IoErrorKind::Other);
    EXPECT_EQ(block.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ScanFileNotRegular,
                         testing::Values(NotRegular{"Directory", "Is a directory (os error 21)"},
                                         NotRegular{"Fifo", "scan data file is not a regular file"},
                                         NotRegular{"CharDevice", "scan data file is not a regular file"}),
                         [](const testing::TestParamInfo<NotRegular>& info) { return std::string(info.param.name); });

}  // namespace
