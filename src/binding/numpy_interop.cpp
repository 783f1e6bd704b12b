// The only file that sees NumPy's headers. The API table pointer stays NULL
// until the first array operation, so `import twirlkit` never loads NumPy.
#define PY_ARRAY_UNIQUE_SYMBOL TWIRLKIT_ARRAY_API
#include "binding/numpy_interop.hpp"

#include <numpy/arrayobject.h>

#include <atomic>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

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

//
// Not noexcept, nor is anything that calls it: the import runs Python code,
// during which the interpreter may end a daemon thread at exit by a forced
// unwind (see ReleaseGil).
bool ensure_numpy() {
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
    void* data;
    std::size_t len;
    std::size_t capacity;
    OutputBuffer::FreeFn free_fn;
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
PyObject* new_slice_container(OutputBuffer& matrix) noexcept {
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

// "(4,)" or "(2, 3)", as Python prints a tuple of integers.
std::string int_tuple(const npy_intp* values, int count) {
    std::string text = "(";
    for (int i = 0; i < count; ++i) {
        if (i != 0) text += ", ";
        text += std::to_string(values[i]);
    }
    return text + (count == 1 ? ",)" : ")");
}

// The dtype's name as NumPy prints it for the integer and float kinds
// ("int32", ">int64" when not in native order), else its scalar type. Built
// here rather than by str(dtype): it is called while an error is set aside,
// where no Python code may run. Messages made before any error exists use
// dtype_text, which does call str().
std::string dtype_name(PyArrayObject* array) {
    const PyArray_Descr* descr = PyArray_DESCR(array);
    const char* kind = descr->kind == 'i' ? "int" : descr->kind == 'u' ? "uint"
                     : descr->kind == 'f' ? "float" : descr->kind == 'c' ? "complex" : nullptr;
    if (descr->kind == 'b') return "bool";
    if (kind == nullptr) return descr->typeobj->tp_name;
    const bool swapped = PyArray_ISBYTESWAPPED(array);
    return (swapped ? std::string(">") : std::string()) + kind +
           std::to_string(PyArray_ITEMSIZE(array) * 8);
}

// What the note of a refused argument array says was expected and given:
// "expected a 1-D C-contiguous int64 array; got int32 array with shape (4,)".
void note_expected_array(PyObject* object, const char* expected, const char* got) noexcept {
    SetAsideError error;
    try {
        std::string text = std::string("expected a 1-D C-contiguous ") + expected + " array; got ";
        if (!PyArray_Check(object)) {
            text += Py_TYPE(object)->tp_name;
        } else {
            auto* array = reinterpret_cast<PyArrayObject*>(object);
            text += got + dtype_name(array) + " array with shape " +
                    int_tuple(PyArray_DIMS(array), PyArray_NDIM(array));
            if (*got != '\0') {
                text += " and strides " + int_tuple(PyArray_STRIDES(array), PyArray_NDIM(array));
            }
        }
        error.add_note(PyUnicode_FromStringAndSize(text.data(),
                                                   static_cast<Py_ssize_t>(text.size())));
    } catch (const std::bad_alloc&) {
        // No note when even that much memory is missing.
    }
}

template <class T>
bool read_1d_array(PyObject* object, const char* parameter, int type_num,
                   const char* expected_name, ArrayRead<T>& out) {
    if (!ensure_numpy()) return false;
    PyArray_Descr* expected = PyArray_DescrFromType(type_num);
    if (expected == nullptr) return false;
    OwnedRef expected_ref(reinterpret_cast<PyObject*>(expected));
    // One message for every refusal (not an ndarray, wrong rank, wrong
    // dtype); the note tells them apart.
    const auto refuse = [&] {
        raise_conversion_error(object, "ndarray", parameter);
        note_expected_array(object, expected_name, "");
        return false;
    };
    if (!PyArray_Check(object)) return refuse();
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 1) return refuse();
    if (PyArray_EquivTypes(PyArray_DESCR(array), expected) == 0) return refuse();

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
        raise_unreadable_array(message);
        note_expected_array(object, expected_name,
                            data == nullptr                      ? "a data-less "
                            : !PyArray_IS_C_CONTIGUOUS(array)   ? "a non-contiguous "
                                                                : "a misaligned ");
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
                      ArrayRead<std::int64_t>& out) {
    return read_1d_array(object, parameter, NPY_INT64, "int64", out);
}

bool read_uintp_array(PyObject* object, const char* parameter,
                      ArrayRead<std::size_t>& out) {
    static_assert(sizeof(std::size_t) == 8 || sizeof(std::size_t) == 4);
    return read_1d_array(object, parameter, NPY_UINTP, sizeof(std::size_t) == 8 ? "uint64" : "uint32",
                         out);
}

// ---------------------------------------------------------------------------
// Output arrays

namespace {

// NumPy's type numbers of the element types, in the order of the enumeration.
constexpr std::array<int, ELEMENT_COUNT> TYPE_NUMBERS{
    NPY_INT8,    NPY_UINT8,   NPY_INT16,   NPY_INT32,   NPY_INT64,
    NPY_UINT64,  NPY_FLOAT16, NPY_FLOAT32, NPY_FLOAT64, NPY_BOOL};

int type_number(Element element) noexcept { return TYPE_NUMBERS[element_index(element)]; }

bool is_element(PyArray_Descr* descr, Element element) noexcept {
    PyArray_Descr* expected = PyArray_DescrFromType(type_number(element));
    if (expected == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool equivalent = PyArray_EquivTypes(descr, expected) != 0;
    Py_DECREF(expected);
    return equivalent;
}

std::string shape_text(std::span<const std::size_t> shape) {
    std::string text = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i != 0) text += ", ";
        text += std::to_string(shape[i]);
    }
    return text + (shape.size() == 1 ? ",)" : ")");
}

std::string shape_text(PyArrayObject* array) {
    std::vector<std::size_t> shape;
    for (int i = 0; i < PyArray_NDIM(array); ++i) {
        shape.push_back(static_cast<std::size_t>(PyArray_DIM(array, i)));
    }
    return shape_text(shape);
}

// The str() of an array's dtype, e.g. "float64".
std::string dtype_text(PyArray_Descr* descr) {
    OwnedRef text(PyObject_Str(reinterpret_cast<PyObject*>(descr)));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return utf8;
}

// The integer type of an array's elements, or false for a non-integer dtype.
bool integer_type_of(PyArrayObject* array, IntegerType& out) noexcept {
    if (!PyArray_ISINTEGER(array)) return false;
    const bool is_signed = PyArray_ISSIGNED(array);
    switch (PyArray_ITEMSIZE(array)) {
        case 1: out = is_signed ? IntegerType::int8 : IntegerType::uint8; return true;
        case 2: out = is_signed ? IntegerType::int16 : IntegerType::uint16; return true;
        case 4: out = is_signed ? IntegerType::int32 : IntegerType::uint32; return true;
        case 8: out = is_signed ? IntegerType::int64 : IntegerType::uint64; return true;
        default: return false;
    }
}

// np.asarray(object) for an integer array of `ndim` dimensions (2 with
// `width` columns), described for reading in place. A non-integer dtype is
// refused unless the array is empty, and an empty one-dimensional array
// counts as a matrix of no rows.
bool integer_array(PyObject* object, const char* parameter, int ndim, std::size_t width,
                   IntegerRead& out) {
    OwnedRef any(PyArray_FromAny(object, nullptr, 0, 0, 0, nullptr));
    if (!any) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(any.get());
    const bool empty = PyArray_SIZE(array) == 0;
    const bool no_rows = empty && ndim == 2 && PyArray_NDIM(array) == 1;
    IntegerType type = IntegerType::int64;
    if (!integer_type_of(array, type) && !(empty && (PyArray_NDIM(array) == ndim || no_rows))) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be an integer array, not dtype %s",
                     parameter, dtype_text(PyArray_DESCR(array)).c_str());
        return false;
    }
    if (no_rows) {
        out.elements = CallerIntegers{nullptr, 0, width, 0, 0, type, false};
        out.array = std::move(any);
        return true;
    }
    const bool wide = ndim == 2 && PyArray_NDIM(array) == 2 &&
                      static_cast<std::size_t>(PyArray_DIM(array, 1)) == width;
    if (PyArray_NDIM(array) != ndim || (ndim == 2 && !wide)) {
        const std::string expected = ndim == 1 ? "(n,)" : "(n, " + std::to_string(width) + ")";
        PyErr_Format(PyExc_ValueError, "argument '%s' must have shape %s, not %s", parameter,
                     expected.c_str(), shape_text(array).c_str());
        return false;
    }
    CallerIntegers& e = out.elements;
    e.data = static_cast<const std::byte*>(PyArray_DATA(array));
    e.rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
    e.cols = ndim == 2 ? width : 1;
    e.row_stride = PyArray_STRIDE(array, 0);
    e.col_stride = ndim == 2 ? PyArray_STRIDE(array, 1) : 0;
    e.type = type;
    e.swapped = PyArray_ISBYTESWAPPED(array);
    if (empty) e = CallerIntegers{nullptr, 0, e.cols, 0, 0, type, false};
    out.array = std::move(any);
    return true;
}

}  // namespace

const char* element_name(Element element) noexcept { return ELEMENT_NAMES[element_index(element)]; }

bool convert_dtype(PyObject* object, const char* parameter, std::span<const Element> allowed,
                   const char* context, Element& out) {
    if (!ensure_numpy()) return false;
    PyArray_Descr* descr = nullptr;
    if (PyArray_DescrConverter2(object, &descr) == 0) return false;
    if (descr == nullptr) return true;  // None keeps the default
    OwnedRef owned(reinterpret_cast<PyObject*>(descr));
    for (Element element : allowed) {
        if (is_element(descr, element)) {
            out = element;
            return true;
        }
    }
    return guarded(
        [&] {
            std::string names;
            for (std::size_t i = 0; i < allowed.size(); ++i) {
                names += i == 0 ? "" : ", ";
                names += element_name(allowed[i]);
            }
            PyErr_Format(PyExc_TypeError, "argument '%s' must be one of %s %s, not %s", parameter,
                         names.c_str(), context, dtype_text(descr).c_str());
            return false;
        },
        false);
}

bool read_integer_matrix(PyObject* object, const char* parameter, std::size_t width,
                         IntegerRead& out) {
    if (!ensure_numpy()) return false;
    return guarded([&] { return integer_array(object, parameter, 2, width, out); }, false);
}

bool read_integer_vector(PyObject* object, const char* parameter, IntegerRead& out) {
    if (!ensure_numpy()) return false;
    return guarded([&] { return integer_array(object, parameter, 1, 1, out); }, false);
}

bool writable_output(PyObject* object, const char* parameter, Element element,
                     std::span<const std::size_t> shape, void*& data) {
    if (!ensure_numpy()) return false;
    return guarded(
        [&] {
            const std::string expected =
                "a writable C-contiguous numpy.ndarray of shape " + shape_text(shape) +
                " and dtype " + element_name(element);
            if (!PyArray_Check(object)) {
                PyErr_Format(PyExc_TypeError, "argument '%s' must be %s, not '%s'", parameter,
                             expected.c_str(), Py_TYPE(object)->tp_name);
                return false;
            }
            auto* array = reinterpret_cast<PyArrayObject*>(object);
            if (!is_element(PyArray_DESCR(array), element)) {
                PyErr_Format(PyExc_TypeError, "argument '%s' must be %s, not dtype %s", parameter,
                             expected.c_str(), dtype_text(PyArray_DESCR(array)).c_str());
                return false;
            }
            bool same_shape = PyArray_NDIM(array) == static_cast<int>(shape.size());
            for (std::size_t i = 0; same_shape && i < shape.size(); ++i) {
                same_shape = static_cast<std::size_t>(PyArray_DIM(array, static_cast<int>(i))) ==
                             shape[i];
            }
            if (!same_shape) {
                PyErr_Format(PyExc_ValueError, "argument '%s' must be %s, not shape %s", parameter,
                             expected.c_str(), shape_text(array).c_str());
                return false;
            }
            if (!PyArray_ISWRITEABLE(array) || !PyArray_IS_C_CONTIGUOUS(array) ||
                !PyArray_ISALIGNED(array) ||
                reinterpret_cast<std::uintptr_t>(PyArray_DATA(array)) % element_size(element) != 0) {
                PyErr_Format(PyExc_ValueError,
                             "argument '%s' must be %s, not a read-only, strided or unaligned one",
                             parameter, expected.c_str());
                return false;
            }
            data = PyArray_DATA(array);
            return true;
        },
        false);
}

PyObject* buffer_to_ndarray(OutputBuffer&& buffer, std::size_t ndim) {
    OutputBuffer owned(std::move(buffer));  // freed here on the early paths
    if (!ensure_numpy()) return nullptr;
    const Element element = owned.element();
    const std::array<std::size_t, 2> full{owned.rows(), owned.cols()};
    const std::array<std::size_t, 1> flat{owned.rows() * owned.cols()};
    const std::span<const std::size_t> shape =
        ndim == 1 ? std::span<const std::size_t>(flat) : std::span<const std::size_t>(full);

    std::array<npy_intp, 2> dims{};
    std::array<npy_intp, 2> strides{};
    const int dims_count = static_cast<int>(shape.size());
    std::size_t count = 1;
    for (std::size_t i = 0; i < shape.size(); ++i) count *= shape[i];
    std::size_t stride = element_size(element);
    for (int i = dims_count - 1; i >= 0; --i) {
        dims[static_cast<std::size_t>(i)] = static_cast<npy_intp>(shape[static_cast<std::size_t>(i)]);
        strides[static_cast<std::size_t>(i)] = count == 0 ? 0 : static_cast<npy_intp>(stride);
        stride *= shape[static_cast<std::size_t>(i)];
    }

    PyObject* holder = new_slice_container(owned);
    if (holder == nullptr) {
        PyErr_Clear();
        return raise_panic("Failed to create slice container");
    }
    void* data = reinterpret_cast<SliceContainer*>(holder)->data;

    // NewFromDescr steals the descriptor reference, also when it fails.
    PyArray_Descr* descr = PyArray_DescrFromType(type_number(element));
    PyObject* array = descr == nullptr
                          ? nullptr
                          : PyArray_NewFromDescr(&PyArray_Type, descr, dims_count, dims.data(),
                                                 strides.data(), data, NPY_ARRAY_WRITEABLE,
                                                 nullptr);
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

PyObject* new_int8_vector(std::size_t length, std::int8_t*& data) noexcept {
    if (!ensure_numpy()) return nullptr;
    if (length > static_cast<std::size_t>(NPY_MAX_INTP)) return raise_panic("capacity overflow");
    npy_intp dims[1] = {static_cast<npy_intp>(length)};
    PyObject* array = PyArray_SimpleNew(1, dims, NPY_INT8);
    if (array == nullptr) return nullptr;
    data = static_cast<std::int8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    return array;
}

PyObject* matrix_to_ndarray(OutputBuffer&& matrix) { return buffer_to_ndarray(std::move(matrix), 2); }

}  // namespace twirlkit
