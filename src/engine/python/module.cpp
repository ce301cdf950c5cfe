// corvex_tools._native: multi-phase initialisation whose exec step lets each
// part of the engine add its classes and functions.
#include "corvex/python/errors.hpp"
#include "engine/python/features.hpp"

namespace corvex::engine::python {

namespace {

int exec_module(PyObject* module) {
    return corvex::python::guarded([&]() -> int {
        const bool ok = add_system_functions(module) &&
                        add_conversion(module) &&
                        add_peak_profile_functions(module) &&
                        add_centroid(module) &&
                        add_run_types(module) &&
                        add_run_conversion(module);
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
    "corvex_tools._native",
    "The compiled engine of corvex_tools; use corvex_tools' Python API instead.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace corvex::engine::python

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&corvex::engine::python::module_def); }
