// The module's classes and functions, defined one unit per class.
#pragma once

#include "corvex/python/ref.hpp"
#include "corvex/python/types.hpp"
#include "lumora/types.hpp"

namespace corvex::python {

// Each returns a new reference to its class, created once per process and
// reused if the module is initialised again; null with an exception set when
// creating it fails.
PyObject* raw_reader_type();
PyObject* spectrum_type();
PyObject* spectrum_iter_type();

// A new Spectrum owning `record`; null with MemoryError set on failure, in
// which case `record` is left untouched (the streaming iterator relies on
// this to hand the record out on the next call instead of losing it).
PyObject* new_spectrum(lumora::SpectrumRecord&& record);

extern PyMethodDef iter_spectra_def;
extern PyMethodDef list_samples_def;
extern PyMethodDef open_sample_def;

}  // namespace corvex::python
