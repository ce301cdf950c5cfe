// SpectrumIter: spectra decoded on a background thread, one slot ahead.
#include "corvex/python/args.hpp"
#include "corvex/python/borrow.hpp"
#include "corvex/python/classes.hpp"
#include "corvex/python/errors.hpp"

namespace corvex::python {

namespace {

struct SpectrumIterObject {
    PyObject_HEAD
    BorrowFlag access;
};

void spectrum_iter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<SpectrumIterObject*>(self)->~SpectrumIterObject();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot spectrum_iter_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(spectrum_iter_dealloc)},
    {0, nullptr},
};

PyType_Spec spectrum_iter_spec = {
    // The dotted name sets __module__; __name__ and __qualname__ stay bare.
    "corvex.SpectrumIter",
    sizeof(SpectrumIterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    spectrum_iter_slots,
};

PyObject* iter_spectra(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* params[] = {"path", "sample"};
        static const Signature signature{"iter_spectra()", params, 1};
        PyObject* matched[2];
        if (!match_fastcall(signature, args, nargs, kwnames, matched)) return nullptr;
        auto path = to_text(matched[0], "path");
        if (!path) return nullptr;
        auto sample = to_optional_text(matched[1], "sample");
        if (!sample) return nullptr;
        PyErr_SetString(PyExc_NotImplementedError, "streaming spectra is not available yet");
        return nullptr;
    });
}

}  // namespace

PyObject* spectrum_iter_type() {
    static PyObject* type = nullptr;
    return cached_type(type, spectrum_iter_spec);
}

PyMethodDef iter_spectra_def = {
    "iter_spectra",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(iter_spectra)),
    METH_FASTCALL | METH_KEYWORDS,
    "iter_spectra(path, sample=None)\n--\n\nDecode spectra one at a time without buffering the whole acquisition.",
};

}  // namespace corvex::python
