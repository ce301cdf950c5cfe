// Arrays handed to Python without a copy: a buffer object (see arrays.hpp)
// that takes over a std::vector and lends its memory through the buffer
// protocol, for numpy.frombuffer. The memory is writable: nothing else
// refers to it.
#pragma once

#include <cstdint>
#include <vector>

#include "corvex/python/ref.hpp"

namespace corvex::engine::python {

// A new buffer object owning `values` (moved in, never copied); null with an
// exception set on failure, in which case `values` is left untouched.
PyObject* owned_buffer(std::vector<double>&& values);
PyObject* owned_buffer(std::vector<float>&& values);
PyObject* owned_buffer(std::vector<std::uint32_t>&& values);
PyObject* owned_buffer(std::vector<std::int64_t>&& values);

}  // namespace corvex::engine::python
