#include "engine/python/writer_arguments.hpp"

#include <cerrno>
#include <climits>
#include <initializer_list>
#include <optional>
#include <utility>

namespace corvex::engine::python {

using corvex::python::Ref;

namespace {

bool bytes_text(PyObject* value, const char* param, std::string& out) {
    if (!PyBytes_Check(value)) return type_error(param, "bytes");
    out.assign(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
    return true;
}

bool numpress_option(PyObject* value, const char* param, std::initializer_list<std::pair<const char*, Numpress>> choices,
                     std::optional<Numpress>& out) {
    out.reset();
    if (value == nullptr || value == Py_None) return true;
    std::string_view text;
    if (!text_view(value, param, text)) return false;
    for (const auto& [name, coding] : choices) {
        if (text == name) {
            out = coding;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown %s %R", param, value);
    return false;
}

}  // namespace

bool type_error(const char* param, const char* expected) {
    PyErr_Format(PyExc_TypeError, "%s must be %s", param, expected);
    return false;
}

bool text_view(PyObject* value, const char* param, std::string_view& out) {
    if (!PyUnicode_Check(value)) return type_error(param, "a str");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (!utf8) return false;
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

bool to_fd(PyObject* value, int& out) {
    const long fd = PyLong_AsLong(value);
    if (fd == -1 && PyErr_Occurred()) return false;
    if (fd < 0 || fd > INT_MAX) {
        PyErr_Format(PyExc_ValueError, "fd must be an open file descriptor, not %ld", fd);
        return false;
    }
    out = static_cast<int>(fd);
    return true;
}

bool document_frame(PyObject* header, PyObject* between, PyObject* footer, mzml::DocumentFrame& out) {
    return bytes_text(header, "header", out.header) && bytes_text(between, "between", out.between) &&
           bytes_text(footer, "footer", out.footer);
}

bool vocabulary_from(PyObject* params, mzml::Vocabulary& vocabulary) {
    Ref items = Ref::steal(PySequence_Fast(params, "params must be a sequence of (before, after) pairs"));
    if (!items) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    if (static_cast<std::size_t>(count) != vocabulary.params.size()) {
        PyErr_Format(PyExc_ValueError, "params must hold %zu pairs, one per key of mzml_param_keys(), not %zd",
                     vocabulary.params.size(), count);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* pair = PySequence_Fast_GET_ITEM(items.get(), i);
        std::string_view before, after;
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) return type_error("each param", "a pair of str");
        if (!text_view(PyTuple_GET_ITEM(pair, 0), "a param's text", before) ||
            !text_view(PyTuple_GET_ITEM(pair, 1), "a param's text", after)) {
            return false;
        }
        vocabulary.params[static_cast<std::size_t>(i)] = {std::string(before), std::string(after)};
    }
    return true;
}

bool array_codings(PyObject* zlib, PyObject* numpress_mz, PyObject* numpress_intensity, mzml::ArrayCodings& out) {
    const int compress = PyObject_IsTrue(zlib);
    if (compress < 0) return false;
    if (!numpress_option(numpress_mz, "numpress_mz", {{"linear", Numpress::linear}}, out.mz.numpress) ||
        !numpress_option(numpress_intensity, "numpress_intensity", {{"pic", Numpress::pic}, {"slof", Numpress::slof}},
                         out.intensity.numpress)) {
        return false;
    }
    out.mz.zlib = out.intensity.zlib = compress != 0;
    return true;
}

bool raise_errno(int error) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
}

}  // namespace corvex::engine::python
