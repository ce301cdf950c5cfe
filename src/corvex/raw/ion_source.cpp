#include "corvex/raw/ion_source.hpp"

#include <algorithm>

#include "corvex/raw/utf16.hpp"

namespace corvex::raw {

namespace {

constexpr std::size_t name_length_offset = 34;
constexpr std::size_t name_offset = 36;

bool names_spray_voltage(const SourceParameter& parameter) {
    return parameter.name == "IS" || parameter.name == "ISVF";
}

}  // namespace

std::optional<SourceParameter> SourceParameter::from_bytes(ByteView bytes) {
    if (!has_bytes(bytes, name_length_offset, sizeof(std::uint16_t))) return std::nullopt;
    const std::size_t name_bytes = load_u16(bytes, name_length_offset);
    if (name_bytes % 2 != 0) return std::nullopt;
    const std::size_t value_offset = name_offset + name_bytes;
    if (!has_bytes(bytes, value_offset, sizeof(float))) return std::nullopt;

    auto name = decode_utf16le_strict(bytes.subspan(name_offset, name_bytes));
    if (!name) return std::nullopt;
    return SourceParameter{.name = std::move(*name), .value = load_f32(bytes, value_offset)};
}

std::string ion_source_parameter_path(int method_number, int parameter_number) {
    return "MethodSubtree/Method" + std::to_string(method_number) +
           "/DeviceMethod0/Period0/Experiment0/IonSourceParamsTable/Parameter" +
           std::to_string(parameter_number) + "/ParameterData";
}

std::vector<SourceParameter> find_ion_source_parameters(const ReadStream& read_stream) {
    std::vector<SourceParameter> fallback;
    for (int method = first_method_number; method <= last_method_number; ++method) {
        std::vector<SourceParameter> parameters;
        for (int p = 0; p < parameters_per_method; ++p) {
            const auto bytes = read_stream(ion_source_parameter_path(method, p));
            if (!bytes) continue;
            if (auto parameter = SourceParameter::from_bytes(*bytes)) {
                parameters.push_back(std::move(*parameter));
            }
        }
        if (std::ranges::any_of(parameters, names_spray_voltage)) return parameters;
        if (fallback.empty()) fallback = std::move(parameters);
    }
    return fallback;
}

}  // namespace corvex::raw
