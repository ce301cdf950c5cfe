// Arguments the engine's writers share: the output file descriptor, an mzML
// document's frame and vocabulary text, and how its arrays are coded. Each
// returns false with the exception set when the argument is not right.
#pragma once

#include <string>
#include <string_view>

#include "corvex/python/ref.hpp"
#include "engine/mzml_document.hpp"
#include "engine/mzml_elements.hpp"

namespace corvex::engine::python {

bool type_error(const char* param, const char* expected);

// A str argument's UTF-8 text, valid while the argument lives.
bool text_view(PyObject* value, const char* param, std::string_view& out);

bool to_fd(PyObject* value, int& out);

// The frame from three bytes arguments.
bool document_frame(PyObject* header, PyObject* between, PyObject* footer, mzml::DocumentFrame& out);

// A (before, after) pair of str for each key of mzml::param_keys(), in order.
bool vocabulary_from(PyObject* params, mzml::Vocabulary& vocabulary);

// zlib (truthy), numpress_mz ("linear" or None), numpress_intensity ("pic",
// "slof" or None); a null argument is None.
bool array_codings(PyObject* zlib, PyObject* numpress_mz, PyObject* numpress_intensity, mzml::ArrayCodings& out);

// OSError for `error` (an errno); always false.
bool raise_errno(int error);

}  // namespace corvex::engine::python
