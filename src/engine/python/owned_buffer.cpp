#include "engine/python/owned_buffer.hpp"

#include <new>
#include <utility>


namespace corvex::engine::python {

namespace {

// The vector behind a buffer object, whatever its element type.
class Storage {
public:
    virtual ~Storage() = default;
    virtual void* data() noexcept = 0;
    virtual Py_ssize_t size() const noexcept = 0;
};

template <class T>
class VectorStorage final : public Storage {
public:
    explicit VectorStorage(std::vector<T>&& values) noexcept : values_(std::move(values)) {}
    void* data() noexcept override { return values_.data(); }
    Py_ssize_t size() const noexcept override { return static_cast<Py_ssize_t>(values_.size()); }

private:
    std::vector<T> values_;
};

struct OwnedBufferObject {
    PyObject_HEAD
    Storage* storage;
    const char* format;  // struct-module format of one item
    Py_ssize_t itemsize;
    Py_ssize_t shape;
    Py_ssize_t stride;
};

OwnedBufferObject* as_buffer(PyObject* self) { return reinterpret_cast<OwnedBufferObject*>(self); }

void owned_buffer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_buffer(self)->storage;
    type->tp_free(self);
    Py_DECREF(type);
}

int owned_buffer_get(PyObject* self, Py_buffer* view, int flags) {
    OwnedBufferObject& object = *as_buffer(self);
    view->obj = Py_NewRef(self);
    view->buf = object.storage->data();
    view->len = object.shape * object.itemsize;
    view->readonly = 0;
    view->itemsize = object.itemsize;
    view->format = (flags & PyBUF_FORMAT) != 0 ? const_cast<char*>(object.format) : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &object.shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &object.stride : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyType_Slot owned_buffer_slots[] = {
    {Py_tp_doc, const_cast<char*>("Memory of one array computed by corvex_tools; read it with numpy.frombuffer.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(owned_buffer_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(owned_buffer_get)},
    {0, nullptr},
};

PyType_Spec owned_buffer_spec = {
    "corvex_tools._native.OwnedBuffer",
    sizeof(OwnedBufferObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    owned_buffer_slots,
};

PyObject* owned_buffer_type() {
    static PyObject* type = nullptr;
    if (!type) type = PyType_FromSpec(&owned_buffer_spec);
    return Py_XNewRef(type);
}

template <class T>
PyObject* make_owned_buffer(std::vector<T>& values, const char* format) {
    static_assert(sizeof(unsigned int) == sizeof(std::uint32_t), "format 'I' is 32 bits wide");
    corvex::python::Ref type = corvex::python::Ref::steal(owned_buffer_type());
    if (!type) return nullptr;
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    // The object first, the storage last: until the storage exists, `values`
    // is still the caller's.
    corvex::python::Ref self = corvex::python::Ref::steal(type_object->tp_alloc(type_object, 0));
    if (!self) return nullptr;
    OwnedBufferObject& object = *as_buffer(self.get());
    object.storage = new (std::nothrow) VectorStorage<T>(std::move(values));
    if (!object.storage) return PyErr_NoMemory();
    object.format = format;
    object.itemsize = sizeof(T);
    object.shape = object.storage->size();
    object.stride = sizeof(T);
    return self.release();
}

}  // namespace

PyObject* owned_buffer(std::vector<double>&& values) { return make_owned_buffer(values, "d"); }
PyObject* owned_buffer(std::vector<float>&& values) { return make_owned_buffer(values, "f"); }
PyObject* owned_buffer(std::vector<std::uint32_t>&& values) { return make_owned_buffer(values, "I"); }

}  // namespace corvex::engine::python
