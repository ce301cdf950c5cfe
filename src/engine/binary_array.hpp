// The bytes inside an mzML <binary> element before base64: a peak array as
// little-endian IEEE floats, or MS-Numpress coded, optionally as a zlib
// stream.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/deflate.hpp"
#include "engine/numpress.hpp"

namespace corvex::engine {

struct ArrayCoding {
    std::optional<Numpress> numpress;  // none: the values as they are
    bool zlib = false;                 // deflate the bytes (after numpress, if any)
    // Huffman codes for deflating the values as they are; none: each stream builds its own.
    std::shared_ptr<const DeflateCodes> codes = nullptr;
};

// An array's coded bytes, or what went wrong (values the coding cannot take,
// an array too large to deflate).
struct CodedArray {
    std::span<const unsigned char> bytes;
    std::optional<std::string> error;
};

// Caller-owned working memory for coding arrays, reused from one array to
// the next; one per thread.
class BinaryArrayEncoder {
public:
    explicit BinaryArrayEncoder(int zlib_level = ZlibCompressor::default_level) : zlib_(zlib_level) {}

    // The bytes of `values` coded as `coding` says: the values' own memory
    // when there is nothing to do, otherwise this encoder's, valid until its
    // next call.
    CodedArray code(std::span<const double> values, const ArrayCoding& coding);
    CodedArray code(std::span<const float> values, const ArrayCoding& coding);

private:
    CodedArray code_numpress(std::span<const double> values, const ArrayCoding& coding);
    CodedArray deflate(std::span<const unsigned char> bytes, const DeflateCodes* codes = nullptr);

    ZlibCompressor zlib_;
    std::vector<unsigned char> numpress_;
    std::vector<unsigned char> compressed_;
    std::vector<double> widened_;
};

}  // namespace corvex::engine
