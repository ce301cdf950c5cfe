#include "corvex/python/args.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace corvex::python {

namespace {

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

void raise_type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

bool too_many_positional(const Signature& signature, Py_ssize_t given) {
    const std::size_t max = signature.params.size();
    std::string message = std::string(signature.label) + " takes ";
    if (signature.required == max) {
        message += std::to_string(max);
    } else {
        message += "from " + std::to_string(signature.required) + " to " + std::to_string(max);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    raise_type_error(message);
    return false;
}

// Places one keyword argument; false with TypeError set on a mismatch.
bool place_keyword(const Signature& signature, PyObject* name, PyObject* value, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < signature.params.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(name, signature.params[i]) != 0) continue;
        if (out[i]) {
            raise_type_error(std::string(signature.label) + " got multiple values for argument " +
                             quoted(signature.params[i]));
            return false;
        }
        out[i] = value;
        return true;
    }
    const char* text = PyUnicode_AsUTF8(name);
    if (!text) return false;
    raise_type_error(std::string(signature.label) + " got an unexpected keyword argument " + quoted(text));
    return false;
}

bool check_required(const Signature& signature, std::span<PyObject*> out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (!out[i]) missing.push_back(signature.params[i]);
    }
    if (missing.empty()) return true;
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) names += i + 1 == missing.size() ? (missing.size() == 2 ? " and " : ", and ") : ", ";
        names += quoted(missing[i]);
    }
    raise_type_error(std::string(signature.label) + " missing " + std::to_string(missing.size()) +
                     " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " + names);
    return false;
}

// Adds "while processing '<param>'" as a note to the current exception.
void add_processing_note(const char* param) {
    const std::string note = "while processing " + quoted(param);
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exception = PyErr_GetRaisedException();
    if (!exception) return;
    Ref result = Ref::steal(PyObject_CallMethod(exception, "add_note", "s", note.c_str()));
    if (!result) {
        Py_DECREF(exception);  // the failure of add_note replaces the original
        return;
    }
    PyErr_SetRaisedException(exception);
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
#if PY_VERSION_HEX >= 0x030B0000
    Ref result = Ref::steal(PyObject_CallMethod(value, "add_note", "s", note.c_str()));
#else
    // Before 3.11 there is no add_note; keep the notes where 3.11 would.
    Ref notes = Ref::steal(PyList_New(0));
    Ref result;
    if (notes) {
        Ref text = Ref::steal(PyUnicode_FromString(note.c_str()));
        if (text && PyList_Append(notes.get(), text.get()) == 0 &&
            PyObject_SetAttrString(value, "__notes__", notes.get()) == 0) {
            result = Ref::borrow(Py_None);
        }
    }
#endif
    if (!result) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    PyErr_Restore(type, value, traceback);
#endif
}

const char* type_name(PyObject* value) {
    const char* name = Py_TYPE(value)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

}  // namespace

bool match_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out) {
    std::fill(out.begin(), out.end(), nullptr);
    if (static_cast<std::size_t>(nargs) > signature.params.size()) return too_many_positional(signature, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
    if (kwnames) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            if (!place_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
        }
    }
    return check_required(signature, out);
}

bool match_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
    std::fill(out.begin(), out.end(), nullptr);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > signature.params.size()) return too_many_positional(signature, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        PyObject *name, *value;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            if (!place_keyword(signature, name, value, out)) return false;
        }
    }
    return check_required(signature, out);
}

std::optional<std::string> to_text(PyObject* value, const char* param) {
    if (!PyUnicode_Check(value)) {
        const std::string message = value == Py_None
                                        ? std::string("'None' is not an instance of 'str'")
                                        : quoted(type_name(value)) + " object is not an instance of 'str'";
        raise_type_error(message);
        add_processing_note(param);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (!utf8) {
        add_processing_note(param);
        return std::nullopt;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::optional<std::optional<std::string>> to_optional_text(PyObject* value, const char* param) {
    if (!value || value == Py_None) return std::optional<std::string>();
    auto text = to_text(value, param);
    if (!text) return std::nullopt;
    return std::optional<std::string>(std::move(*text));
}

std::optional<std::uint64_t> to_index(PyObject* value, const char* param) {
    Ref integer = Ref::steal(PyNumber_Index(value));
    if (!integer) {
        add_processing_note(param);
        return std::nullopt;
    }
    const unsigned long long result = PyLong_AsUnsignedLongLong(integer.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        add_processing_note(param);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(result);
}

}  // namespace corvex::python
