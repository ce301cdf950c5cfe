// Array arguments: a one-dimensional, C-contiguous buffer (a numpy array, an
// array.array, ...) of float32, float64 or uint32 values in native byte
// order, held through the buffer protocol for as long as the argument lives,
// so that the engine can read it with the interpreter released.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <string_view>

#include "corvex/python/ref.hpp"

namespace corvex::engine::python {

template <class Value>
struct ArrayKind;
template <>
struct ArrayKind<float> {
    static constexpr char code = 'f';
    static constexpr const char* name = "float32";
};
template <>
struct ArrayKind<double> {
    static constexpr char code = 'd';
    static constexpr const char* name = "float64";
};
template <>
struct ArrayKind<std::uint32_t> {
    static constexpr char code = 'I';
    static constexpr const char* name = "uint32";
};

template <class Value>
class ArrayArgument {
public:
    ArrayArgument() = default;
    ArrayArgument(const ArrayArgument&) = delete;
    ArrayArgument& operator=(const ArrayArgument&) = delete;
    ~ArrayArgument() {
        // A thread ended while it waits to re-attach to the interpreter
        // unwinds through here without it; the view is then left as it is.
        if (held_ && PyGILState_Check()) PyBuffer_Release(&view_);
    }

    // False with an exception set when `value` is not such an array: the
    // buffer protocol's own (TypeError for an object without one, numpy's
    // ValueError for a strided array), or TypeError "<param> must be a
    // one-dimensional <kind> array".
    bool get(PyObject* value, const char* param) {
        if (PyObject_GetBuffer(value, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return false;
        held_ = true;
        if (view_.ndim != 1 || view_.itemsize != sizeof(Value) || !native_format(view_.format)) return refuse(param);
        return true;
    }

    std::span<const Value> values() const noexcept {
        return {static_cast<const Value*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(Value)};
    }

private:
    // The kind's code alone, or after '@', '=' or '<' (little-endian is native here).
    static bool native_format(const char* format) {
        static_assert(std::endian::native == std::endian::little);
        std::string_view text = format ? format : "B";
        if (text.size() == 2 && (text[0] == '@' || text[0] == '=' || text[0] == '<')) text.remove_prefix(1);
        return text.size() == 1 && text[0] == ArrayKind<Value>::code;
    }

    static bool refuse(const char* param) {
        PyErr_Format(PyExc_TypeError, "%s must be a one-dimensional %s array", param, ArrayKind<Value>::name);
        return false;
    }

    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace corvex::engine::python
