// Ion-source parameters of the acquisition method: one name/value pair per
// ParameterData stream, collected from the method that describes the source.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvex/raw/bytes.hpp"

namespace corvex::raw {

struct SourceParameter {
    std::string name;  // UTF-8, from the stream's UTF-16LE name
    float value = 0.0F;

    // Name length (16-bit, even) at 34, the name at 36, the value right after
    // it. Absent when the stream is short, the length is odd, or the name is
    // not well-formed UTF-16.
    static std::optional<SourceParameter> from_bytes(ByteView bytes);

    friend bool operator==(const SourceParameter&, const SourceParameter&) = default;
};

inline constexpr int first_method_number = 1;
inline constexpr int last_method_number = 4;
inline constexpr int parameters_per_method = 8;

// "MethodSubtree/Method{m}/.../IonSourceParamsTable/Parameter{p}/ParameterData".
std::string ion_source_parameter_path(int method_number, int parameter_number);

// Whole content of the stream at a compound-file path, or nothing when it is
// missing or unreadable.
using ReadStream = std::function<std::optional<Bytes>(std::string_view path)>;

// The parameters of the first method (1 to 4) that holds one named "IS" or
// "ISVF"; failing that, those of the first method that holds any. Each
// method's list keeps parameter-number order. Never fails.
std::vector<SourceParameter> find_ion_source_parameters(const ReadStream& read_stream);

}  // namespace corvex::raw
