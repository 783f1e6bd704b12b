// What the files of the CubeBatch class share: the object, its storage, and
// the runners that hold it, release the interpreter lock and make new
// batches. Each file defines the methods of one topic and its part of the
// method table, which batch_methods.cpp joins.
#pragma once

#include <cxxabi.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>

#include "binding/binding.hpp"
#include "binding/cube_object.hpp"
#include "binding/numpy_interop.hpp"
#include "model/algebra.hpp"
#include "runtime/buffer_cache.hpp"

namespace twirlkit {

// Cube values back to back; the variant and the length are fixed at
// construction.
using Storage = CubeStates;

struct CubeBatchObject {
    PyObject_HEAD
    Storage storage;
    BorrowFlag borrow;
};

inline CubeBatchObject* as_batch(PyObject* object) noexcept {
    return reinterpret_cast<CubeBatchObject*>(object);
}

inline std::size_t batch_size(const CubeBatchObject* self) noexcept {
    return std::visit([](const auto& cubes) { return cubes.size(); }, self->storage);
}

// Fills `out` with `count` solved cubes, or with `count` cubes left for the
// caller to write (`Solved` false); false with a Python exception set when
// the storage cannot be had.
template <Cube C, bool Solved = true>
bool make_storage(std::size_t count, Storage& out) noexcept {
    if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(C)) {
        raise_panic("capacity overflow");
        return false;
    }
    // Freed output buffers kept for reuse may be what is missing: give them
    // back and try once more before failing.
    for (int attempt = 0;; ++attempt) {
        try {
            if constexpr (Solved) {
                out.emplace<StateVector<C>>(count, C{});
            } else {
                out.emplace<StateVector<C>>(count);
            }
            return true;
        } catch (const std::bad_alloc&) {
            if (attempt == 0 && drop_mapped_cache() != 0) continue;
            PyErr_Format(PyExc_MemoryError, "cannot allocate a batch of %zu cubes (%zu bytes)",
                         count, std::size_t{count} * sizeof(C));
            return false;
        }
    }
}

// A new batch object that takes `storage`. Returns nullptr with an exception.
inline PyObject* new_batch(PyTypeObject* type, Storage&& storage) noexcept {
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    CubeBatchObject* self = as_batch(object);
    new (&self->storage) Storage(std::move(storage));
    new (&self->borrow) BorrowFlag();
    return object;
}

inline bool convert_cube_type(PyObject* object, std::uint32_t& number) noexcept {
    if (!convert_u32(object, "cube_type", number)) return false;
    if (number != 2 && number != 3) {
        PyErr_SetString(PyExc_TypeError, "unknown cube type: expected 2 or 3");
        return false;
    }
    return true;
}

// A batch type object from the class argument of a class method.
inline PyTypeObject* batch_type_of(PyObject* cls) noexcept {
    return reinterpret_cast<PyTypeObject*>(cls);
}

// ---------------------------------------------------------------------------
// Kernels that read the batch: shared hold, interpreter lock released for
// the allocation and the rows, so other Python threads run meanwhile.

// Runs body() with the interpreter lock released, answering Ctrl-C on the
// main thread, and returns what it threw once the lock is held again. Nothing
// but a thread's forced unwind may leave the released section by exception:
// the lock must be back before a failure is turned into a Python exception.
// `held` is the caller's hold of the batch it reads (see HeldWhileReleased):
// a child forked meanwhile must not inherit it.
// Not noexcept, and neither is any caller: see ReleaseGil.
// With AnswerSignals false Ctrl-C waits for the end of the call: for a body
// that changes an object in place and must not stop half way.
template <bool AnswerSignals = true, class Body>
TWIRLKIT_PASSES_FORCED_UNWIND std::exception_ptr run_lock_released(HeldWhileReleased held,
                                                                   Body&& body) {
    (void)held;
    ReleaseGil unlocked;
    std::optional<SignalScope> signals;
    if constexpr (AnswerSignals) signals.emplace(unlocked);
    try {
        // A body that calls back into Python takes the lock back through
        // the guard (ReleaseGil::with_lock).
        if constexpr (std::is_invocable_v<Body&, ReleaseGil&>) {
            body(unlocked);
        } else {
            body();
        }
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

// run_lock_released, then false with the Python exception of the failure set.
template <bool AnswerSignals = true, class Body>
bool lock_released(HeldWhileReleased held, Body&& body) {
    const std::exception_ptr failure =
        run_lock_released<AnswerSignals>(held, static_cast<Body&&>(body));
    if (!failure) return true;
    return guarded([&]() -> bool { std::rethrow_exception(failure); }, false);
}

// Calls `f` with the batch's cubes as a span of their type.
template <class F>
decltype(auto) with_cubes(CubeBatchObject* self, F&& f) {
    return std::visit(
        [&](auto& cubes) -> decltype(auto) {
            using C = typename std::decay_t<decltype(cubes)>::value_type;
            return f(std::span<const C>(cubes));
        },
        self->storage);
}

// Runs `make(cubes)` on the batch's cubes under a shared hold with the lock
// released, where it fills the storage of a new batch.
template <class Make>
PyObject* derived_batch(PyObject* object, Make make) {
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    Storage storage;
    if (!lock_released(hold, [&] { with_cubes(self, [&](auto cubes) { make(cubes, storage); }); })) {
        return nullptr;
    }
    return new_batch(Py_TYPE(object), std::move(storage));
}

// A new array of `shape` and `element` filled by `fill(data)` with the lock
// released, under a shared hold of the batch.
template <class Fill>
PyObject* filled_array(CubeBatchObject* self, const PyForkSafeSharedHold& hold, Element element,
                       std::array<std::size_t, 2> shape, std::size_t ndim, Fill fill) {
    OutputBuffer buffer;
    if (!lock_released(hold, [&] {
            const MatrixShape checked = checked_output_shape(shape[0], 1, shape[1], element_size(element));
            buffer = OutputBuffer::allocate(checked.rows, checked.cols, element);
            with_cubes(self, [&](auto cubes) { fill(cubes, buffer.data()); });
        })) {
        return nullptr;
    }
    return buffer_to_ndarray(std::move(buffer), ndim);
}

inline constexpr std::array<Element, 5> CODE_ELEMENTS{Element::int8, Element::uint8, Element::int16,
                                                      Element::int32, Element::int64};
inline constexpr std::array<Element, 6> ONE_HOT_ELEMENTS{
    Element::float32, Element::float16, Element::float64,
    Element::boolean, Element::uint8,   Element::int8};

// Calls f(T{one}) with the storage type T of `element` and the value of a
// set one-hot element (a float16 1.0 is the bit pattern 0x3C00).
template <class F>
void with_element_type(Element element, F&& f) {
    with_element_storage(element, [&](auto zero) {
        using T = decltype(zero);
        if constexpr (std::is_same_v<T, std::uint16_t>) {
            f(T{0x3C00});
        } else {
            f(T{1});
        }
    });
}

// The element type of sticker rows: `dtype` (None or absent for the
// default, float32 for one-hot rows and int64 for codes), TypeError for one
// the encoding does not take.
inline bool convert_sticker_dtype(PyObject* dtype, bool one_hot, Element& out) {
    out = one_hot ? Element::float32 : Element::int64;
    if (dtype == nullptr) return true;
    return one_hot ? convert_dtype(dtype, "dtype", ONE_HOT_ELEMENTS, "for one-hot rows", out)
                   : convert_dtype(dtype, "dtype", CODE_ELEMENTS, "for sticker codes", out);
}

// The method table parts, each ended by a null entry (batch_methods.cpp
// joins them in this order).
extern PyMethodDef CubeBatch_state_methods[];
extern PyMethodDef CubeBatch_solve_methods[];
extern PyMethodDef CubeBatch_symmetry_methods[];
extern PyMethodDef CubeBatch_data_methods[];
extern PyMethodDef CubeBatch_algebra_methods[];
extern PyMethodDef CubeBatch_set_methods[];

// is_solved(up_to_rotation=True), for a caller that holds the batch with `hold`.
PyObject* solved_flags_up_to_rotation(CubeBatchObject* self, const PyForkSafeSharedHold& hold);

// A `metric` argument, 'qtm' or 'htm'; absent (nullptr) leaves `out` as it
// is. TypeError for a non-str, ValueError for another str (batch_arguments.cpp).
bool convert_metric(PyObject* object, Metric& out) noexcept;

}  // namespace twirlkit
