// Errors at the boundary to the interpreter.
#pragma once

#include "corvex/python/ref.hpp"

#include <exception>
#include <new>
#include <type_traits>
#include <string>

#include "corvex/error.hpp"
#include "lumora/error.hpp"

namespace corvex::python {

// An exception to raise later: its type and message. The exception object is
// only created when `restore` hands it to the interpreter.
struct PyErrValue {
    PyObject* type;  // a built-in exception type, never released
    std::string message;

    // Sets the exception as the current one; always returns null so callers
    // can `return err.restore();`.
    PyObject* restore() const {
        PyErr_SetString(type, message.c_str());
        return nullptr;
    }
};

PyErrValue to_py_err(Error error);
PyErrValue core_to_py_err(lumora::Error error);

// The exception class for faults that escape an operation. It derives from
// BaseException so that `except Exception` handlers do not swallow it.
PyObject* fatal_error_type();

// Sets the fatal-error exception with `message` as the current exception.
void raise_fatal(const char* message);

// Runs `body` (which returns a new reference or null with an exception set)
// and turns any C++ exception into a Python exception, so that none crosses
// into the interpreter.
//
// Never wrap a release and retake of the interpreter in it: at shutdown
// CPython ends a daemon thread that retakes the interpreter with
// pthread_exit, whose forced unwinding must not meet a catch-all.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& fault) {
        raise_fatal(fault.what());
    } catch (...) {
        raise_fatal("unknown C++ exception");
    }
    if constexpr (std::is_pointer_v<decltype(body())>) {
        return nullptr;
    } else {
        return -1;
    }
}

}  // namespace corvex::python
