// The opened run behind a corvex_tools._native.Run, for the engine's other
// parts.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "corvex/python/ref.hpp"
#include "engine/run.hpp"

namespace corvex::engine::python {

// The run of `value`, a _native.Run; null with TypeError set otherwise.
std::shared_ptr<const Run> run_argument(PyObject* value, const char* param);

// A `threads` argument: None or an int >= 0, where 0 and None both mean one
// thread per CPU (given as 0); nothing with an exception set otherwise.
std::optional<std::size_t> thread_count(PyObject* value);

}  // namespace corvex::engine::python
