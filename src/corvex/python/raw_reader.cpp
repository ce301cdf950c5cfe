// RawReader: one opened sample with every spectrum decoded.
#include "corvex/python/args.hpp"
#include "corvex/python/borrow.hpp"
#include "corvex/python/classes.hpp"
#include "corvex/python/errors.hpp"

namespace corvex::python {

namespace {

struct RawReaderObject {
    PyObject_HEAD
    BorrowFlag access;
};

void raw_reader_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<RawReaderObject*>(self)->~RawReaderObject();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot raw_reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("RawReader(path)\n--\n\n")},
    {Py_tp_dealloc, reinterpret_cast<void*>(raw_reader_dealloc)},
    {0, nullptr},
};

PyType_Spec raw_reader_spec = {
    // The dotted name sets __module__; __name__ and __qualname__ stay bare.
    "corvex.RawReader",
    sizeof(RawReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    raw_reader_slots,
};

PyObject* open_sample(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* params[] = {"path", "sample"};
        static const Signature signature{"open_sample()", params, 2};
        PyObject* matched[2];
        if (!match_fastcall(signature, args, nargs, kwnames, matched)) return nullptr;
        auto path = to_text(matched[0], "path");
        if (!path) return nullptr;
        auto sample = to_text(matched[1], "sample");
        if (!sample) return nullptr;
        PyErr_SetString(PyExc_NotImplementedError, "opening a sample is not available yet");
        return nullptr;
    });
}

}  // namespace

PyObject* raw_reader_type() {
    static PyObject* type = nullptr;
    return cached_type(type, raw_reader_spec);
}

PyMethodDef open_sample_def = {
    "open_sample",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(open_sample)),
    METH_FASTCALL | METH_KEYWORDS,
    "open_sample(path, sample)\n--\n\n",
};

}  // namespace corvex::python
