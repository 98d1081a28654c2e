#include "readbuffer.hpp"

#include <new>
#include <utility>

#include "binding.hpp"

namespace quillmere::py {

namespace {

// The object behind the memoryview: it owns the memory and exports it.
// It is not in the module and cannot be created from Python; a view keeps
// it alive, and dropping the last view frees the memory.
struct PyReadBuffer {
    PyObject_HEAD
    ZeroedBuffer data;
    int ndim;
    const char* format;
    Py_ssize_t item_size;
    Py_ssize_t bytes;
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

PyObject* cached_type = nullptr;

int read_buffer_get(PyObject* self, Py_buffer* view, int flags) {
    auto* obj = reinterpret_cast<PyReadBuffer*>(self);
    // A C-contiguous matrix is also Fortran-contiguous only when one side is at most 1.
    const bool fortran_too = obj->ndim == 1 || obj->shape[0] <= 1 || obj->shape[1] <= 1;
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !fortran_too) {
        PyErr_SetString(PyExc_BufferError, "read-back buffer is C-contiguous, not Fortran-contiguous");
        return -1;
    }
    // Fills a read-only view of plain bytes and refuses a writable request;
    // a consumer that asks for dimensions gets the items' shape and format.
    if (PyBuffer_FillInfo(view, self, obj->data.as<void>(), obj->bytes, 1, flags) != 0) return -1;
    if ((flags & PyBUF_ND) == PyBUF_ND) {
        view->ndim = obj->ndim;
        view->itemsize = obj->item_size;
        view->shape = obj->shape;
        if ((flags & PyBUF_FORMAT) == PyBUF_FORMAT) view->format = const_cast<char*>(obj->format);
        if ((flags & PyBUF_STRIDES) == PyBUF_STRIDES) view->strides = obj->strides;
    }
    return 0;
}

void read_buffer_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<PyReadBuffer*>(self);
    obj->data.~ZeroedBuffer();
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyType_Slot read_buffer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(read_buffer_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(read_buffer_get)},
    {0, nullptr},
};

PyType_Spec read_buffer_spec = {
    "quillmere._ReadBuffer",
    static_cast<int>(sizeof(PyReadBuffer)),
    0,
    Py_TPFLAGS_DEFAULT,
    read_buffer_slots,
};

PyTypeObject* read_buffer_type() {
    if (cached_type == nullptr) {
        PyObject* created = PyType_FromSpec(&read_buffer_spec);
        if (created == nullptr) throw_pending();
        // Instances are made here only: Python calling the type gets TypeError.
        reinterpret_cast<PyTypeObject*>(created)->tp_new = nullptr;
        cached_type = created;
    }
    return reinterpret_cast<PyTypeObject*>(cached_type);
}

Ref view_of(ZeroedBuffer data, int ndim, const char* format, std::size_t item_size, std::size_t rows,
            std::size_t columns) {
    PyTypeObject* type = read_buffer_type();
    Ref created = checked(PyType_GenericAlloc(type, 0));
    auto* obj = reinterpret_cast<PyReadBuffer*>(created.get());
    new (&obj->data) ZeroedBuffer(std::move(data));
    obj->ndim = ndim;
    obj->format = format;
    obj->item_size = static_cast<Py_ssize_t>(item_size);
    obj->shape[0] = static_cast<Py_ssize_t>(rows);
    obj->shape[1] = static_cast<Py_ssize_t>(columns);
    obj->strides[0] = static_cast<Py_ssize_t>(ndim == 2 ? columns * item_size : item_size);
    obj->strides[1] = static_cast<Py_ssize_t>(item_size);
    obj->bytes = static_cast<Py_ssize_t>(rows * (ndim == 2 ? columns : 1) * item_size);
    return checked(PyMemoryView_FromObject(created.get()));
}

}  // namespace

ZeroedBuffer buffer_memory(std::size_t count, std::size_t item_size) {
    std::size_t bytes;
    // Beyond PY_SSIZE_T_MAX no buffer can describe it.
    if (__builtin_mul_overflow(count, item_size, &bytes) || bytes > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        throw std::bad_alloc();
    }
    return ZeroedBuffer(bytes);
}

Ref float_matrix_view(ZeroedBuffer data, std::size_t rows, std::size_t columns) {
    return view_of(std::move(data), 2, "f", sizeof(float), rows, columns);
}

Ref u64_vector_view(ZeroedBuffer data, std::size_t count) {
    return view_of(std::move(data), 1, "Q", sizeof(unsigned long long), count, 0);
}

}  // namespace quillmere::py
