// Conversions from record values to fresh plain Python objects. Each returns
// a new reference, or null with an exception set.
#pragma once

#include "corvex/python/ref.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "lumora/types.hpp"

namespace corvex::python {

inline PyObject* py_none() { return Py_NewRef(Py_None); }
inline PyObject* py_bool(bool value) { return PyBool_FromLong(value ? 1 : 0); }
inline PyObject* py_float(double value) { return PyFloat_FromDouble(value); }
inline PyObject* py_int(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
inline PyObject* py_int(std::int32_t value) { return PyLong_FromLong(value); }
inline PyObject* py_int(std::uint32_t value) { return PyLong_FromUnsignedLong(value); }
// Text read from files is decoded leniently so a stray byte cannot make a
// value unreadable.
inline PyObject* py_text(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

template <class T>
PyObject* py_optional(const std::optional<T>& value) {
    if (!value) return py_none();
    if constexpr (std::is_same_v<T, double> || std::is_same_v<T, float>) {
        return py_float(*value);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return py_text(*value);
    } else if constexpr (std::is_enum_v<T>) {
        return py_text(lumora::to_text(*value));
    } else {
        return py_int(*value);
    }
}

// A new list of `size` items, item i made by `make_item(i)` as a new
// reference (null with an exception set on failure).
template <class MakeItem>
PyObject* py_list(std::size_t size, MakeItem&& make_item) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(size)));
    if (!list) return nullptr;
    PyObject* list_object = list.get();
    for (std::size_t i = 0; i < size; ++i) {
        PyObject* item = make_item(i);
        if (!item) return nullptr;
        PyList_SET_ITEM(list_object, static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// A list of floats, 32-bit values widened exactly.
PyObject* py_float_list(std::span<const double> values);
PyObject* py_float_list(std::span<const float> values);

PyObject* py_extra(const lumora::ExtraMap& extra);
PyObject* cv_term_dict(const lumora::CvTerm& term);
PyObject* precursor_dict(const lumora::Precursor& precursor);

// Builds a dict from (key, new reference) pairs in order; consumes every
// value, even after a failure.
struct DictItem {
    const char* key;
    PyObject* value;
};
PyObject* py_dict(std::initializer_list<DictItem> items);

}  // namespace corvex::python
