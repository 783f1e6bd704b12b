// The Python class CubeBatch: many cubes of one size in one contiguous
// vector, scrambled, stepped and expanded by the batch kernels. The methods
// of the other topics live in batch_*.cpp beside this file.
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
#include "binding/batch_object.hpp"

namespace twirlkit {

namespace {

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
        PyErr_SetString(PyExc_IndexError, BATCH_INDEX_ERROR);
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

template <class Kernel>
PyObject* read_matrix_lock_released(PyObject* object, Kernel kernel) {
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    OutputBuffer matrix;
    if (!lock_released(hold, [&] { matrix = with_cubes(self, kernel); })) return nullptr;
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
// The type

PyMethodDef CubeBatch_core_methods[] = {
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
    {nullptr, nullptr, 0, nullptr},
};

// The method tables of every topic, joined once into the type's table (its
// last entry stays the null one). nullptr if they outgrow it.
PyMethodDef* joined_methods() noexcept {
    static const std::array<PyMethodDef*, 6> parts{CubeBatch_core_methods, CubeBatch_state_methods,
                                                  CubeBatch_solve_methods,
                                                  CubeBatch_symmetry_methods, CubeBatch_data_methods,
                                                  CubeBatch_set_methods};
    static std::array<PyMethodDef, 96> table{};
    std::size_t n = 0;
    for (PyMethodDef* part : parts) {
        for (PyMethodDef* m = part; m->ml_name != nullptr; ++m) {
            if (n + 1 == table.size()) return nullptr;
            table[n++] = *m;
        }
    }
    return table.data();
}


PyType_Slot CubeBatch_slots[] = {
    {Py_tp_doc, const_cast<char*>("CubeBatch(count, cube_type)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&CubeBatch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&CubeBatch_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(&CubeBatch_str)},
    {Py_tp_methods, nullptr},  // joined_methods(), set before the type is made
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
    if (CubeBatch_type == nullptr) {
        for (PyType_Slot& slot : CubeBatch_slots) {
            if (slot.slot != Py_tp_methods) continue;
            slot.pfunc = joined_methods();
            if (slot.pfunc == nullptr) {
                PyErr_SetString(PyExc_SystemError, "CubeBatch has more methods than its table");
                return nullptr;
            }
        }
    }
    return type_from_spec_once(CubeBatch_type, CubeBatch_spec);
}

}  // namespace twirlkit
