// The opened run behind a corvex_tools._native.Run, for the engine's other
// parts.
#pragma once

#include <memory>

#include "corvex/python/ref.hpp"
#include "engine/run.hpp"

namespace corvex::engine::python {

// The run of `value`, a _native.Run; null with TypeError set otherwise.
std::shared_ptr<const Run> run_argument(PyObject* value, const char* param);

}  // namespace corvex::engine::python
