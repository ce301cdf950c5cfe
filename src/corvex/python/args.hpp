// Argument matching and conversion for the module's functions and methods.
// Arguments are matched like a Python function whose parameters are all
// positional-or-keyword, with Python's own error messages.
#pragma once

#include "corvex/python/ref.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace corvex::python {

struct Signature {
    const char* label;                    // "list_samples()", "RawReader.read_spectrum()"
    std::span<const char* const> params;  // names, in order
    std::size_t required;                 // the first `required` have no default
};

// Fills `out` (one slot per parameter) with borrowed references, null for an
// absent optional parameter. On a mismatch sets TypeError and returns false.
bool match_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> out);
bool match_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// Conversions. On failure each sets the exception and adds the note
// "while processing '<param>'" to it.
std::optional<std::string> to_text(PyObject* value, const char* param);
// Absent for null or None.
std::optional<std::optional<std::string>> to_optional_text(PyObject* value, const char* param);
std::optional<std::uint64_t> to_index(PyObject* value, const char* param);

}  // namespace corvex::python
