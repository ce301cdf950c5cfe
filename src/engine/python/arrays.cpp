#include "engine/python/arrays.hpp"

#include <atomic>
#include <new>

#include "corvex/python/errors.hpp"
#include "corvex/python/types.hpp"

namespace corvex::engine::python {

using corvex::python::cached_type;
using corvex::python::guarded;

namespace {

struct BufferObject {
    PyObject_HEAD
    std::shared_ptr<const void> keep;
    const void* data;
    Py_ssize_t size;
    bool writable;
};

BufferObject* as_buffer(PyObject* self) { return reinterpret_cast<BufferObject*>(self); }

void buffer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_buffer(self)->keep.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

// Plain bytes: numpy.frombuffer gives them their type. The memory never
// moves or goes while the object lives, so exports need no bookkeeping.
int buffer_get(PyObject* self, Py_buffer* view, int flags) {
    BufferObject& buffer = *as_buffer(self);
    return PyBuffer_FillInfo(view, self, const_cast<void*>(buffer.data), buffer.size, buffer.writable ? 0 : 1,
                             flags);
}

PyType_Slot buffer_slots[] = {
    {Py_tp_doc, const_cast<char*>("Memory of the engine's behind numpy arrays; made by corvex_tools only.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(buffer_get)},
    {0, nullptr},
};

PyType_Spec buffer_spec = {
    "corvex_tools._native.Buffer",
    sizeof(BufferObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    buffer_slots,
};

PyObject* buffer_type() {
    static PyObject* type = nullptr;
    return cached_type(type, buffer_spec);
}

// numpy.frombuffer, looked up on first use: the module itself does not need
// numpy to be imported. Two threads may both look it up; one reference wins
// and the other is dropped, so no lock is held across the import.
PyObject* frombuffer() {
    static std::atomic<PyObject*> cached{nullptr};
    if (PyObject* function = cached.load(std::memory_order_acquire)) return function;
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    Ref function = Ref::steal(PyObject_GetAttrString(numpy.get(), "frombuffer"));
    if (!function) return nullptr;
    PyObject* expected = nullptr;
    if (cached.compare_exchange_strong(expected, function.get(), std::memory_order_acq_rel)) {
        return function.release();  // kept for the life of the process
    }
    return expected;
}

}  // namespace

PyObject* new_buffer(std::shared_ptr<const void> keep, const void* data, std::size_t size, Access access) {
    Ref type = Ref::steal(buffer_type());
    if (!type) return nullptr;
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    PyObject* self = type_object->tp_alloc(type_object, 0);
    if (!self) return nullptr;
    BufferObject& buffer = *as_buffer(self);
    new (&buffer.keep) std::shared_ptr<const void>(std::move(keep));
    buffer.data = data;
    buffer.size = static_cast<Py_ssize_t>(size);
    buffer.writable = access == Access::Writable;
    return self;
}

PyObject* new_buffer(Memory memory, Access access) {
    return new_buffer(std::make_shared<const Memory>(std::move(memory)), access);
}

PyObject* new_buffer(std::shared_ptr<const Memory> memory, Access access) {
    const void* data = memory->data();
    const std::size_t size = memory->size();
    return new_buffer(std::shared_ptr<const void>(std::move(memory)), data, size, access);
}

namespace {

template <class T>
PyObject* vector_buffer(std::vector<T>& values) {
    // The object first, the vector's move last: until the object exists,
    // `values` is still the caller's.
    auto home = std::make_shared<std::vector<T>>();
    Ref buffer = Ref::steal(new_buffer(home, nullptr, 0, Access::Writable));
    if (!buffer) return nullptr;
    home->swap(values);
    BufferObject& object = *as_buffer(buffer.get());
    object.data = home->data();
    object.size = static_cast<Py_ssize_t>(home->size() * sizeof(T));
    return buffer.release();
}

}  // namespace

PyObject* owned_buffer(std::vector<double>&& values) { return vector_buffer(values); }
PyObject* owned_buffer(std::vector<float>&& values) { return vector_buffer(values); }
PyObject* owned_buffer(std::vector<std::uint32_t>&& values) { return vector_buffer(values); }
PyObject* owned_buffer(std::vector<std::int64_t>&& values) { return vector_buffer(values); }

PyObject* numpy_array(PyObject* buffer, const char* dtype, std::size_t count, std::size_t offset) {
    PyObject* function = frombuffer();
    if (!function) return nullptr;
    Ref type = Ref::steal(PyUnicode_FromString(dtype));
    Ref count_object = Ref::steal(PyLong_FromSize_t(count));
    Ref offset_object = Ref::steal(PyLong_FromSize_t(offset));
    if (!type || !count_object || !offset_object) return nullptr;
    PyObject* args[] = {buffer, type.get(), count_object.get(), offset_object.get()};
    return PyObject_Vectorcall(function, args, 4, nullptr);
}

}  // namespace corvex::engine::python
