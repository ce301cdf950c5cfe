// Defining the classes and methods of an extension module.
#pragma once

#include "corvex/python/ref.hpp"

namespace corvex::python {

// Creates a heap type from `type_spec` on the first call and returns a new
// reference to it on every call.
PyObject* cached_type(PyObject*& slot, PyType_Spec& type_spec);

// A METH_FASTCALL, METH_NOARGS or keyword method as the PyCFunction a
// PyMethodDef holds.
template <class F>
PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

}  // namespace corvex::python
