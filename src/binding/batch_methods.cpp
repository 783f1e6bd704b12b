// The Python class CubeBatch: many cubes of one size in one contiguous
// vector, scrambled, stepped and expanded by the batch kernels.
#include <cxxabi.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "binding/binding.hpp"
#include "runtime/buffer_cache.hpp"
#include "kernels/kernels.hpp"
#include "model/solution_text.hpp"
#include "search/distances2x2.hpp"
#include "kernels/state_kernels.hpp"
#include "model/cube2x2.hpp"
#include "search/solver3x3.hpp"
#include "model/cube3x3.hpp"
#include "binding/cube_object.hpp"
#include "binding/module_parts.hpp"
#include "binding/numpy_interop.hpp"

namespace twirlkit {

namespace {

// Cube values back to back; the variant and the length are fixed at
// construction.
using Storage = CubeStates;

struct CubeBatchObject {
    PyObject_HEAD
    Storage storage;
    BorrowFlag borrow;
};

CubeBatchObject* as_batch(PyObject* object) noexcept {
    return reinterpret_cast<CubeBatchObject*>(object);
}

std::size_t batch_size(const CubeBatchObject* self) noexcept {
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
PyObject* new_batch(PyTypeObject* type, Storage&& storage) noexcept {
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    CubeBatchObject* self = as_batch(object);
    new (&self->storage) Storage(std::move(storage));
    new (&self->borrow) BorrowFlag();
    return object;
}

bool convert_cube_type(PyObject* object, std::uint32_t& number) noexcept {
    if (!convert_u32(object, "cube_type", number)) return false;
    if (number != 2 && number != 3) {
        PyErr_SetString(PyExc_TypeError, "unknown cube type: expected 2 or 3");
        return false;
    }
    return true;
}

PyObject* CubeBatch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static constexpr std::array<const char*, 2> names{"count", "cube_type"};
    std::array<PyObject*, 2> given;
    if (!match_tuple_arguments("CubeBatch", args, kwargs, names, 2, given)) return nullptr;
    std::uint32_t count = 0;
    std::uint32_t cube_type_number = 0;
    if (!convert_u32(given[0], "count", count)) return nullptr;
    if (!convert_cube_type(given[1], cube_type_number)) return nullptr;

    // Built before the object, so a failure leaves nothing half made.
    Storage storage;
    const bool made = cube_type_number == 2 ? make_storage<Cube2x2>(count, storage)
                                            : make_storage<Cube3x3>(count, storage);
    if (!made) return nullptr;
    return new_batch(type, std::move(storage));
}

void CubeBatch_dealloc(PyObject* object) noexcept {
    std::destroy_at(&as_batch(object)->storage);
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Container protocol

Py_ssize_t CubeBatch_length(PyObject* object) noexcept {
    CubeBatchObject* self = as_batch(object);
    PySharedHold hold(self->borrow);
    if (!hold) return -1;
    return static_cast<Py_ssize_t>(batch_size(self));
}

PyObject* CubeBatch_len(PyObject* object, PyObject*) noexcept {
    CubeBatchObject* self = as_batch(object);
    PySharedHold hold(self->borrow);
    if (!hold) return nullptr;
    return PyLong_FromSize_t(batch_size(self));
}

// A new cube object holding a copy of cube `index`, which must already be
// the final, non-negative-adjusted position. Call under a shared hold.
PyObject* item_at(CubeBatchObject* self, Py_ssize_t index) noexcept {
    if (index < 0 || static_cast<std::size_t>(index) >= batch_size(self)) {
        PyErr_SetString(PyExc_IndexError, "cubeBatch index out of range");
        return nullptr;
    }
    return std::visit(
        [index](const auto& cubes) -> PyObject* {
            using C = typename std::decay_t<decltype(cubes)>::value_type;
            PyTypeObject* type = cube_type<C>();
            if (type == nullptr) return nullptr;
            return new_cube_object<C>(type, cubes[static_cast<std::size_t>(index)]);
        },
        self->storage);
}

// batch[index]: -1 names the last cube; no slices.
PyObject* CubeBatch_subscript(PyObject* object, PyObject* key) noexcept {
    CubeBatchObject* self = as_batch(object);
    PySharedHold hold(self->borrow);
    if (!hold) return nullptr;
    Py_ssize_t index = 0;
    if (!convert_isize(key, "index", index)) return nullptr;
    if (index < 0) index += static_cast<Py_ssize_t>(batch_size(self));
    return item_at(self, index);
}

// The sequence slot behind iteration. The interpreter has already added the
// length to a negative index before calling it, so it is not added again.
PyObject* CubeBatch_item(PyObject* object, Py_ssize_t index) noexcept {
    CubeBatchObject* self = as_batch(object);
    PySharedHold hold(self->borrow);
    if (!hold) return nullptr;
    return item_at(self, index);
}

PyObject* CubeBatch_str(PyObject* object) noexcept {
    CubeBatchObject* self = as_batch(object);
    PySharedHold hold(self->borrow);
    if (!hold) return nullptr;
    return guarded([&]() -> PyObject* {
        std::string text = std::visit(
            [](const auto& cubes) {
                std::string joined;
                for (std::size_t i = 0; i < cubes.size(); ++i) {
                    if (i != 0) joined += "\n\n";
                    joined += cubes[i].render_ansi_internal();
                }
                return joined;
            },
            self->storage);
        return PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    });
}

// ---------------------------------------------------------------------------
// Kernels that change the batch: exclusive hold, interpreter lock kept.

// Not noexcept, like every call that polls for signals (see guarded).
PyObject* CubeBatch_scramble(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names{"scramble_lengths"};
    std::array<PyObject*, 1> given;
    if (!match_arguments("scramble", args, nargs, kwnames, names, 1, given)) return nullptr;
    CubeBatchObject* self = as_batch(object);
    PyExclusiveHold hold(self->borrow);
    if (!hold) return nullptr;
    ArrayRead<std::int64_t> lengths;
    if (!read_int64_array(given[0], "scramble_lengths", lengths)) return nullptr;
    // An entropy failure surfaces as PanicException once every task has
    // ended, and Ctrl-C as its exception; cubes already scrambled keep their
    // turns.
    SignalScope signals;
    return guarded([&]() -> PyObject* {
        std::visit(
            [&](auto& cubes) { scramble_batch_internal(std::span(cubes), lengths.span()); },
            self->storage);
        Py_RETURN_NONE;
    });
}

PyObject* CubeBatch_apply_move_indexes(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names{"move_indexes"};
    std::array<PyObject*, 1> given;
    if (!match_arguments("apply_move_indexes", args, nargs, kwnames, names, 1, given)) {
        return nullptr;
    }
    CubeBatchObject* self = as_batch(object);
    PyExclusiveHold hold(self->borrow);
    if (!hold) return nullptr;
    ArrayRead<std::size_t> indexes;
    if (!read_uintp_array(given[0], "move_indexes", indexes)) return nullptr;
    SignalScope signals;
    return guarded([&]() -> PyObject* {
        std::visit(
            [&](auto& cubes) { apply_move_indexes_internal(std::span(cubes), indexes.span()); },
            self->storage);
        Py_RETURN_NONE;
    });
}

// ---------------------------------------------------------------------------
// Kernels that read the batch: shared hold, interpreter lock released for
// the allocation and the rows, so other Python threads run meanwhile.

// Runs body() with the interpreter lock released, answering Ctrl-C on the
// main thread, and returns what it threw once the lock is held again. Nothing
// but a thread's forced unwind may leave the released section by exception:
// the lock must be back before a failure is turned into a Python exception.
// Not noexcept, and neither is any caller: see ReleaseGil.
template <class Body>
TWIRLKIT_PASSES_FORCED_UNWIND std::exception_ptr run_lock_released(Body&& body) {
    ReleaseGil unlocked;
    SignalScope signals(unlocked);
    try {
        body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

// run_lock_released for the readers, which hold the batch with a
// PyForkSafeSharedHold: false with the Python exception of the failure set.
template <class Body>
bool lock_released(Body&& body) {
    const std::exception_ptr failure = run_lock_released(static_cast<Body&&>(body));
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

template <class Kernel>
PyObject* read_matrix_lock_released(PyObject* object, Kernel kernel) {
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    OutputMatrix matrix;
    if (!lock_released([&] { matrix = with_cubes(self, kernel); })) return nullptr;
    return matrix_to_ndarray(std::move(matrix));
}

PyObject* CubeBatch_get_next_states(PyObject* object, PyObject*) {
    return read_matrix_lock_released(
        object, [](auto cubes) { return next_states_internal(cubes); });
}

PyObject* CubeBatch_to_sticker_array(PyObject* object, PyObject*) {
    return read_matrix_lock_released(
        object, [](auto cubes) { return sticker_arrays_internal(cubes); });
}

// ---------------------------------------------------------------------------
// Exact 2x2 distances and optimal solutions, from the distance table that
// the first call builds (seconds, on the pool, with the lock released).

// The Python exception for a failure of the distance kernels. The only
// allocation they make that can be refused is the table's, so its
// MemoryError says so; anything else is mapped as `guarded` maps it.
PyObject* raise_distance_failure(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError,
                        "not enough memory to build the 2x2 distance table (46 MB)");
        return nullptr;
    } catch (...) {
    }
    return guarded([&]() -> PyObject* { std::rethrow_exception(failure); });
}

// The cubes of a 2x2 batch, or nullptr with TypeError "<method>() needs a
// batch of 2x2 cubes".
const StateVector<Cube2x2>* cubes_2x2(CubeBatchObject* self, const char* method) noexcept {
    if (const auto* cubes = std::get_if<StateVector<Cube2x2>>(&self->storage)) return cubes;
    PyErr_Format(PyExc_TypeError, "%s() needs a batch of 2x2 cubes", method);
    return nullptr;
}

PyObject* CubeBatch_distances(PyObject* object, PyObject*) {
    CubeBatchObject* self = as_batch(object);
    PySharedHold hold(self->borrow);
    if (!hold) return nullptr;
    const StateVector<Cube2x2>* cubes = cubes_2x2(self, "distances");
    if (cubes == nullptr) return nullptr;
    std::int8_t* data = nullptr;
    OwnedRef array(new_int8_vector(cubes->size(), data));
    if (!array) return nullptr;
    if (auto failure = run_lock_released([&] { distances_2x2_internal(*cubes, data); })) {
        return raise_distance_failure(failure);
    }
    return array.release();
}

PyObject* solutions_to_list(const Solutions2x2& solutions) noexcept {
    const std::size_t n = solutions.lengths.size();
    OwnedRef list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    return guarded([&]() -> PyObject* {
        std::string text;
        for (std::size_t i = 0; i < n; ++i) {
            text.clear();
            append_solution_text(std::span(solutions.moves)
                                     .subspan(i * MAX_SOLUTION_2X2, solutions.lengths[i]),
                                 text);
            PyObject* item = PyUnicode_DecodeASCII(text.data(),
                                                   static_cast<Py_ssize_t>(text.size()), nullptr);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

// The 2x2 path of solve(): optimal solutions from the distance table.
PyObject* solve_2x2(const StateVector<Cube2x2>& cubes) {
    Solutions2x2 solutions;
    if (auto failure = run_lock_released([&] { solutions = solve_2x2_internal(cubes); })) {
        return raise_distance_failure(failure);
    }
    return solutions_to_list(solutions);
}

// The 3x3 solver: up to minutes of search for a large batch, on the pool
// with the lock released; the search answers Ctrl-C at its cancellation
// points.

constexpr unsigned MAX_SOLUTION_LENGTH = 40;

// Not noexcept: see ReleaseGil.
PyObject* solve_3x3(std::span<const Cube3x3> cubes, const SolveOptions& options) {
    std::vector<SolveResult> results;
    if (!lock_released([&] { results = solve_batch_two_phase(cubes, options); })) return nullptr;
    return guarded([&]() -> PyObject* {
        OwnedRef list(PyList_New(static_cast<Py_ssize_t>(results.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < results.size(); ++i) {
            const std::string text = face_turns_text(results[i].turns);
            PyObject* item =
                PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

bool read_solve_options(PyObject* max_length, PyObject* timeout, SolveOptions& options) noexcept {
    if (max_length != nullptr) {
        if (!PyLong_Check(max_length) || PyBool_Check(max_length)) {
            raise_conversion_error(max_length, "int", "max_length");
            return false;
        }
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(max_length, &overflow);
        if (value == -1 && PyErr_Occurred()) return false;
        if (overflow < 0 || (overflow == 0 && value < 0)) {
            PyErr_SetString(PyExc_ValueError, "max_length must not be negative");
            return false;
        }
        options.max_length = overflow > 0 || value > MAX_SOLUTION_LENGTH
                                 ? MAX_SOLUTION_LENGTH
                                 : static_cast<unsigned>(value);
    }
    if (timeout != nullptr) {
        if (!PyFloat_Check(timeout) && !(PyLong_Check(timeout) && !PyBool_Check(timeout))) {
            raise_conversion_error(timeout, "float", "timeout");
            return false;
        }
        const double value = PyFloat_AsDouble(timeout);
        if (value == -1.0 && PyErr_Occurred()) return false;
        if (!(value > 0.0) || std::isinf(value)) {
            PyErr_SetString(PyExc_ValueError, "timeout must be a positive number of seconds");
            return false;
        }
        options.timeout = value;
    }
    return true;
}

PyObject* CubeBatch_solve(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "solve() takes 0 positional arguments but %zd %s given",
                     nargs, nargs == 1 ? "was" : "were");
        return nullptr;
    }
    static constexpr std::array<const char*, 2> names{"max_length", "timeout"};
    std::array<PyObject*, 2> given;
    if (!match_arguments("solve", args, nargs, kwnames, names, 0, given)) return nullptr;
    SolveOptions options;
    if (!read_solve_options(given[0], given[1], options)) return nullptr;
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    // A 2x2 solution is always an optimal one, read from the distance table
    // without a search: the keywords are checked, and nothing more.
    if (const auto* cubes = std::get_if<StateVector<Cube2x2>>(&self->storage)) {
        return solve_2x2(*cubes);
    }
    return solve_3x3(std::get<StateVector<Cube3x3>>(self->storage), options);
}

// ---------------------------------------------------------------------------
// States in and out: new batches from stickers, packed words, single cubes,
// a selection or the successors of this one, and encoded rows.

PyTypeObject* batch_type_of(PyObject* cls) noexcept {
    return reinterpret_cast<PyTypeObject*>(cls);
}

PyObject* raise_row_fault(const RowFault& fault) noexcept {
    return guarded([&]() -> PyObject* {
        const std::string reason = describe(fault.fault);
        PyErr_Format(PyExc_ValueError, "row %zu: %s", fault.row, reason.c_str());
        return nullptr;
    });
}

// A batch of `type` from n checked rows, where `decode(cubes)` checks them
// into the span and returns the first bad row, run with the lock released.
template <PackedCube C, class Decode>
PyObject* checked_batch(PyTypeObject* type, std::size_t n, Decode decode) {
    Storage storage;
    if (!make_storage<C, false>(n, storage)) return nullptr;
    StateVector<C>& cubes = std::get<StateVector<C>>(storage);
    std::optional<RowFault> fault;
    if (!lock_released([&] { fault = decode(cubes.data()); })) return nullptr;
    if (fault) return raise_row_fault(*fault);
    return new_batch(type, std::move(storage));
}

template <PackedCube C>
PyObject* batch_from_stickers(PyTypeObject* type, PyObject* stickers) {
    MatrixRead rows;
    if (!read_integer_matrix(stickers, "stickers", C::sticker_dim, Element::int64, rows)) {
        return nullptr;
    }
    const auto* codes = static_cast<const std::int64_t*>(rows.data);
    return checked_batch<C>(type, rows.rows, [&](C* out) {
        return cubes_from_sticker_rows<C>(codes, rows.rows, out);
    });
}

template <PackedCube C>
PyObject* batch_from_packed(PyTypeObject* type, PyObject* words) {
    MatrixRead rows;
    if (!read_integer_matrix(words, "words", C::word_count, Element::uint64, rows)) {
        return nullptr;
    }
    const auto* packed = static_cast<const Word*>(rows.data);
    return checked_batch<C>(type, rows.rows, [&](C* out) {
        return cubes_from_words<C>(packed, rows.rows, out);
    });
}

// Matches (<array>, cube_type) and calls the reader of that cube type.
template <class Read2, class Read3>
PyObject* from_array_of_type(const char* function, const char* parameter, PyObject* cls,
                             PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             Read2 read2, Read3 read3) {
    const std::array<const char*, 2> names{parameter, "cube_type"};
    std::array<PyObject*, 2> given;
    if (!match_arguments(function, args, nargs, kwnames, names, 2, given)) return nullptr;
    std::uint32_t cube_type_number = 0;
    if (!convert_cube_type(given[1], cube_type_number)) return nullptr;
    PyTypeObject* type = batch_type_of(cls);
    return cube_type_number == 2 ? read2(type, given[0]) : read3(type, given[0]);
}

PyObject* CubeBatch_from_stickers(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return from_array_of_type("from_stickers", "stickers", cls, args, nargs, kwnames,
                              &batch_from_stickers<Cube2x2>, &batch_from_stickers<Cube3x3>);
}

PyObject* CubeBatch_from_packed(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return from_array_of_type("from_packed", "words", cls, args, nargs, kwnames,
                              &batch_from_packed<Cube2x2>, &batch_from_packed<Cube3x3>);
}

PyObject* CubeBatch_from_cubes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    static constexpr std::array<const char*, 1> names{"cubes"};
    std::array<PyObject*, 1> given;
    if (!match_arguments("from_cubes", args, nargs, kwnames, names, 1, given)) return nullptr;
    // A private list: the caller's sequence may change while it is read.
    OwnedRef list(PySequence_List(given[0]));
    if (!list) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        PyErr_Clear();
        raise_conversion_error(given[0], "Sequence", "cubes");
        return nullptr;
    }
    Storage storage;
    if (!copy_cube_list(list.get(), storage)) return nullptr;
    return new_batch(batch_type_of(cls), std::move(storage));
}

// Runs `make(cubes)` on the batch's cubes under a shared hold with the lock
// released, where it fills the storage of a new batch.
template <class Make>
PyObject* derived_batch(PyObject* object, Make make) {
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    Storage storage;
    if (!lock_released([&] { with_cubes(self, [&](auto cubes) { make(cubes, storage); }); })) {
        return nullptr;
    }
    return new_batch(Py_TYPE(object), std::move(storage));
}

PyObject* CubeBatch_expand(PyObject* object, PyObject*) {
    return derived_batch(object, [](auto cubes, Storage& storage) {
        using C = typename decltype(cubes)::value_type;
        const MatrixShape shape = checked_output_shape(cubes.size(), MOVE_COUNT, 1);
        if (shape.rows > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(C)) {
            throw std::length_error("capacity overflow");
        }
        expand_cubes(cubes, storage.emplace<StateVector<C>>(shape.rows).data());
    });
}

PyObject* CubeBatch_take(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names{"indices"};
    std::array<PyObject*, 1> given;
    if (!match_arguments("take", args, nargs, kwnames, names, 1, given)) return nullptr;
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    MatrixRead read;
    if (!read_index_vector(given[0], "indices", read)) return nullptr;
    // Negative indexes count from the end; all are checked before any copy.
    std::vector<std::size_t> positions;
    const bool sized = guarded(
        [&] {
            positions.resize(read.rows);
            return true;
        },
        false);
    if (!sized) return nullptr;
    const auto size = static_cast<std::int64_t>(batch_size(self));
    const auto* indexes = static_cast<const std::int64_t*>(read.data);
    for (std::size_t k = 0; k < read.rows; ++k) {
        const std::int64_t index = indexes[k] < 0 ? indexes[k] + size : indexes[k];
        if (index < 0 || index >= size) {
            PyErr_SetString(PyExc_IndexError, "cubeBatch index out of range");
            return nullptr;
        }
        positions[k] = static_cast<std::size_t>(index);
    }
    Storage storage;
    if (!lock_released([&] {
            with_cubes(self, [&](auto cubes) {
                using C = typename decltype(cubes)::value_type;
                take_cubes(cubes, std::span<const std::size_t>(positions),
                           storage.emplace<StateVector<C>>(positions.size()).data());
            });
        })) {
        return nullptr;
    }
    return new_batch(Py_TYPE(object), std::move(storage));
}

// A new array of `shape` and `element` filled by `fill(data)` with the lock
// released, under a shared hold of the batch.
template <class Fill>
PyObject* filled_array(CubeBatchObject* self, Element element, std::array<std::size_t, 2> shape,
                       std::size_t ndim, Fill fill) {
    OutputMatrix buffer;
    if (!lock_released([&] {
            const MatrixShape checked = checked_output_shape(shape[0], shape[1], element_size(element));
            const std::size_t words = (checked.rows * checked.cols + 7) / 8;
            buffer = OutputMatrix::allocate(words == 0 ? 0 : 1, words);
            with_cubes(self, [&](auto cubes) { fill(cubes, static_cast<void*>(buffer.data())); });
        })) {
        return nullptr;
    }
    return buffer_to_ndarray(std::move(buffer), element, std::span(shape.data(), ndim));
}

PyObject* CubeBatch_to_packed(PyObject* object, PyObject*) {
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    const std::size_t width =
        std::holds_alternative<StateVector<Cube3x3>>(self->storage) ? Cube3x3::word_count
                                                                    : Cube2x2::word_count;
    return filled_array(self, Element::uint64, {batch_size(self), width}, 2,
                        [](auto cubes, void* data) {
                            words_of_cubes(cubes, static_cast<Word*>(data));
                        });
}

PyObject* CubeBatch_is_solved(PyObject* object, PyObject*) {
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    return filled_array(self, Element::boolean, {batch_size(self), 1}, 1,
                        [](auto cubes, void* data) { solved_flags(cubes, static_cast<bool*>(data)); });
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
    switch (element) {
        case Element::int8: f(std::int8_t{1}); break;
        case Element::uint8:
        case Element::boolean: f(std::uint8_t{1}); break;
        case Element::int16: f(std::int16_t{1}); break;
        case Element::int32: f(std::int32_t{1}); break;
        case Element::int64: f(std::int64_t{1}); break;
        case Element::uint64: f(std::uint64_t{1}); break;
        case Element::float16: f(std::uint16_t{0x3C00}); break;
        case Element::float32: f(1.0F); break;
        case Element::float64: f(1.0); break;
    }
}

PyObject* CubeBatch_stickers(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static constexpr std::array<const char*, 4> names{"successors", "dtype", "one_hot", "out"};
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "stickers() takes no positional arguments (%zd given)", nargs);
        return nullptr;
    }
    std::array<PyObject*, 4> given;
    if (!match_arguments("stickers", args, nargs, kwnames, names, 0, given)) return nullptr;
    Encoding encoding{false, false};
    if (given[0] != nullptr) {
        const int truth = PyObject_IsTrue(given[0]);
        if (truth < 0) return nullptr;
        encoding.successors = truth != 0;
    }
    if (given[2] != nullptr) {
        const int truth = PyObject_IsTrue(given[2]);
        if (truth < 0) return nullptr;
        encoding.one_hot = truth != 0;
    }
    Element element = encoding.one_hot ? Element::float32 : Element::int64;
    if (given[1] != nullptr) {
        const bool converted =
            encoding.one_hot
                ? convert_dtype(given[1], "dtype", ONE_HOT_ELEMENTS, "for one-hot rows", element)
                : convert_dtype(given[1], "dtype", CODE_ELEMENTS, "for sticker codes", element);
        if (!converted) return nullptr;
    }

    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    const std::size_t width =
        std::holds_alternative<StateVector<Cube3x3>>(self->storage)
            ? row_width<Cube3x3>(encoding)
            : row_width<Cube2x2>(encoding);
    std::size_t rows = 0;
    if (__builtin_mul_overflow(batch_size(self), rows_per_cube(encoding), &rows)) {
        return raise_panic("capacity overflow");
    }
    const auto fill = [&](auto cubes, void* data) {
        with_element_type(element, [&](auto one) {
            using T = decltype(one);
            encode_sticker_rows(cubes, encoding, static_cast<T*>(data), one);
        });
    };

    PyObject* out = given[3] != nullptr && given[3] != Py_None ? given[3] : nullptr;
    if (out == nullptr) return filled_array(self, element, {rows, width}, 2, fill);

    // Kept referenced until the rows are written, whatever the caller does
    // with its own reference meanwhile; returned filled.
    Py_INCREF(out);
    OwnedRef kept(out);
    void* data = nullptr;
    const std::array<std::size_t, 2> shape{rows, width};
    if (!writable_output(out, "out", element, shape, data)) return nullptr;
    if (!lock_released([&] { with_cubes(self, [&](auto cubes) { fill(cubes, data); }); })) {
        return nullptr;
    }
    return kept.release();
}

// ---------------------------------------------------------------------------
// The type

PyMethodDef CubeBatch_methods[] = {
    {"apply_move_indexes", TWIRLKIT_FASTCALL(&CubeBatch_apply_move_indexes),
     METH_FASTCALL | METH_KEYWORDS, "apply_move_indexes($self, move_indexes)\n--\n\n"},
    {"get_next_states", CubeBatch_get_next_states, METH_NOARGS,
     "get_next_states($self)\n--\n\n"
     "Return successor states for all cubes using the 12 quarter-turn moves.\n\n"
     "Returns a NumPy int64 array with shape (len(self) * 12, sticker_dim)."},
    {"to_sticker_array", CubeBatch_to_sticker_array, METH_NOARGS,
     "to_sticker_array($self)\n--\n\n"
     "Return the cube states as a sticker array with shape (len(self), sticker_dim).\n\n"
     "Returns a NumPy int64 array with shape (len(self), sticker_dim)."},
    {"scramble", TWIRLKIT_FASTCALL(&CubeBatch_scramble), METH_FASTCALL | METH_KEYWORDS,
     "scramble($self, scramble_lengths)\n--\n\n"
     "Scramble each cube with the corresponding number of random moves.\n\n"
     "The `scramble_lengths` array is zipped with the batch. If it is shorter\n"
     "than the batch, only the first N cubes are scrambled. Extra lengths are\n"
     "ignored."},
    {"len", CubeBatch_len, METH_NOARGS,
     "len($self)\n--\n\nReturn the number of cubes in the batch."},
    {"from_stickers", TWIRLKIT_FASTCALL(&CubeBatch_from_stickers),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_stickers($type, stickers, cube_type)\n--\n\n"
     "Return a new batch holding the states of the given sticker rows.\n\n"
     "`stickers` is a 2-D integer array-like of shape (n, 54) for cube_type 3\n"
     "or (n, 24) for cube_type 2, in the order of to_sticker_array(). Every\n"
     "row must be a state reachable by quarter turns from solved; the first\n"
     "row that is not raises ValueError naming the row and the reason."},
    {"from_packed", TWIRLKIT_FASTCALL(&CubeBatch_from_packed),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_packed($type, words, cube_type)\n--\n\n"
     "Return a new batch holding the states of the given packed words.\n\n"
     "`words` is a 2-D integer array-like of shape (n, 2) (corners, edges) for\n"
     "cube_type 3 or (n, 1) (state) for cube_type 2, as to_packed() returns.\n"
     "Rows are checked like the rows of from_stickers()."},
    {"from_cubes", TWIRLKIT_FASTCALL(&CubeBatch_from_cubes),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_cubes($type, cubes)\n--\n\n"
     "Return a new batch holding copies of the states of a sequence of cubes.\n\n"
     "The cubes must all be Cube2x2 or all be Cube3x3; the errors are those\n"
     "of get_next_states()."},
    {"to_packed", CubeBatch_to_packed, METH_NOARGS,
     "to_packed($self)\n--\n\n"
     "Return the packed words of every cube as a C-contiguous uint64 array.\n\n"
     "The shape is (len(self), 2) (corners, edges) for Cube3x3 and\n"
     "(len(self), 1) (state) for Cube2x2. Equal states give equal rows."},
    {"take", TWIRLKIT_FASTCALL(&CubeBatch_take), METH_FASTCALL | METH_KEYWORDS,
     "take($self, indices)\n--\n\n"
     "Return a new batch holding copies of the selected cubes, in order.\n\n"
     "`indices` is a 1-D integer array-like; negative values count from the\n"
     "end."},
    {"expand", CubeBatch_expand, METH_NOARGS,
     "expand($self)\n--\n\n"
     "Return a new batch of len(self) * 12 cubes: cube 12 * i + m is cube i\n"
     "after move index m, the row order of get_next_states()."},
    {"is_solved", CubeBatch_is_solved, METH_NOARGS,
     "is_solved($self)\n--\n\n"
     "Return a 1-D NumPy bool array, True where a cube is solved."},
    {"stickers", TWIRLKIT_FASTCALL(&CubeBatch_stickers), METH_FASTCALL | METH_KEYWORDS,
     "stickers($self, *, successors=False, dtype=None, one_hot=False, out=None)\n--\n\n"
     "Return the sticker rows of the batch, encoded.\n\n"
     "With successors=False there is one row per cube (the rows of\n"
     "to_sticker_array()); with True twelve per cube (the rows of\n"
     "get_next_states(), row 12 * i + m). Codes have shape (rows, sticker_dim)\n"
     "and dtype int8, uint8, int16, int32 or int64 (the default). With\n"
     "one_hot=True the shape is (rows, 6 * sticker_dim), element [r, 6 * s + c]\n"
     "is 1 exactly when sticker s of row r has colour c, and the dtype is\n"
     "float32 (the default), float16, float64, bool, uint8 or int8.\n\n"
     "`out`, if given, must be a writable C-contiguous array of exactly that\n"
     "shape and dtype; it is filled and returned."},
    {"distances", CubeBatch_distances, METH_NOARGS,
     "distances($self)\n--\n\n"
     "Return the distance of every 2x2 cube to the solved state.\n\n"
     "The exact number of quarter turns (all twelve moves) to solved, from a table\n"
     "of all 88,179,840 positions that the first call builds (44 MB, kept for the\n"
     "life of the process). Returns a NumPy int8 array with shape (len(self),).\n"
     "Raises TypeError on a batch of 3x3 cubes."},
    {"solve", TWIRLKIT_FASTCALL(&CubeBatch_solve), METH_FASTCALL | METH_KEYWORDS,
     "solve($self, *, max_length=21, timeout=1.0)\n--\n\n"
     "Return a solution for every cube, as move text.\n\n"
     "Returns a list of str, one per cube; do_moves with it solves the cube.\n\n"
     "For a 2x2 batch each solution is a shortest one and uses the quarter-turn\n"
     "tokens U, U', D, D', R, R', L, L', F, F', B and B', so its token count is\n"
     "the cube's distance. Among the shortest, each step takes the first move in\n"
     "move-index order that lowers the distance. `max_length` and `timeout` are\n"
     "checked and otherwise not needed.\n\n"
     "For a 3x3 batch the two-phase method searches on the worker pool, the\n"
     "interpreter lock released, with the tokens U, U2, U' and so on. It keeps\n"
     "looking for shorter solutions for a while after finding one of at most\n"
     "`max_length` face turns (a half turn counts one). A cube that finds none\n"
     "that short within `timeout` seconds of search (the CPU time of its worker)\n"
     "gets the shortest found. The tables of the search are built on first use\n"
     "(seconds) and cached on disk."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot CubeBatch_slots[] = {
    {Py_tp_doc, const_cast<char*>("CubeBatch(count, cube_type)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&CubeBatch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&CubeBatch_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(&CubeBatch_str)},
    {Py_tp_methods, CubeBatch_methods},
    {Py_sq_length, reinterpret_cast<void*>(&CubeBatch_length)},
    {Py_sq_item, reinterpret_cast<void*>(&CubeBatch_item)},
    {Py_mp_subscript, reinterpret_cast<void*>(&CubeBatch_subscript)},
    {0, nullptr},
};

// The dotted name gives the class its __module__; __name__ stays bare.
PyType_Spec CubeBatch_spec = {
    .name = "twirlkit.CubeBatch",
    .basicsize = sizeof(CubeBatchObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = CubeBatch_slots,
};

PyTypeObject* CubeBatch_type = nullptr;

}  // namespace

PyTypeObject* cube_batch_type() noexcept {
    return type_from_spec_once(CubeBatch_type, CubeBatch_spec);
}

}  // namespace twirlkit
