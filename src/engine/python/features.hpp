// The parts of corvex_tools._native, one unit each. Each adds its classes and
// functions to the module; false with an exception set on failure.
#pragma once

#include "corvex/python/ref.hpp"

namespace corvex::engine::python {

bool add_system_functions(PyObject* module);
bool add_conversion(PyObject* module);
// Conversion, convert_mzml and convert_mgf: whole runs converted by the engine.
bool add_run_conversion(PyObject* module);
bool add_peak_profile_functions(PyObject* module);
bool add_centroid(PyObject* module);
// Run, PeakIter and open_run.
bool add_run_types(PyObject* module);

}  // namespace corvex::engine::python
