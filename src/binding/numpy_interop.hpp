// Exchange of arrays with NumPy: output buffers become ndarrays without a
// copy, and one-dimensional argument arrays are read in place.
// NumPy's own headers stay inside numpy_interop.cpp; its C API table is
// looked up at the first array operation, never at import.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "binding/binding.hpp"
#include "runtime/caller_memory.hpp"
#include "runtime/output_buffer.hpp"

namespace twirlkit {

// Creates the holder class behind every output array. The module's execution
// step calls it, so that the class exists before any thread can ask for it.
bool create_slice_container_type() noexcept;

// NumPy's name of the dtype: "float32", "bool".
const char* element_name(Element element) noexcept;

// A `dtype` argument: None leaves `out` as it is; a dtype equal to one of
// `allowed` is stored; anything else is TypeError "argument '<parameter>'
// must be one of <allowed> <context>, not <dtype>".
bool convert_dtype(PyObject* object, const char* parameter, std::span<const Element> allowed,
                   const char* context, Element& out);

// An integer argument array, kept referenced while this guard lives, and
// the layout of its elements, which the caller reads (once, with the lock
// held or not: runtime/caller_memory.hpp) and nothing here does.
struct IntegerRead {
    OwnedRef array;
    CallerIntegers elements;
};

// np.asarray(object) of any integer dtype and any layout, of shape
// (n, width), read in place: no copy of the whole array is made. An empty
// array of any dtype, an empty list among them, is n = 0 rows. A float or
// other dtype is TypeError, a wrong shape ValueError, both naming the
// parameter.
bool read_integer_matrix(PyObject* object, const char* parameter, std::size_t width,
                         IntegerRead& out);
// The same for a one-dimensional integer array-like, as a matrix of one
// column.
bool read_integer_vector(PyObject* object, const char* parameter, IntegerRead& out);

// Checks a caller's output array: an ndarray (else TypeError) of exactly
// `element` (else TypeError) and `shape` (else ValueError), writable,
// C-contiguous and aligned (else ValueError). Every message names the
// expected shape and dtype. On success `data` is its first element.
bool writable_output(PyObject* object, const char* parameter, Element element,
                     std::span<const std::size_t> shape, void*& data);

// Hands `buffer` to NumPy as a writeable array of its element type, of shape
// (rows, cols) with `ndim` 2 or (rows * cols,) with `ndim` 1, whose base is a
// PySliceContainer that owns the buffer. The buffer is freed on every
// failing path. Returns a new reference, or nullptr with an exception.
// Neither this nor the readers below are noexcept: the first use imports
// NumPy, which runs Python code (see ReleaseGil on thread exit).
PyObject* buffer_to_ndarray(OutputBuffer&& buffer, std::size_t ndim);

// The same with two dimensions.
PyObject* matrix_to_ndarray(OutputBuffer&& matrix);

// A new writeable, C-contiguous one-dimensional int8 array of `length`
// elements in memory NumPy owns; `data` points at its first element. Returns
// a new reference, or nullptr with an exception.
PyObject* new_int8_vector(std::size_t length, std::int8_t*& data) noexcept;

// A read-only run over the elements of a one-dimensional argument array,
// valid while this guard lives: it keeps the array referenced for the whole
// call. Nothing in the module ever writes to an argument array.
template <class T>
class ArrayRead {
public:
    ArrayRead() noexcept = default;
    ArrayRead(const ArrayRead&) = delete;
    ArrayRead& operator=(const ArrayRead&) = delete;

    std::span<const T> span() const noexcept { return view_; }

    // Used by the readers below once every check has passed.
    void hold(PyObject* array, std::span<const T> view) noexcept {
        Py_INCREF(array);
        array_ = OwnedRef(array);
        view_ = view;
    }

private:
    OwnedRef array_;
    std::span<const T> view_;
};

// Accept an ndarray (or subclass) of one dimension whose dtype is equivalent
// to int64 (resp. NumPy's uintp); anything else is the TypeError
// "argument '<parameter>': '<type>' object cannot be converted to 'ndarray'".
// A non-empty array must be contiguous and aligned, else PanicException
// "...: AsSliceError". Return false with the exception set.
bool read_int64_array(PyObject* object, const char* parameter,
                      ArrayRead<std::int64_t>& out);
bool read_uintp_array(PyObject* object, const char* parameter,
                      ArrayRead<std::size_t>& out);

}  // namespace twirlkit
