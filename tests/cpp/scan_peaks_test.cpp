// read_scan_peaks against an independent decoding of the same bytes: the
// byte-at-a-time reference decoder, then zero intensities dropped and m/z
// worked out here. Blocks of many sizes run through one thread one after the
// other, so reused buffers that grow, or an oversized block's own buffers,
// cannot leak points from one block into the next.
#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "corvex/raw/scan.hpp"
#include "scan_reference.hpp"
#include "scratch_dir.hpp"

namespace {

using corvex::raw::Bytes;
using corvex::raw::ByteView;
using corvex::raw::Calibration;
using corvex::raw::PeakArrays;

// A payload of random codes: skips, points of every code length, zero
// intensities, now and then an end marker, and a last code that may be cut.
Bytes random_payload(std::mt19937_64& random, std::size_t size) {
    Bytes bytes;
    bytes.reserve(size + 5);
    std::uniform_int_distribution<int> kind(0, 99);
    while (bytes.size() < size) {
        const int k = kind(random);
        const auto raw = static_cast<std::uint32_t>(random());
        if (k < 40) {
            bytes.push_back(static_cast<std::uint8_t>(raw & 0x7F));
        } else if (k < 60) {
            bytes.push_back(static_cast<std::uint8_t>(0x80 + raw % 124));  // 0x80 is intensity 0
        } else if (k < 70) {
            bytes.insert(bytes.end(), {0xFC, static_cast<std::uint8_t>(raw % 3 == 0 ? 0 : raw)});
        } else if (k < 80) {
            bytes.insert(bytes.end(), {0xFD, static_cast<std::uint8_t>(raw), static_cast<std::uint8_t>(raw >> 8)});
        } else if (k < 90) {
            bytes.insert(bytes.end(), {0xFE, static_cast<std::uint8_t>(raw), static_cast<std::uint8_t>(raw >> 8),
                                       static_cast<std::uint8_t>(raw >> 16)});
        } else if (k < 99 || size < 100'000) {
            bytes.insert(bytes.end(), {0xFF, static_cast<std::uint8_t>(raw), static_cast<std::uint8_t>(raw >> 8),
                                       static_cast<std::uint8_t>(raw >> 16), static_cast<std::uint8_t>(raw >> 24)});
        } else {
            bytes.insert(bytes.end(), {0xFF, 0xFF, 0xFF, 0xFF});  // end marker mid-payload
        }
    }
    bytes.resize(size);
    return bytes;
}

PeakArrays expected_peaks(ByteView payload, const std::optional<Calibration>& calibration) {
    PeakArrays arrays;
    for (const auto& point : corvex::raw::reference::decode_scan_payload(payload)) {
        if (point.intensity == 0) continue;
        double mz = static_cast<double>(point.index);
        if (calibration) {
            const double product = calibration->slope * static_cast<double>(point.index);
            mz = calibration->intercept + product;
        }
        arrays.mz.push_back(mz);
        arrays.intensity.push_back(static_cast<float>(point.intensity));
    }
    return arrays;
}

// Bit for bit, and with no spare capacity.
void expect_same(const PeakArrays& got, const PeakArrays& expected, const std::string& what) {
    ASSERT_EQ(got.mz.size(), expected.mz.size()) << what;
    ASSERT_EQ(got.intensity.size(), expected.intensity.size()) << what;
    for (std::size_t p = 0; p < got.mz.size(); ++p) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(got.mz[p]), std::bit_cast<std::uint64_t>(expected.mz[p]))
            << what << ", peak " << p;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(got.intensity[p]), std::bit_cast<std::uint32_t>(expected.intensity[p]))
            << what << ", peak " << p;
    }
    EXPECT_EQ(got.mz.capacity(), got.mz.size()) << what;
    EXPECT_EQ(got.intensity.capacity(), got.intensity.size()) << what;
}

struct Block {
    std::uint64_t offset;
    Bytes payload;
};

class ScanPeaks : public testing::Test {
protected:
    ScratchDir dir_{std::string("scan_peaks_test_") + testing::UnitTest::GetInstance()->current_test_info()->name()};

    // Writes the blocks back to back (56-byte header, payload) and returns the
    // file's path; `blocks_` holds where each went.
    std::filesystem::path write_blocks(std::mt19937_64& random, const std::vector<std::size_t>& sizes) {
        Bytes file(64, 0xA5);
        for (std::size_t size : sizes) {
            Block block{file.size(), random_payload(random, size)};
            file.resize(file.size() + 56, 0xEE);
            file.insert(file.end(), block.payload.begin(), block.payload.end());
            blocks_.push_back(std::move(block));
        }
        const auto path = dir_ / "data.wiff.scan";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                    static_cast<std::streamsize>(file.size()));
        file_size_ = file.size();
        return path;
    }

    // Reads block b as spectrum assembly does (bounded by the next block) and
    // checks it against the reference and against read_scan_block.
    void check_block(const std::filesystem::path& path, std::size_t b, const std::optional<Calibration>& calibration) {
        const Block& block = blocks_[b];
        const std::uint64_t bound = b + 1 < blocks_.size() ? blocks_[b + 1].offset : file_size_;
        const std::uint64_t size = 56 + block.payload.size();
        const auto got = corvex::raw::read_scan_peaks(decoder_, path, block.offset, size, bound, file_size_, calibration);
        ASSERT_TRUE(got.ok()) << got.error().message;
        // The payload range runs up to 64 bytes into the next block.
        const auto range = corvex::raw::scan_payload_range(block.offset, size, bound, file_size_);
        Bytes read(range.size());
        std::ifstream(path, std::ios::binary)
            .seekg(static_cast<std::streamoff>(range.start))
            .read(reinterpret_cast<char*>(read.data()), static_cast<std::streamsize>(read.size()));
        const std::string what = "block " + std::to_string(b) + " of " + std::to_string(block.payload.size()) + " bytes";
        expect_same(*got, expected_peaks(ByteView(read), calibration), what);
        auto points = corvex::raw::read_scan_block(path, block.offset, size, bound, file_size_);
        ASSERT_TRUE(points.ok());
        expect_same(*got, corvex::raw::points_to_arrays(std::move(points).value(), calibration), what);
        // The two stages one after the other, into memory of the caller's.
        auto kept = decoder_.read_nonzero_points(path, block.offset, size, bound, file_size_);
        ASSERT_TRUE(kept.ok());
        PeakArrays staged{std::vector<double>(kept->size()), std::vector<float>(kept->size())};
        corvex::raw::points_to_peaks(*kept, calibration, staged.mz.data(), staged.intensity.data());
        expect_same(staged, *got, what + " in stages");
    }

    std::vector<Block> blocks_;
    std::uint64_t file_size_ = 0;
    corvex::raw::ScanDecoder decoder_;
};

TEST_F(ScanPeaks, MatchesTheReferenceOverBlocksOfEverySize) {
    std::mt19937_64 random(20261208);
    // Small, growing, one past the size whose buffers are kept, then small
    // and medium again.
    const std::vector<std::size_t> sizes{0, 1, 2, 5, 9, 17, 100, 3'000, 70'000, 200'000, 40, 1'500'000, 7, 90'000, 600};
    const auto path = write_blocks(random, sizes);
    for (const std::optional<Calibration>& calibration :
         {std::optional<Calibration>{}, std::optional<Calibration>{Calibration{0.0005, 20.0}},
          std::optional<Calibration>{Calibration{2.0, 100.0}}, std::optional<Calibration>{Calibration{1e-3, -5.0}}}) {
        for (std::size_t b = 0; b < blocks_.size(); ++b) {
            check_block(path, b, calibration);
        }
    }
}

TEST_F(ScanPeaks, ThreadsDecodingAtOnceKeepTheirBlocksApart) {
    std::mt19937_64 random(7);
    const auto path = write_blocks(random, {50'000, 120'000, 3'000, 80'000, 10, 64'000});
    const std::optional<Calibration> calibration = Calibration{0.0005, 20.0};
    std::vector<PeakArrays> expected;
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        const std::uint64_t bound = b + 1 < blocks_.size() ? blocks_[b + 1].offset : file_size_;
        auto points = corvex::raw::read_scan_block(path, blocks_[b].offset, 56 + blocks_[b].payload.size(), bound,
                                                   file_size_);
        ASSERT_TRUE(points.ok());
        expected.push_back(corvex::raw::points_to_arrays(std::move(points).value(), calibration));
    }
    const auto run = [&](std::size_t first, std::vector<PeakArrays>& out) {
        corvex::raw::ScanDecoder decoder;
        for (int round = 0; round < 20; ++round) {
            for (std::size_t b = first; b < blocks_.size(); b += 2) {
                const std::uint64_t bound = b + 1 < blocks_.size() ? blocks_[b + 1].offset : file_size_;
                auto got = corvex::raw::read_scan_peaks(decoder, path, blocks_[b].offset, 56 + blocks_[b].payload.size(),
                                                        bound, file_size_, calibration);
                out[b] = got.ok() ? std::move(got).value() : PeakArrays{};
            }
        }
    };
    std::vector<PeakArrays> even(blocks_.size()), odd(blocks_.size());
    std::thread other(run, 1, std::ref(odd));
    run(0, even);
    other.join();
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        expect_same(b % 2 == 0 ? even[b] : odd[b], expected[b], "block " + std::to_string(b));
    }
}

TEST_F(ScanPeaks, FailsAsReadScanBlockDoes) {
    const auto missing = dir_ / "absent.wiff.scan";
    const auto peaks = corvex::raw::read_scan_peaks(decoder_, missing, 0, 500, 500, 500, std::nullopt);
    const auto points = corvex::raw::read_scan_block(missing, 0, 500, 500, 500);
    ASSERT_FALSE(peaks.ok());
    ASSERT_FALSE(points.ok());
    EXPECT_EQ(peaks.error().kind, points.error().kind);
    EXPECT_EQ(peaks.error().message, points.error().message);
    // An empty range never opens the file.
    const auto empty = corvex::raw::read_scan_peaks(decoder_, missing, 1000, 500, 100, 5000, std::nullopt);
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->mz.empty());
    EXPECT_TRUE(empty->intensity.empty());
}

}  // namespace
