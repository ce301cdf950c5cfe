// The engine's array codings: zlib streams any zlib reads back, base64 and
// SHA-1 against the published vectors, MS-Numpress within its bounds and
// refusing what it cannot code.
#include <gtest/gtest.h>
#include <libmsnumpress/MSNumpress.hpp>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "engine/base64.hpp"
#include "engine/deflate.hpp"
#include "engine/numpress.hpp"
#include "engine/sha1.hpp"

namespace {

using corvex::engine::Numpress;
using corvex::engine::ZlibCompressor;

std::vector<unsigned char> random_bytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<unsigned char> bytes(size);
    for (auto& byte : bytes) byte = static_cast<unsigned char>(random());
    return bytes;
}

// Peak-list-like m/z values: rising by small, uneven steps.
std::vector<unsigned char> mz_bytes(std::size_t count) {
    std::vector<double> values(count);
    double mz = 100.0;
    for (std::size_t i = 0; i < count; ++i) values[i] = mz += 0.01 * static_cast<double>(1 + i % 7);
    const auto* bytes = reinterpret_cast<const unsigned char*>(values.data());
    return {bytes, bytes + count * sizeof(double)};
}

struct DeflateCase {
    const char* name;
    std::vector<unsigned char> input;
};

// A level, or Huffman codes made from a sample that resembles the input or
// from one that has nothing in common with it.
constexpr int codes_from_mz_sample = 10;
constexpr int codes_from_empty_sample = 11;

class Deflate : public testing::TestWithParam<std::tuple<DeflateCase, int>> {};

// Stored-block fallback on incompressible input must fit the bound, and
// every level's stream must be a zlib stream of exactly the input, whatever
// codes it is made with.
TEST_P(Deflate, InflatesWithZlibToTheInput) {
    const auto& [input_case, coder] = GetParam();
    const std::vector<unsigned char>& input = input_case.input;
    ZlibCompressor compressor(coder < codes_from_mz_sample ? coder : ZlibCompressor::default_level);
    std::optional<corvex::engine::DeflateCodes> codes;
    const std::vector<unsigned char> sample = mz_bytes(3000);
    if (coder == codes_from_mz_sample) codes.emplace(std::as_bytes(std::span(sample)));
    if (coder == codes_from_empty_sample) codes.emplace(std::span<const std::byte>());
    std::vector<unsigned char> stream(ZlibCompressor::bound(input.size()));
    const std::size_t length = compressor.compress(input.data(), input.size(), stream.data(), stream.size(),
                                                   codes ? &*codes : nullptr);
    ASSERT_GT(length, 0u);
    ASSERT_LE(length, stream.size());
    std::vector<unsigned char> inflated(input.size() + 1);
    uLongf inflated_length = inflated.size();
    ASSERT_EQ(uncompress(inflated.data(), &inflated_length, stream.data(), length), Z_OK);
    inflated.resize(inflated_length);
    EXPECT_EQ(inflated, input);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, Deflate,
    testing::Combine(testing::Values(DeflateCase{"empty", {}}, DeflateCase{"one_byte", {42}},
                                     DeflateCase{"zeros", std::vector<unsigned char>(1 << 20)},
                                     DeflateCase{"random_block", random_bytes(65536, 1)},
                                     DeflateCase{"random_large", random_bytes((1 << 20) + 3, 2)},
                                     DeflateCase{"mz_values", mz_bytes(40000)}),
                     testing::Values(0, 1, 2, 3, codes_from_mz_sample, codes_from_empty_sample)),
    [](const auto& info) {
        const int coder = std::get<1>(info.param);
        const std::string how = coder == codes_from_mz_sample      ? "codes_from_mz_sample"
                                : coder == codes_from_empty_sample ? "codes_from_empty_sample"
                                                                   : "level" + std::to_string(coder);
        return std::string(std::get<0>(info.param).name) + "_" + how;
    });

TEST(DeflateFailure, IsZeroWithTooLittleRoomOrABadLevel) {
    const auto input = random_bytes(4096, 3);
    std::vector<unsigned char> stream(ZlibCompressor::bound(input.size()));
    EXPECT_EQ(ZlibCompressor(3).compress(input.data(), input.size(), stream.data(), 100), 0u);
    EXPECT_EQ(ZlibCompressor(4).compress(input.data(), input.size(), stream.data(), stream.size()), 0u);
    EXPECT_EQ(ZlibCompressor(-1).compress(input.data(), input.size(), stream.data(), stream.size()), 0u);
}

struct TextCase {
    std::string input;
    std::string expected;
};

class Base64 : public testing::TestWithParam<TextCase> {};

TEST_P(Base64, AppendsTheStandardText) {
    std::string out = "kept:";
    corvex::engine::append_base64(out, GetParam().input.data(), GetParam().input.size());
    EXPECT_EQ(out, "kept:" + GetParam().expected);
}

// RFC 4648's vectors, and bytes that use the alphabet's last characters.
INSTANTIATE_TEST_SUITE_P(Vectors, Base64,
                         testing::Values(TextCase{"", ""}, TextCase{"f", "Zg=="}, TextCase{"fo", "Zm8="},
                                         TextCase{"foo", "Zm9v"}, TextCase{"foob", "Zm9vYg=="},
                                         TextCase{"fooba", "Zm9vYmE="}, TextCase{"foobar", "Zm9vYmFy"},
                                         TextCase{"\xfb\xff\xbf", "+/+/"}));

// The encoder works in chunks of 3 MiB; the text across a chunk boundary
// must be the two chunks' texts one after the other, with no NUL between.
TEST(Base64Chunks, JoinSeamlessly) {
    const auto input = random_bytes((3 << 20) + 2, 4);
    std::string whole, pieces;
    corvex::engine::append_base64(whole, input.data(), input.size());
    corvex::engine::append_base64(pieces, input.data(), 3 << 20);
    corvex::engine::append_base64(pieces, input.data() + (3 << 20), 2);
    EXPECT_EQ(whole.size(), corvex::engine::base64_length(input.size()));
    EXPECT_EQ(whole, pieces);
}

class Sha1Vector : public testing::TestWithParam<std::tuple<std::string, std::size_t, std::string>> {};

// Fed in pieces of the given size.
TEST_P(Sha1Vector, MatchesThePublishedDigest) {
    const auto& [input, piece, digest] = GetParam();
    corvex::engine::Sha1 sha1;
    for (std::size_t at = 0; at < input.size(); at += piece) {
        ASSERT_TRUE(sha1.update(input.data() + at, std::min(piece, input.size() - at)));
    }
    EXPECT_EQ(sha1.hex_digest(), digest);
    EXPECT_FALSE(sha1.update("more", 4));  // finished
    EXPECT_EQ(sha1.hex_digest(), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Fips, Sha1Vector,
    testing::Values(std::make_tuple(std::string(), 1, "da39a3ee5e6b4b0d3255bfef95601890afd80709"),
                    std::make_tuple(std::string("abc"), 1, "a9993e364706816aba3e25717850c26c9cd0d89d"),
                    std::make_tuple(std::string("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"), 7,
                                    "84983e441c3bd26ebaae4aa1f95129e5e54670f1"),
                    std::make_tuple(std::string(1000000, 'a'), 4096, "34aa973cd4c4daa4f61eeb2bdbad27316534016f")));

struct NumpressCase {
    const char* name;
    Numpress coding;
    std::vector<double> values;
};

// The decoded values, and the most any may be off by.
std::vector<double> decoded(Numpress coding, const std::vector<unsigned char>& bytes) {
    namespace np = ms::numpress::MSNumpress;
    std::vector<double> values;
    if (coding == Numpress::linear) np::decodeLinear(bytes, values);
    if (coding == Numpress::pic) np::decodePic(bytes, values);
    if (coding == Numpress::slof) np::decodeSlof(bytes, values);
    return values;
}

double fixed_point(const std::vector<unsigned char>& bytes) {
    // Stored big-endian in the first 8 bytes.
    unsigned char swapped[8];
    for (int i = 0; i < 8; ++i) swapped[i] = bytes[7 - i];
    double point;
    std::memcpy(&point, swapped, sizeof point);
    return point;
}

class NumpressRoundTrip : public testing::TestWithParam<NumpressCase> {};

TEST_P(NumpressRoundTrip, DecodesWithinTheCodingsBound) {
    const NumpressCase& c = GetParam();
    std::vector<unsigned char> bytes = {1, 2, 3};  // replaced, not appended to
    ASSERT_EQ(corvex::engine::numpress_encode(c.coding, c.values, bytes), std::nullopt);
    const std::vector<double> values = decoded(c.coding, bytes);
    ASSERT_EQ(values.size(), c.values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double x = c.values[i];
        double bound = 0.5;  // pic: rounded to an integer
        if (c.coding == Numpress::linear) bound = 0.5 / fixed_point(bytes) * (1 + 1e-9);
        if (c.coding == Numpress::slof) bound = (x + 1) * std::expm1(0.5 / fixed_point(bytes)) * (1 + 1e-9);
        EXPECT_LE(std::abs(values[i] - x), bound) << c.name << " value " << i;
    }
    if (c.coding == Numpress::linear && !c.values.empty() && c.values.back() >= 1) {
        EXPECT_LE(0.5 / fixed_point(bytes), 1e-8 * c.values.back());  // as fine as 32-bit residuals allow
    }
    if (c.coding == Numpress::slof) {
        // The library's own most precise fixed point, found without a logarithm per value.
        namespace np = ms::numpress::MSNumpress;
        std::vector<unsigned char> library(8 + 2 * c.values.size());
        library.resize(np::encodeSlof(c.values.data(), c.values.size(), library.data(),
                                      np::optimalSlofFixedPoint(c.values.data(), c.values.size())));
        EXPECT_EQ(bytes, library);
    }
}

// Intensities over every magnitude counts give, as the conversion's are.
std::vector<double> spread_counts(std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> exponent(-3.0, 9.5);
    std::vector<double> values(count);
    for (auto& value : values) value = std::floor(std::pow(10.0, exponent(random)) * 4) / 4;
    return values;
}

INSTANTIATE_TEST_SUITE_P(
    Codings, NumpressRoundTrip,
    testing::Values(NumpressCase{"linear_mz", Numpress::linear, {100.0123, 100.0456, 100.0789, 250.5, 1999.99}},
                    NumpressCase{"linear_one", Numpress::linear, {445.12}},
                    NumpressCase{"linear_empty", Numpress::linear, {}},
                    NumpressCase{"linear_zeros", Numpress::linear, {0, 0, 0}},
                    NumpressCase{"pic_counts", Numpress::pic, {0, 1, 7.4, 7.6, 65535, 2147483000.0}},
                    NumpressCase{"slof_counts", Numpress::slof, {0, 0.5, 3, 1e4, 3.3e7}},
                    NumpressCase{"slof_spread", Numpress::slof, spread_counts(20000, 4)},
                    NumpressCase{"slof_below_one", Numpress::slof, {0, 0.25, 0.999}},
                    NumpressCase{"slof_empty", Numpress::slof, {}}),
    [](const auto& info) { return std::string(info.param.name); });

class NumpressRefusal : public testing::TestWithParam<NumpressCase> {};

// The library throws for some of these and silently codes garbage for the
// others; either way the caller gets an error and no bytes.
TEST_P(NumpressRefusal, ReportsTheValueAndLeavesNothing) {
    const NumpressCase& c = GetParam();
    std::vector<unsigned char> bytes = {1, 2, 3};
    const auto error = corvex::engine::numpress_encode(c.coding, c.values, bytes);
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("MS-Numpress"), std::string::npos) << *error;
    EXPECT_TRUE(bytes.empty());
}

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Values, NumpressRefusal,
    testing::Values(NumpressCase{"pic_negative", Numpress::pic, {1, -5, 3}},
                    NumpressCase{"pic_above_int", Numpress::pic, {1, 2147483648.0}},
                    NumpressCase{"pic_nan", Numpress::pic, {1, nan}},
                    NumpressCase{"slof_negative", Numpress::slof, {1, -0.5}},
                    NumpressCase{"slof_infinite", Numpress::slof, {inf}},
                    NumpressCase{"linear_nan", Numpress::linear, {100, nan}},
                    NumpressCase{"linear_infinite", Numpress::linear, {100, inf}},
                    NumpressCase{"linear_huge", Numpress::linear, {100, 1e300}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
