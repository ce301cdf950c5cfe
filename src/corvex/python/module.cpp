// The corvex extension module: multi-phase initialisation whose exec step
// registers the public classes and functions, in a fixed order, in __all__.
#include <string>

#include "corvex/python/args.hpp"
#include "corvex/python/classes.hpp"
#include "corvex/python/convert.hpp"
#include "corvex/python/errors.hpp"
#include "corvex/reader.hpp"

namespace corvex::python {

namespace {

PyObject* list_samples(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* params[] = {"path"};
        static const Signature signature{"list_samples()", params, 1};
        PyObject* matched[1];
        if (!match_fastcall(signature, args, nargs, kwnames, matched)) return nullptr;
        auto path = to_text(matched[0], "path");
        if (!path) return nullptr;

        auto names = Reader::list_samples(*path);
        if (!names) return to_py_err(std::move(names).error()).restore();
        return py_list(names->size(), [&](std::size_t i) { return py_text((*names)[i]); });
    });
}

// Appends `name` to __all__ (created on first use) and then sets the
// attribute; `object` is a new reference, consumed.
bool add_public(PyObject* module, const char* name, PyObject* object) {
    Ref owned = Ref::steal(object);
    if (!owned) return false;
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) != 0) return false;
    return PyObject_SetAttrString(module, name, owned.get()) == 0;
}

PyObject* new_function(PyMethodDef& def, PyObject* module) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return nullptr;
    return PyCFunction_NewEx(&def, module, module_name.get());
}

int exec_module(PyObject* module) {
    return guarded([&]() -> int {
        if (!PyModule_Check(module)) {
            PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'module'", Py_TYPE(module)->tp_name);
            return -1;
        }
        const bool ok = add_public(module, "RawReader", raw_reader_type()) &&
                        add_public(module, "Spectrum", spectrum_type()) &&
                        add_public(module, "SpectrumIter", spectrum_iter_type()) &&
                        add_public(module, "iter_spectra", new_function(iter_spectra_def, module)) &&
                        add_public(module, "list_samples", new_function(list_samples_def, module)) &&
                        add_public(module, "open_sample", new_function(open_sample_def, module));
        return ok ? 0 : -1;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "corvex",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMethodDef list_samples_def = {
    "list_samples",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(list_samples)),
    METH_FASTCALL | METH_KEYWORDS,
    "list_samples(path)\n--\n\n",
};

}  // namespace corvex::python

PyMODINIT_FUNC PyInit_corvex() { return PyModuleDef_Init(&corvex::python::module_def); }
