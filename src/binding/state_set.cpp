// The Python class StateSet, a set of cube states in a native hash table;
// CubeBatch.unique(); and the module function bfs(), breadth-first layers
// of states (search/state_set.hpp).
#include <cxxabi.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "binding/batch_object.hpp"
#include "binding/binding.hpp"
#include "binding/module_parts.hpp"
#include "binding/numpy_interop.hpp"
#include "search/state_set.hpp"

namespace twirlkit {

namespace {

using Tables = std::variant<CubeTable<Cube2x2>, CubeTable<Cube3x3>>;

// The storage index of a cube type in a batch and in a set: the same order.
static_assert(std::is_same_v<std::variant_alternative_t<0, Storage>, StateVector<Cube2x2>> &&
              std::is_same_v<std::variant_alternative_t<1, Storage>, StateVector<Cube3x3>>);

struct StateSetObject {
    PyObject_HEAD
    Tables table;
    BorrowFlag borrow;
};

StateSetObject* as_set(PyObject* object) noexcept { return reinterpret_cast<StateSetObject*>(object); }

// Calls below this many cubes keep the interpreter lock: releasing it would
// cost more than the work.
constexpr std::size_t RELEASE_FROM = std::size_t{1} << 14;

const char* set_cube_name(const StateSetObject* self) noexcept {
    return self->table.index() == 1 ? "Cube3x3" : "Cube2x2";
}

// The batch argument of a set method: a CubeBatch of the set's cube type.
CubeBatchObject* batch_argument(StateSetObject* self, PyObject* object) noexcept {
    if (!is_batch(object)) {
        PyErr_Format(PyExc_TypeError, "argument 'batch' must be CubeBatch, not '%s'",
                     Py_TYPE(object)->tp_name);
        return nullptr;
    }
    CubeBatchObject* batch = as_batch(object);
    if (batch->storage.index() != self->table.index()) {
        PyErr_Format(PyExc_TypeError, "argument 'batch' holds %s cubes, not the %s cubes of this set",
                     cube_name(batch), set_cube_name(self));
        return nullptr;
    }
    return batch;
}

// Calls f(table, cubes) with the set's table and the batch's cubes of the
// same type.
template <class F>
void with_table_and_cubes(StateSetObject* self, CubeBatchObject* batch, F&& f) {
    std::visit(
        [&](auto& table) {
            using Table = std::decay_t<decltype(table)>;
            using C = std::conditional_t<std::is_same_v<Table, CubeTable<Cube3x3>>, Cube3x3, Cube2x2>;
            f(table, std::span<const C>(std::get<StateVector<C>>(batch->storage)));
        },
        self->table);
}

// Runs body() with the lock released when the call is large, else with it
// held; false with the exception set. AnswerSignals as for lock_released.
template <bool AnswerSignals, class Body>
bool run_sized(std::size_t n, HeldWhileReleased held, Body&& body) {
    if (n >= RELEASE_FROM) return lock_released<AnswerSignals>(held, body);
    return guarded([&]() -> bool { body(); return true; }, false);
}

PyObject* StateSet_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static constexpr std::array<const char*, 1> names{"cube_type"};
    std::array<PyObject*, 1> given;
    if (!match_tuple_arguments("StateSet", args, kwargs, names, 1, given)) return nullptr;
    std::uint32_t cube_type_number = 0;
    if (!convert_cube_type(given[0], cube_type_number)) return nullptr;
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    StateSetObject* self = as_set(object);
    if (cube_type_number == 2) {
        new (&self->table) Tables(std::in_place_index<0>);
    } else {
        new (&self->table) Tables(std::in_place_index<1>);
    }
    new (&self->borrow) BorrowFlag();
    return object;
}

void StateSet_dealloc(PyObject* object) noexcept {
    std::destroy_at(&as_set(object)->table);
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

Py_ssize_t StateSet_length(PyObject* object) noexcept {
    StateSetObject* self = as_set(object);
    PySharedHold hold(self->borrow);
    if (!hold) return -1;
    return static_cast<Py_ssize_t>(std::visit([](const auto& t) { return t.size(); }, self->table));
}

// add(batch) and contains(batch): a bool array, one flag per cube.
template <bool Add>
PyObject* set_flags(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names{"batch"};
    std::array<PyObject*, 1> given;
    if (!match_arguments(Add ? "add" : "contains", args, nargs, kwnames, names, 1, given)) {
        return nullptr;
    }
    StateSetObject* self = as_set(object);
    CubeBatchObject* batch = batch_argument(self, given[0]);
    if (batch == nullptr) return nullptr;
    PyForkSafeSharedHold batch_hold(batch->borrow);
    if (!batch_hold) return nullptr;
    const std::size_t n = batch_size(batch);
    OutputBuffer flags;
    const auto body = [&] {
        flags = OutputBuffer::allocate(n, 1, Element::boolean);
        with_table_and_cubes(self, batch, [&](auto& table, auto cubes) {
            if constexpr (Add) {
                add_cubes(table, cubes, static_cast<bool*>(flags.data()));
            } else {
                contained_cubes(table, cubes, static_cast<bool*>(flags.data()));
            }
        });
    };
    if constexpr (Add) {
        // An add runs to its end: stopped half way it would leave some of
        // the batch in the set. A failed allocation leaves the states added
        // before it.
        PyExclusiveHold hold(self->borrow);
        if (!hold) return nullptr;
        if (!run_sized<false>(n, batch_hold, body)) return nullptr;
    } else {
        PyForkSafeSharedHold hold(self->borrow);
        if (!hold) return nullptr;
        if (!run_sized<true>(n, batch_hold, body)) return nullptr;
    }
    return buffer_to_ndarray(std::move(flags), 1);
}

PyObject* StateSet_to_batch(PyObject* object, PyObject*) {
    StateSetObject* self = as_set(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    Storage storage;
    const bool made = std::visit(
        [&](const auto& table) {
            using C = std::conditional_t<std::is_same_v<std::decay_t<decltype(table)>,
                                                        CubeTable<Cube3x3>>, Cube3x3, Cube2x2>;
            if (!make_storage<C, false>(table.size(), storage)) return false;
            return run_sized<true>(table.size(), hold, [&] {
                cubes_of_table<C>(table, std::get<StateVector<C>>(storage).data());
            });
        },
        self->table);
    if (!made) return nullptr;
    PyTypeObject* type = cube_batch_type();
    if (type == nullptr) return nullptr;
    return new_batch(type, std::move(storage));
}

PyObject* StateSet_clear(PyObject* object, PyObject*) {
    StateSetObject* self = as_set(object);
    PyExclusiveHold hold(self->borrow);
    if (!hold) return nullptr;
    std::visit([](auto& table) { table.clear(); }, self->table);
    Py_RETURN_NONE;
}

PyMethodDef StateSet_methods[] = {
    {"add", TWIRLKIT_FASTCALL(&set_flags<true>), METH_FASTCALL | METH_KEYWORDS,
     "add($self, batch)\n--\n\n"
     "Add the states of a batch; return a bool array, True where a cube's\n"
     "state was not in the set before.\n\n"
     "A state repeated within the batch is new only at its first place. The\n"
     "batch must hold cubes of the set's type (else TypeError). Large batches\n"
     "are added with the interpreter lock released, on the worker pool; an\n"
     "add runs to its end before Ctrl-C is answered."},
    {"contains", TWIRLKIT_FASTCALL(&set_flags<false>), METH_FASTCALL | METH_KEYWORDS,
     "contains($self, batch)\n--\n\n"
     "Return a bool array, True where a cube's state is in the set."},
    {"to_batch", StateSet_to_batch, METH_NOARGS,
     "to_batch($self)\n--\n\n"
     "Return the states of the set as a new CubeBatch, in no particular order."},
    {"clear", StateSet_clear, METH_NOARGS,
     "clear($self)\n--\n\nRemove every state, giving the memory back."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot StateSet_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "StateSet(cube_type)\n--\n\n"
                    "A set of cube states of one size, cube_type 2 or 3, kept as packed\n"
                    "words in a native hash table (at most 30 bytes a 3x3 state).\n\n"
                    "The borrow rules of a batch apply: a set is changed by one call at a\n"
                    "time, and a call that meets another one changing it raises\n"
                    "RuntimeError instead of waiting.")},
    {Py_tp_new, reinterpret_cast<void*>(&StateSet_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&StateSet_dealloc)},
    {Py_tp_methods, StateSet_methods},
    {Py_sq_length, reinterpret_cast<void*>(&StateSet_length)},
    {0, nullptr},
};

PyType_Spec StateSet_spec = {
    .name = "twirlkit.StateSet",
    .basicsize = sizeof(StateSetObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = StateSet_slots,
};

PyTypeObject* StateSet_type = nullptr;

// ---------------------------------------------------------------------------
// CubeBatch.unique

PyObject* int64_vector(std::vector<std::int64_t>&& values) {
    return guarded([&]() -> PyObject* {
        OutputBuffer buffer = OutputBuffer::allocate(values.size(), 1, Element::int64);
        if (!values.empty()) std::memcpy(buffer.data(), values.data(), values.size() * sizeof(std::int64_t));
        std::vector<std::int64_t>().swap(values);
        return buffer_to_ndarray(std::move(buffer), 1);
    });
}

PyObject* CubeBatch_unique(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static constexpr std::array<const char*, 3> names{"return_index", "return_inverse",
                                                      "return_counts"};
    std::array<PyObject*, 3> given;
    if (!match_keyword_only("unique", args, nargs, kwnames, names, given)) return nullptr;
    std::array<bool, 3> wanted{};
    for (std::size_t k = 0; k < 3; ++k) {
        if (!convert_flag(given[k], wanted[k])) return nullptr;
    }
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    DistinctStates distinct;
    Storage storage;
    if (!run_sized<true>(batch_size(self), hold, [&] {
            with_cubes(self, [&](auto cubes) {
                using C = typename decltype(cubes)::value_type;
                distinct = distinct_states(cubes, wanted[1], wanted[2]);
                auto& out = storage.emplace<StateVector<C>>(distinct.first.size());
                for (std::size_t k = 0; k < distinct.first.size(); ++k) {
                    out[k] = cubes[static_cast<std::size_t>(distinct.first[k])];
                }
            });
        })) {
        return nullptr;
    }
    OwnedRef states(new_batch(Py_TYPE(object), std::move(storage)));
    if (!states || !(wanted[0] || wanted[1] || wanted[2])) return states.release();
    // As np.unique: the states, then the index, inverse and counts asked for.
    OwnedRef result(PyTuple_New(1 + wanted[0] + wanted[1] + wanted[2]));
    if (!result) return nullptr;
    PyTuple_SET_ITEM(result.get(), 0, states.release());
    std::array<std::vector<std::int64_t>*, 3> arrays{&distinct.first, &distinct.inverse,
                                                     &distinct.counts};
    Py_ssize_t at = 1;
    for (std::size_t k = 0; k < 3; ++k) {
        if (!wanted[k]) continue;
        PyObject* array = int64_vector(std::move(*arrays[k]));
        if (array == nullptr) return nullptr;
        PyTuple_SET_ITEM(result.get(), at++, array);
    }
    return result.release();
}

// ---------------------------------------------------------------------------
// bfs

// The `moves` argument: None (all of the metric), or a sequence of move
// indexes of the metric that holds the inverse of each of them.
bool convert_bfs_moves(PyObject* object, Metric metric, std::vector<std::uint8_t>& out) {
    const std::size_t count = move_count(metric);
    out.clear();
    if (object == nullptr || object == Py_None) {
        for (std::size_t m = 0; m < count; ++m) out.push_back(static_cast<std::uint8_t>(m));
        return true;
    }
    OwnedRef items(PySequence_Fast(object, "argument 'moves' must be a sequence of move indexes"));
    if (!items) return false;
    std::array<bool, FACE_TURN_COUNT> seen{};
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t k = 0; k < n; ++k) {
        std::int64_t m = 0;
        if (!convert_i64(PySequence_Fast_GET_ITEM(items.get(), k), "moves", m)) return false;
        if (m < 0 || static_cast<std::uint64_t>(m) >= count) {
            PyErr_Format(PyExc_ValueError, "argument 'moves': %lld is not a move of metric '%s' (0 to %zu)",
                         static_cast<long long>(m), metric == Metric::qtm ? "qtm" : "htm", count - 1);
            return false;
        }
        if (!seen[static_cast<std::size_t>(m)]) out.push_back(static_cast<std::uint8_t>(m));
        seen[static_cast<std::size_t>(m)] = true;
    }
    for (std::uint8_t m : out) {
        if (seen[inverse_move(metric, m)]) continue;
        PyErr_Format(PyExc_ValueError,
                     "argument 'moves' must hold the inverse of each of its moves: it holds %u "
                     "but not its inverse %u",
                     unsigned{m}, unsigned{inverse_move(metric, m)});
        return false;
    }
    return true;
}

bool convert_count(PyObject* object, const char* parameter, std::int64_t& out) noexcept {
    if (object == nullptr) return true;
    if (!convert_saturated_i64(object, parameter, out)) return false;
    if (out < 0) {
        PyErr_Format(PyExc_ValueError, "argument '%s' must not be negative", parameter);
        return false;
    }
    return true;
}

template <PackedCube C>
TWIRLKIT_PASSES_FORCED_UNWIND PyObject* run_bfs(std::vector<C>&& starts, std::size_t max_depth,
                                                Metric metric, const std::vector<std::uint8_t>& moves,
                                                std::size_t keep_last) {
    const int shown = progress_wanted();
    if (shown < 0) return nullptr;
    BreadthFirstLayers<C> found;
    std::exception_ptr failure;
    {
        ReleaseGil unlocked;
        SignalScope signals(unlocked);
        const BuildProgress progress{shown ? &write_progress : nullptr, &unlocked};
        try {
            found = breadth_first_layers<C>(starts, max_depth, metric, moves, keep_last, progress);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) return guarded([&]() -> PyObject* { std::rethrow_exception(failure); });
    OwnedRef sizes(int64_vector(std::move(found.sizes)));
    if (!sizes) return nullptr;
    PyTypeObject* type = cube_batch_type();
    if (type == nullptr) return nullptr;
    OwnedRef layers(PyList_New(static_cast<Py_ssize_t>(found.layers.size())));
    if (!layers) return nullptr;
    for (std::size_t k = 0; k < found.layers.size(); ++k) {
        PyObject* layer = new_batch(type, Storage(std::move(found.layers[k])));
        if (layer == nullptr) return nullptr;
        PyList_SET_ITEM(layers.get(), static_cast<Py_ssize_t>(k), layer);
    }
    return PyTuple_Pack(2, sizes.get(), layers.get());
}

PyObject* bfs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 6> names{"cube_type", "max_depth", "start",
                                                      "metric",    "moves",     "keep_last"};
    std::array<PyObject*, 6> given;
    if (!match_arguments("bfs", args, nargs, kwnames, names, 2, given)) return nullptr;
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "bfs() takes 2 positional arguments but %zd were given", nargs);
        return nullptr;
    }
    std::uint32_t cube_type_number = 0;
    if (!convert_cube_type(given[0], cube_type_number)) return nullptr;
    std::int64_t max_depth = 0;
    std::int64_t keep_last = 1;
    if (!convert_count(given[1], "max_depth", max_depth)) return nullptr;
    if (!convert_count(given[5], "keep_last", keep_last)) return nullptr;
    Metric metric = Metric::qtm;
    if (!convert_metric(given[3], metric)) return nullptr;
    std::vector<std::uint8_t> moves;
    if (!guarded([&] { return convert_bfs_moves(given[4], metric, moves); }, false)) return nullptr;
    const auto search = [&]<PackedCube C>(std::vector<C> starts) -> PyObject* {
        PyObject* start = given[2];
        if (start != nullptr && start != Py_None) {
            if (!is_batch(start)) {
                PyErr_Format(PyExc_TypeError, "argument 'start' must be CubeBatch or None, not '%s'",
                             Py_TYPE(start)->tp_name);
                return nullptr;
            }
            CubeBatchObject* batch = as_batch(start);
            const auto* cubes = std::get_if<StateVector<C>>(&batch->storage);
            if (cubes == nullptr) {
                PyErr_Format(PyExc_TypeError, "argument 'start' holds %s cubes, not the cubes of cube_type %u",
                             cube_name(batch), cube_type_number);
                return nullptr;
            }
            PySharedHold hold(batch->borrow);
            if (!hold) return nullptr;
            if (cubes->empty()) {
                PyErr_SetString(PyExc_ValueError, "argument 'start' must hold at least one cube");
                return nullptr;
            }
            if (!guarded([&] { starts.assign(cubes->begin(), cubes->end()); return true; }, false)) {
                return nullptr;
            }
        }
        return run_bfs<C>(std::move(starts), static_cast<std::size_t>(max_depth), metric, moves,
                          static_cast<std::size_t>(keep_last));
    };
    return cube_type_number == 2 ? search(std::vector<Cube2x2>(1)) : search(std::vector<Cube3x3>(1));
}

}  // namespace

PyMethodDef CubeBatch_set_methods[] = {
    {"unique", TWIRLKIT_FASTCALL(&CubeBatch_unique), METH_FASTCALL | METH_KEYWORDS,
     "unique($self, *, return_index=False, return_inverse=False, return_counts=False)\n--\n\n"
     "Return the distinct states of the batch as a new batch, each at the\n"
     "place of its first cube, in the batch's order.\n\n"
     "It works like np.unique on the states, by hashing instead of sorting.\n"
     "With any of the flags, the result is a tuple: the batch, then those of\n"
     "index (the place of each state's first cube), inverse (for each cube,\n"
     "the position of its state in the result) and counts (the cubes of\n"
     "each state) that were asked for, in that order, as np.intp arrays."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef bfs_def = {
    "bfs", TWIRLKIT_FASTCALL(&bfs), METH_FASTCALL | METH_KEYWORDS,
    "bfs(cube_type, max_depth, *, start=None, metric='qtm', moves=None, keep_last=1)\n--\n\n"
    "Breadth-first layers of states: return (sizes, layers).\n\n"
    "sizes is an int64 array of the number of states at each depth from\n"
    "start (the solved cube when None; every cube of a CubeBatch is at\n"
    "depth 0), to max_depth or to the last non-empty depth, whichever comes\n"
    "first: it holds no zeros. layers is a list of the last keep_last\n"
    "layers as batches, oldest first, each in no particular order.\n\n"
    "moves restricts the search to those move indexes of the metric ('qtm',\n"
    "12 moves, or 'htm', 18 moves: 3 * face + k); None means all of them.\n"
    "They must hold the inverse of each of their moves (else ValueError),\n"
    "so that only the last two layers and the one being built are kept in\n"
    "memory.\n\n"
    "The interpreter lock is released meanwhile, Ctrl-C stops the search,\n"
    "and progress is written to sys.stderr after the first half second,\n"
    "when that is a terminal or when TWIRLKIT_PROGRESS=1."};

PyTypeObject* state_set_type() noexcept { return type_from_spec_once(StateSet_type, StateSet_spec); }

}  // namespace twirlkit
