// Exchange of arrays with NumPy: output matrices become int64 ndarrays
// without a copy, and one-dimensional argument arrays are read in place.
// NumPy's own headers stay inside numpy_interop.cpp; its C API table is
// looked up at the first array operation, never at import.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "binding.hpp"
#include "cube/kernels.hpp"

namespace twirlkit {

// Creates the holder class behind every output array. The module's execution
// step calls it, so that the class exists before any thread can ask for it.
bool create_slice_container_type() noexcept;

// Hands `matrix` to NumPy as a writeable two-dimensional int64 array whose
// base is a PySliceContainer that owns the buffer. The buffer is freed on
// every failing path. Returns a new reference, or nullptr with an exception.
PyObject* matrix_to_ndarray(OutputMatrix&& matrix) noexcept;

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
                      ArrayRead<std::int64_t>& out) noexcept;
bool read_uintp_array(PyObject* object, const char* parameter,
                      ArrayRead<std::size_t>& out) noexcept;

}  // namespace twirlkit
