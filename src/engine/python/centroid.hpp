// The peak picker's parameters as the Python side passes them, for every
// part of corvex_tools._native that centroids: CentroidPicker() and the
// array layer's centroid=True both take the fields of
// corvex_tools.centroid.CentroidParameters in its field order.
#pragma once

#include <optional>
#include <span>

#include "corvex/python/ref.hpp"
#include "engine/centroid.hpp"
#include "engine/peaks.hpp"

namespace corvex::engine::python {

// The parameters' names, in the order they are passed.
inline constexpr const char* centroid_parameter_names[] = {
    "min_snr",      "min_intensity", "min_points",     "max_gap_channels",
    "single_point_peaks", "valley_ratio", "min_valley_snr", "position"};
inline constexpr std::size_t centroid_parameter_count = std::size(centroid_parameter_names);

// Parameters from their Python values, in centroid_parameter_names' order,
// checked; nothing with ValueError or TypeError set.
std::optional<CentroidParameters> centroid_parameters(std::span<PyObject* const, centroid_parameter_count> values);

// The centroid argument of every call that reads peaks: None for profile
// peaks, or the picker's parameters as a tuple in centroid_parameter_names'
// order (as corvex_tools.centroid.CentroidParameters holds them), checked;
// nothing with TypeError or ValueError set.
std::optional<PeakOptions> peak_options(PyObject* value);

}  // namespace corvex::engine::python
