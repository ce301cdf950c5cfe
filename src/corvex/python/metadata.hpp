// The run metadata and decoded stream views of an opened sample as fresh
// plain Python objects: the values RawReader's methods of the same names
// return, for every class that shows them. Each returns a new reference, or
// null with an exception set.
#pragma once

#include "corvex/python/ref.hpp"

#include <optional>
#include <vector>

#include "corvex/raw/calibration.hpp"
#include "corvex/raw/dde.hpp"
#include "corvex/raw/idx.hpp"
#include "corvex/raw/instrument_log.hpp"
#include "corvex/raw/ion_source.hpp"
#include "lumora/types.hpp"

namespace corvex::python {

PyObject* run_info_dict(const lumora::RunMetadata& metadata);
PyObject* instrument_info_value(const std::optional<raw::InstrumentInfo>& info);
PyObject* calibration_value(const std::optional<raw::Calibration>& calibration);
PyObject* ion_source_dict(const std::vector<raw::SourceParameter>& parameters);
PyObject* dde_precursor_list(const std::vector<raw::DdeRecord>& records);
PyObject* chromatogram_list(const std::vector<lumora::ChromatogramRecord>& records);
PyObject* scan_index_list(const std::vector<raw::IdxRecord>& records);

}  // namespace corvex::python
