#include "corvex/python/types.hpp"

namespace corvex::python {

PyObject* cached_type(PyObject*& slot, PyType_Spec& type_spec) {
    if (!slot) slot = PyType_FromSpec(&type_spec);
    Py_XINCREF(slot);
    return slot;
}

}  // namespace corvex::python
