// CubeBatch: the state algebra (compose, inverse, equals), copies,
// concatenation and writes of chosen cubes.
#include <cxxabi.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "binding/batch_arguments.hpp"
#include "binding/batch_object.hpp"
#include "binding/binding.hpp"
#include "binding/cube_object.hpp"
#include "binding/module_parts.hpp"
#include "binding/numpy_interop.hpp"
#include "kernels/algebra_kernels.hpp"
#include "kernels/walks.hpp"
#include "model/algebra.hpp"
#include "model/cube2x2.hpp"
#include "model/cube3x3.hpp"
#include "runtime/seeded_stream.hpp"


namespace twirlkit {

namespace {

// ---------------------------------------------------------------------------
// State algebra and copies

PyObject* CubeBatch_compose(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names{"other"};
    std::array<PyObject*, 1> given;
    if (!match_arguments("compose", args, nargs, kwnames, names, 1, given)) return nullptr;
    CubeBatchObject* self = as_batch(object);
    if (!check_other("other", self, given[0])) return nullptr;
    CubeBatchObject* other = as_batch(given[0]);
    PyForkSafeSharedHold other_hold(other->borrow);
    if (!other_hold) return nullptr;
    {
        PySharedHold peek(self->borrow);
        if (!peek) return nullptr;
        if (!check_length("other", batch_size(other), batch_size(self), true)) return nullptr;
    }
    return derived_batch(object, [other](auto cubes, Storage& storage) {
        using C = typename decltype(cubes)::value_type;
        compose_cubes(cubes, cubes_of<C>(other), storage.emplace<StateVector<C>>(cubes.size()).data());
    });
}

PyObject* CubeBatch_inverse(PyObject* object, PyObject*) {
    return derived_batch(object, [](auto cubes, Storage& storage) {
        using C = typename decltype(cubes)::value_type;
        inverse_cubes(cubes, storage.emplace<StateVector<C>>(cubes.size()).data());
    });
}

PyObject* CubeBatch_equals(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names{"other"};
    std::array<PyObject*, 1> given;
    if (!match_arguments("equals", args, nargs, kwnames, names, 1, given)) return nullptr;
    CubeBatchObject* self = as_batch(object);
    if (!check_other("other", self, given[0])) return nullptr;
    CubeBatchObject* other = as_batch(given[0]);
    PyForkSafeSharedHold other_hold(other->borrow);
    if (!other_hold) return nullptr;
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    if (!check_length("other", batch_size(other), batch_size(self), true)) return nullptr;
    return filled_array(self, hold, Element::boolean, {batch_size(self), 1}, 1, [other](auto cubes, void* data) {
        using C = typename decltype(cubes)::value_type;
        equal_flags(cubes, cubes_of<C>(other), static_cast<bool*>(data));
    });
}

PyObject* CubeBatch_copy(PyObject* object, PyObject*) {
    return derived_batch(object, [](auto cubes, Storage& storage) {
        using C = typename decltype(cubes)::value_type;
        auto& out = storage.emplace<StateVector<C>>(cubes.size());
        if (!cubes.empty()) std::memcpy(static_cast<void*>(out.data()), cubes.data(), cubes.size_bytes());
    });
}

PyObject* CubeBatch_concatenate(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names{"batches"};
    std::array<PyObject*, 1> given;
    if (!match_arguments("concatenate", args, nargs, kwnames, names, 1, given)) return nullptr;
    // A private list: the caller's sequence may change while it is read.
    OwnedRef list(PySequence_List(given[0]));
    if (!list) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        PyErr_Clear();
        raise_conversion_error(given[0], "Sequence", "batches");
        return nullptr;
    }
    const Py_ssize_t parts = PyList_GET_SIZE(list.get());
    if (parts == 0) {
        PyErr_SetString(PyExc_ValueError, "argument 'batches' must hold at least one batch");
        return nullptr;
    }
    std::size_t total = 0;
    std::size_t kind = 0;
    for (Py_ssize_t k = 0; k < parts; ++k) {
        PyObject* item = PyList_GET_ITEM(list.get(), k);
        if (!is_batch(item)) {
            PyErr_Format(PyExc_TypeError, "argument 'batches' must hold CubeBatch objects, not '%s'",
                         Py_TYPE(item)->tp_name);
            return nullptr;
        }
        CubeBatchObject* batch = as_batch(item);
        if (k == 0) kind = batch->storage.index();
        if (batch->storage.index() != kind) {
            PyErr_Format(PyExc_TypeError,
                         "argument 'batches' must hold batches of one cube type, not %s and %s",
                         cube_name(as_batch(PyList_GET_ITEM(list.get(), 0))), cube_name(batch));
            return nullptr;
        }
        PySharedHold peek(batch->borrow);
        if (!peek) return nullptr;
        total += batch_size(batch);
    }
    Storage storage;
    const bool made = kind == 1 ? make_storage<Cube3x3, false>(total, storage)
                                : make_storage<Cube2x2, false>(total, storage);
    if (!made) return nullptr;
    std::size_t at = 0;
    for (Py_ssize_t k = 0; k < parts; ++k) {
        CubeBatchObject* batch = as_batch(PyList_GET_ITEM(list.get(), k));
        PyForkSafeSharedHold hold(batch->borrow);
        if (!hold) return nullptr;
        if (!lock_released(hold, [&] {
                with_cubes(batch, [&](auto cubes) {
                    using C = typename decltype(cubes)::value_type;
                    C* out = std::get<StateVector<C>>(storage).data() + at;
                    if (!cubes.empty()) std::memcpy(static_cast<void*>(out), cubes.data(), cubes.size_bytes());
                    at += cubes.size();
                });
            })) {
            return nullptr;
        }
    }
    return new_batch(batch_type_of(cls), std::move(storage));
}



PyObject* CubeBatch_assign(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static constexpr std::array<const char*, 2> names{"indices", "source"};
    std::array<PyObject*, 2> given;
    if (!match_arguments("assign", args, nargs, kwnames, names, 2, given)) return nullptr;
    CubeBatchObject* self = as_batch(object);
    if (!check_other("source", self, given[1])) return nullptr;
    CubeBatchObject* source = as_batch(given[1]);
    // The source is copied out first, under its own shared hold, so that a
    // batch can be assigned from itself.
    Storage copied;
    {
        PyForkSafeSharedHold source_hold(source->borrow);
        if (!source_hold) return nullptr;
        const std::size_t count = batch_size(source);
        const bool made = source->storage.index() == 1 ? make_storage<Cube3x3, false>(count, copied)
                                                       : make_storage<Cube2x2, false>(count, copied);
        if (!made) return nullptr;
        std::visit(
            [&](const auto& cubes) {
                using C = typename std::decay_t<decltype(cubes)>::value_type;
                if (count != 0) {
                    std::memcpy(static_cast<void*>(std::get<StateVector<C>>(copied).data()), cubes.data(),
                                count * sizeof(C));
                }
            },
            source->storage);
    }
    PyExclusiveHold hold(self->borrow);
    if (!hold) return nullptr;
    std::vector<std::size_t> positions;
    if (!read_positions(given[0], batch_size(self), positions)) return nullptr;
    const std::size_t count = std::visit([](const auto& cubes) { return cubes.size(); }, copied);
    if (count != 1 && count != positions.size()) {
        PyErr_Format(PyExc_ValueError, "argument 'source' must hold %zu cubes or 1, not %zu",
                     positions.size(), count);
        return nullptr;
    }
    if (!lock_released(HeldWhileReleased::nothing(), [&] {
            std::visit(
                [&](auto& cubes) {
                    using C = typename std::decay_t<decltype(cubes)>::value_type;
                    assign_cubes(std::span(cubes), std::span<const std::size_t>(positions),
                                 std::span<const C>(std::get<StateVector<C>>(copied)));
                },
                self->storage);
        })) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef CubeBatch_algebra_methods[] = {
    {"compose", TWIRLKIT_FASTCALL(&CubeBatch_compose), METH_FASTCALL | METH_KEYWORDS,
     "compose($self, other)\n--\n\n"
     "Return a new batch: each cube's moves followed by those of `other`.\n\n"
     "If self holds state(s) and other state(t), the result holds\n"
     "state(s + t). `other` holds n cubes or 1, which is used for every cube."},
    {"inverse", CubeBatch_inverse, METH_NOARGS,
     "inverse($self)\n--\n\n"
     "Return a new batch of the inverse states: state(s) becomes state(s⁻¹),\n"
     "so self.compose(self.inverse()) is solved."},
    {"equals", TWIRLKIT_FASTCALL(&CubeBatch_equals), METH_FASTCALL | METH_KEYWORDS,
     "equals($self, other)\n--\n\n"
     "Return a 1-D NumPy bool array, True where a cube equals the cube of\n"
     "`other` at the same position (other may hold a single cube)."},
    {"copy", CubeBatch_copy, METH_NOARGS,
     "copy($self)\n--\n\nReturn a new batch holding copies of every cube."},
    {"concatenate", TWIRLKIT_FASTCALL(&CubeBatch_concatenate), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "concatenate($type, batches)\n--\n\n"
     "Return a new batch of the cubes of every batch, in order.\n\n"
     "The batches must all hold one cube type."},
    {"assign", TWIRLKIT_FASTCALL(&CubeBatch_assign), METH_FASTCALL | METH_KEYWORDS,
     "assign($self, indices, source)\n--\n\n"
     "Overwrite the selected cubes in place with the cubes of `source`.\n\n"
     "`indices` is a 1-D integer array-like (negative values count from the\n"
     "end, as for take()) or a boolean mask of length n. `source` holds one\n"
     "cube per selected index, or 1 cube written to all of them. Of repeated\n"
     "indexes the last one wins."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace twirlkit
