// Spectrum: one spectrum record, shown as read-only properties.
#include "corvex/python/classes.hpp"

namespace corvex::python {

namespace {

struct SpectrumObject {
    PyObject_HEAD
};

void spectrum_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<SpectrumObject*>(self)->~SpectrumObject();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot spectrum_slots[] = {
    {Py_tp_doc, const_cast<char*>("A complete vendor-neutral spectrum record. Peak arrays remain Python lists\n"
                                  "for compatibility with the original native binding.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(spectrum_dealloc)},
    {0, nullptr},
};

PyType_Spec spectrum_spec = {
    // The dotted name sets __module__; __name__ and __qualname__ stay bare.
    "corvex.Spectrum",
    sizeof(SpectrumObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    spectrum_slots,
};

}  // namespace

PyObject* spectrum_type() {
    static PyObject* type = nullptr;
    return cached_type(type, spectrum_spec);
}

}  // namespace corvex::python
