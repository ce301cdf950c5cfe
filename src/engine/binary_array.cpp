#include "engine/binary_array.hpp"

#include <bit>

namespace corvex::engine {

// Arrays are written straight from memory: mzML's binaries are little-endian.
static_assert(std::endian::native == std::endian::little, "binary arrays are written from little-endian memory");

namespace {

template <class Value>
std::span<const unsigned char> bytes_of(std::span<const Value> values) {
    return {reinterpret_cast<const unsigned char*>(values.data()), values.size_bytes()};
}

}  // namespace

CodedArray BinaryArrayEncoder::code(std::span<const double> values, const ArrayCoding& coding) {
    if (coding.numpress) return code_numpress(values, coding);
    return coding.zlib ? deflate(bytes_of(values), coding.codes.get()) : CodedArray{bytes_of(values), std::nullopt};
}

CodedArray BinaryArrayEncoder::code(std::span<const float> values, const ArrayCoding& coding) {
    if (!coding.numpress) {
        return coding.zlib ? deflate(bytes_of(values), coding.codes.get()) : CodedArray{bytes_of(values), std::nullopt};
    }
    // MS-Numpress codes doubles; 32-bit values widen exactly.
    widened_.assign(values.begin(), values.end());
    return code_numpress(widened_, coding);
}

CodedArray BinaryArrayEncoder::code_numpress(std::span<const double> values, const ArrayCoding& coding) {
    if (auto error = numpress_encode(*coding.numpress, values, numpress_)) return {{}, std::move(error)};
    return coding.zlib ? deflate(numpress_) : CodedArray{numpress_, std::nullopt};
}

CodedArray BinaryArrayEncoder::deflate(std::span<const unsigned char> bytes, const DeflateCodes* codes) {
    compressed_.resize(ZlibCompressor::bound(bytes.size()));
    const std::size_t length =
        zlib_.compress(bytes.data(), bytes.size(), compressed_.data(), compressed_.size(), codes);
    if (length == 0) return {{}, "cannot deflate an array of " + std::to_string(bytes.size()) + " bytes"};
    return {std::span<const unsigned char>(compressed_).first(length), std::nullopt};
}

}  // namespace corvex::engine
