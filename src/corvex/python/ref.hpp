// An owning handle on one Python object reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace corvex::python {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (a null pointer means the call that produced
    // it failed and set an exception).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) Py_XSETREF(object_, std::exchange(other.object_, nullptr));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller (for returning to the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace corvex::python
