// The only file that sees NumPy's headers. The API table pointer stays NULL
// until the first array operation, so `import twirlkit` never loads NumPy.
#define PY_ARRAY_UNIQUE_SYMBOL TWIRLKIT_ARRAY_API
#include "numpy_interop.hpp"

#include <numpy/arrayobject.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace twirlkit {

namespace {

static_assert(sizeof(npy_intp) == sizeof(std::ptrdiff_t));
static_assert(sizeof(npy_uintp) == sizeof(std::size_t));
static_assert(sizeof(npy_int64) == sizeof(std::int64_t));

// Looks the API table up once; later calls cost one load. Failure is a
// PanicException that carries NumPy's own reason. With the interpreter lock,
// two threads can at worst both import and store the same table. Without it,
// a mutex that detaches the waiting thread from the interpreter keeps the
// import to one thread, and the flag publishes the finished table to the rest.
std::atomic<bool> numpy_ready{false};
#ifdef Py_GIL_DISABLED
PyMutex numpy_import_lock{};
#endif

bool ensure_numpy() noexcept {
    if (numpy_ready.load(std::memory_order_acquire)) return true;
#ifdef Py_GIL_DISABLED
    PyMutex_Lock(&numpy_import_lock);
    const int imported = PyArray_ImportNumPyAPI();
    PyMutex_Unlock(&numpy_import_lock);
#else
    const int imported = PyArray_ImportNumPyAPI();
#endif
    if (imported >= 0) {
        numpy_ready.store(true, std::memory_order_release);
        return true;
    }
    std::string message = "Failed to access NumPy array API capsule";
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        OwnedRef text(PyObject_Str(value));
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (utf8 != nullptr) {
            message += ": ";
            message += utf8;
        }
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_Clear();
    raise_panic(message.c_str());
    return false;
}

// ---------------------------------------------------------------------------
// PySliceContainer: the base object of every output array. It owns the
// buffer from the moment it exists and frees it once, in dealloc.

struct SliceContainer {
    PyObject_HEAD
    std::int64_t* data;
    std::size_t len;
    std::size_t capacity;
    OutputMatrix::FreeFn free_fn;
};

void SliceContainer_dealloc(PyObject* object) noexcept {
    auto* self = reinterpret_cast<SliceContainer*>(object);
    if (self->data != nullptr && self->free_fn != nullptr) self->free_fn(self->data, self->capacity);
    self->data = nullptr;
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

PyType_Slot SliceContainer_slots[] = {
    {Py_tp_doc, const_cast<char*>("Owner of the native buffer behind a twirlkit NumPy array.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&SliceContainer_dealloc)},
    {0, nullptr},
};

PyType_Spec SliceContainer_spec = {
    .name = "twirlkit.PySliceContainer",
    .basicsize = sizeof(SliceContainer),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = SliceContainer_slots,
};

PyTypeObject* slice_container_type = nullptr;

// A new holder that has taken the buffer out of `matrix`; nullptr (with the
// buffer still in `matrix`) on failure.
PyObject* new_slice_container(OutputMatrix& matrix) noexcept {
    PyTypeObject* type = slice_container_type;
    if (type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "twirlkit.PySliceContainer was not created");
        return nullptr;
    }
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    auto* self = reinterpret_cast<SliceContainer*>(object);
    self->len = matrix.rows() * matrix.cols();
    self->capacity = matrix.capacity();
    self->free_fn = matrix.free_fn();
    self->data = matrix.release();
    return object;
}

// ---------------------------------------------------------------------------
// Input views

template <class T>
bool read_1d_array(PyObject* object, const char* parameter, int type_num,
                   ArrayRead<T>& out) noexcept {
    if (!ensure_numpy()) return false;
    // One message for every refusal: not an ndarray, wrong rank, wrong dtype.
    if (!PyArray_Check(object)) {
        raise_conversion_error(object, "ndarray", parameter);
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 1) {
        raise_conversion_error(object, "ndarray", parameter);
        return false;
    }
    PyArray_Descr* expected = PyArray_DescrFromType(type_num);
    if (expected == nullptr) return false;
    const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), expected) != 0;
    Py_DECREF(expected);
    if (!equivalent) {
        raise_conversion_error(object, "ndarray", parameter);
        return false;
    }

    const npy_intp size = PyArray_DIM(array, 0);
    if (size == 0) {
        // No element is read, so strides and data pointer do not matter.
        out.hold(object, {});
        return true;
    }
    const void* data = PyArray_DATA(array);
    const bool readable = data != nullptr && PyArray_IS_C_CONTIGUOUS(array) &&
                          PyArray_ISALIGNED(array) &&
                          reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0;
    if (!readable) {
        char message[160];
        std::snprintf(message, sizeof message,
                      "argument '%s' is not a contiguous, aligned array: AsSliceError", parameter);
        raise_panic(message);
        return false;
    }
    out.hold(object, std::span<const T>(static_cast<const T*>(data),
                                        static_cast<std::size_t>(size)));
    return true;
}

}  // namespace

bool create_slice_container_type() noexcept {
    return type_from_spec_once(slice_container_type, SliceContainer_spec) != nullptr;
}

bool read_int64_array(PyObject* object, const char* parameter,
                      ArrayRead<std::int64_t>& out) noexcept {
    return read_1d_array(object, parameter, NPY_INT64, out);
}

bool read_uintp_array(PyObject* object, const char* parameter,
                      ArrayRead<std::size_t>& out) noexcept {
    return read_1d_array(object, parameter, NPY_UINTP, out);
}

// ---------------------------------------------------------------------------
// Output arrays

PyObject* matrix_to_ndarray(OutputMatrix&& matrix) noexcept {
    OutputMatrix owned(std::move(matrix));  // freed here on the early paths
    if (!ensure_numpy()) return nullptr;

    npy_intp dims[2] = {static_cast<npy_intp>(owned.rows()), static_cast<npy_intp>(owned.cols())};
    npy_intp strides[2] = {0, 0};
    if (owned.rows() != 0) {
        strides[0] = static_cast<npy_intp>(owned.cols() * sizeof(std::int64_t));
        strides[1] = static_cast<npy_intp>(sizeof(std::int64_t));
    }

    PyObject* holder = new_slice_container(owned);
    if (holder == nullptr) {
        PyErr_Clear();
        return raise_panic("Failed to create slice container");
    }
    void* data = reinterpret_cast<SliceContainer*>(holder)->data;

    // NewFromDescr steals the descriptor reference, also when it fails.
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_INT64);
    PyObject* array = descr == nullptr
                          ? nullptr
                          : PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, strides, data,
                                                 NPY_ARRAY_WRITEABLE, nullptr);
    if (array == nullptr) {
        if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
        Py_DECREF(holder);  // frees the buffer
        return raise_panic("PyObject pointer is null");
    }
    // Steals `holder` even when it fails; the holder is never touched again.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), holder) < 0) {
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

}  // namespace twirlkit
