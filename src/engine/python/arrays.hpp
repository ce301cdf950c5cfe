// Engine memory handed to numpy without a copy. A Buffer object owns (or
// shares) a block of C++ memory and exports it through the buffer protocol;
// numpy.frombuffer makes arrays over it, and each array keeps the Buffer,
// and so the memory, alive for as long as it exists.
#pragma once

#include "corvex/python/ref.hpp"

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "engine/memory.hpp"
#include "engine/python/owned_buffer.hpp"

namespace corvex::engine::python {

using corvex::python::Ref;

enum class Access { ReadOnly, Writable };

// A Buffer over `size` bytes at `data`, which stay valid while `keep` lives.
PyObject* new_buffer(std::shared_ptr<const void> keep, const void* data, std::size_t size, Access access);

// A Buffer owning `memory`.
PyObject* new_buffer(Memory memory, Access access);

// A Buffer sharing `memory`.
PyObject* new_buffer(std::shared_ptr<const Memory> memory, Access access);

// numpy.frombuffer(buffer, dtype, count, offset): `count` values of `dtype`
// ("<f8", "<f4", "<i8") from byte `offset` on.
PyObject* numpy_array(PyObject* buffer, const char* dtype, std::size_t count, std::size_t offset = 0);

// A read-only array over one column of a table that `keep` owns.
template <class T>
PyObject* column_array(const std::shared_ptr<const void>& keep, const std::vector<T>& column, const char* dtype) {
    Ref buffer = Ref::steal(new_buffer(keep, column.data(), column.size() * sizeof(T), Access::ReadOnly));
    if (!buffer) return nullptr;
    return numpy_array(buffer.get(), dtype, column.size());
}

// A writable array that owns `values` (see owned_buffer.hpp).
template <class T>
PyObject* owning_array(std::vector<T>&& values, const char* dtype) {
    const std::size_t count = values.size();
    Ref buffer = Ref::steal(owned_buffer(std::move(values)));
    if (!buffer) return nullptr;
    return numpy_array(buffer.get(), dtype, count);
}

}  // namespace corvex::engine::python
