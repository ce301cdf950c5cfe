#include "corvex/python/errors.hpp"

namespace corvex::python {

PyErrValue to_py_err(Error error) { return {PyExc_RuntimeError, error.display()}; }

PyErrValue core_to_py_err(lumora::Error error) { return {PyExc_RuntimeError, error.display()}; }

PyObject* fatal_error_type() {
    // Created once per process and never destroyed, like the classes; the
    // module namespace stays limited to the public names.
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "corvex.FatalError",
            "An internal fault of corvex that escaped an operation. It derives from "
            "BaseException so that ordinary exception handlers do not hide it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_fatal(const char* message) {
    if (PyObject* type = fatal_error_type()) PyErr_SetString(type, message);
}

}  // namespace corvex::python
