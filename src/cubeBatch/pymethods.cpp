// The Python class CubeBatch: many cubes of one size in one contiguous
// vector, scrambled, stepped and expanded by the batch kernels.
#include <cxxabi.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "binding.hpp"
#include "cube/kernels.hpp"
#include "cube/solution_text.hpp"
#include "cube2x2/distances.hpp"
#include "cube2x2/utils.hpp"
#include "cube3x3/utils.hpp"
#include "cube_object.hpp"
#include "module_parts.hpp"
#include "numpy_interop.hpp"

namespace twirlkit {

namespace {

// Cube values back to back, 8 bytes per Cube2x2 and 16 per Cube3x3; the
// variant and the length are fixed at construction.
using Storage = std::variant<std::vector<Cube2x2>, std::vector<Cube3x3>>;

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

// Fills `out` with `count` solved cubes; false with a Python exception set
// when the storage cannot be had.
template <Cube C>
bool make_storage(std::uint32_t count, Storage& out) noexcept {
    if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(C)) {
        raise_panic("capacity overflow");
        return false;
    }
    return guarded(
        [&] {
            out.emplace<std::vector<C>>(count);
            return true;
        },
        false);
}

PyObject* CubeBatch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static constexpr std::array<const char*, 2> names{"count", "cube_type"};
    std::array<PyObject*, 2> given;
    if (!match_tuple_arguments("CubeBatch", args, kwargs, names, 2, given)) return nullptr;
    std::uint32_t count = 0;
    std::uint32_t cube_type_number = 0;
    if (!convert_u32(given[0], "count", count)) return nullptr;
    if (!convert_u32(given[1], "cube_type", cube_type_number)) return nullptr;
    if (cube_type_number != 2 && cube_type_number != 3) {
        PyErr_SetString(PyExc_TypeError, "unknown cube type: expected 2 or 3");
        return nullptr;
    }

    // Built before the object, so a failure leaves nothing half made.
    Storage storage;
    const bool made = cube_type_number == 2 ? make_storage<Cube2x2>(count, storage)
                                            : make_storage<Cube3x3>(count, storage);
    if (!made) return nullptr;

    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    CubeBatchObject* self = as_batch(object);
    new (&self->storage) Storage(std::move(storage));
    new (&self->borrow) BorrowFlag();
    return object;
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

PyObject* CubeBatch_scramble(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    static constexpr std::array<const char*, 1> names{"scramble_lengths"};
    std::array<PyObject*, 1> given;
    if (!match_arguments("scramble", args, nargs, kwnames, names, 1, given)) return nullptr;
    CubeBatchObject* self = as_batch(object);
    PyExclusiveHold hold(self->borrow);
    if (!hold) return nullptr;
    ArrayRead<std::int64_t> lengths;
    if (!read_int64_array(given[0], "scramble_lengths", lengths)) return nullptr;
    // An entropy failure surfaces as PanicException once every task has
    // ended; cubes already scrambled keep their turns.
    return guarded([&]() -> PyObject* {
        std::visit(
            [&](auto& cubes) { scramble_batch_internal(std::span(cubes), lengths.span()); },
            self->storage);
        Py_RETURN_NONE;
    });
}

PyObject* CubeBatch_apply_move_indexes(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
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

template <class Kernel>
PyObject* read_matrix_lock_released(PyObject* object, Kernel kernel) noexcept {
    CubeBatchObject* self = as_batch(object);
    PySharedHold hold(self->borrow);
    if (!hold) return nullptr;
    OutputMatrix matrix;
    std::exception_ptr failure;
    {
        ReleaseGil unlocked;
        // Nothing may leave this block by exception: the lock must be back
        // before the failure is turned into a Python exception.
        try {
            matrix = std::visit(
                [&](const auto& cubes) {
                    using C = typename std::decay_t<decltype(cubes)>::value_type;
                    return kernel(std::span<const C>(cubes));
                },
                self->storage);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) {
        return guarded([&]() -> PyObject* { std::rethrow_exception(failure); });
    }
    return matrix_to_ndarray(std::move(matrix));
}

PyObject* CubeBatch_get_next_states(PyObject* object, PyObject*) noexcept {
    return read_matrix_lock_released(
        object, [](auto cubes) { return next_states_internal(cubes); });
}

PyObject* CubeBatch_to_sticker_array(PyObject* object, PyObject*) noexcept {
    return read_matrix_lock_released(
        object, [](auto cubes) { return sticker_arrays_internal(cubes); });
}

// ---------------------------------------------------------------------------
// Exact 2x2 distances and optimal solutions, from the distance table that
// the first call builds (seconds, on the pool, with the lock released).

// Runs body() with the interpreter lock released and returns what it threw,
// once the lock is held again. The forced unwind that ends a daemon thread
// retaking the lock at interpreter exit passes through untouched, so neither
// this frame nor its callers up to the interpreter are noexcept.
template <class Body>
std::exception_ptr run_lock_released(Body&& body) {
    ReleaseGil unlocked;
    try {
        body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

// The Python exception for a failure of the distance kernels: a refused
// allocation can only be the table's.
PyObject* raise_distance_failure(std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError,
                        "not enough memory to build the 2x2 distance table (44 MB)");
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return nullptr;
}

// The cubes of a 2x2 batch, or nullptr with TypeError "<method>() needs a
// batch of 2x2 cubes".
const std::vector<Cube2x2>* cubes_2x2(CubeBatchObject* self, const char* method) noexcept {
    if (const auto* cubes = std::get_if<std::vector<Cube2x2>>(&self->storage)) return cubes;
    PyErr_Format(PyExc_TypeError, "%s() needs a batch of 2x2 cubes", method);
    return nullptr;
}

PyObject* CubeBatch_distances(PyObject* object, PyObject*) {
    CubeBatchObject* self = as_batch(object);
    PySharedHold hold(self->borrow);
    if (!hold) return nullptr;
    const std::vector<Cube2x2>* cubes = cubes_2x2(self, "distances");
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
PyObject* solve_2x2(const std::vector<Cube2x2>& cubes) {
    Solutions2x2 solutions;
    if (auto failure = run_lock_released([&] { solutions = solve_2x2_internal(cubes); })) {
        return raise_distance_failure(failure);
    }
    return solutions_to_list(solutions);
}

PyObject* CubeBatch_solve(PyObject* object, PyObject*) {
    CubeBatchObject* self = as_batch(object);
    PySharedHold hold(self->borrow);
    if (!hold) return nullptr;
    const std::vector<Cube2x2>* cubes = cubes_2x2(self, "solve");
    if (cubes == nullptr) return nullptr;
    return solve_2x2(*cubes);
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
    {"distances", CubeBatch_distances, METH_NOARGS,
     "distances($self)\n--\n\n"
     "Return the distance of every 2x2 cube to the solved state.\n\n"
     "The exact number of quarter turns (all twelve moves) to solved, from a table\n"
     "of all 88,179,840 positions that the first call builds (44 MB, kept for the\n"
     "life of the process). Returns a NumPy int8 array with shape (len(self),).\n"
     "Raises TypeError on a batch of 3x3 cubes."},
    {"solve", CubeBatch_solve, METH_NOARGS,
     "solve($self)\n--\n\n"
     "Return a shortest solution for every cube, as move text.\n\n"
     "For a 2x2 batch each solution uses the quarter-turn tokens U, U', D, D', R,\n"
     "R', L, L', F, F', B and B', so its token count is the cube's distance, and\n"
     "do_moves with it solves the cube. Among the shortest, each step takes the\n"
     "first move in move-index order that lowers the distance. Returns a list of\n"
     "str, one per cube. Raises TypeError on a batch of 3x3 cubes."},
    {"len", CubeBatch_len, METH_NOARGS,
     "len($self)\n--\n\nReturn the number of cubes in the batch."},
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
