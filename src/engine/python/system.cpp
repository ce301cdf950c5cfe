// What the engine knows of the machine it runs on.
#include "corvex/python/convert.hpp"
#include "corvex/python/errors.hpp"
#include "engine/python/features.hpp"
#include "engine/thread_count.hpp"

namespace corvex::engine::python {

namespace {

PyObject* available_cpus(PyObject*, PyObject*) {
    return corvex::python::py_int(std::uint64_t{engine::available_cpus()});
}

PyMethodDef system_functions[] = {
    {"available_cpus", available_cpus, METH_NOARGS,
     "available_cpus()\n--\n\nThe CPUs this process may run on: the default number of decoding threads."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_system_functions(PyObject* module) { return PyModule_AddFunctions(module, system_functions) == 0; }

}  // namespace corvex::engine::python
