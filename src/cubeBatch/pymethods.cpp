// The Python class CubeBatch: many cubes of one size in one contiguous
// vector, scrambled, stepped and expanded by the batch kernels.
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "binding.hpp"
#include "cube/kernels.hpp"
#include "cube2x2/utils.hpp"
#include "cube3x3/solver.hpp"
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

// Not noexcept: see ReleaseGil. The rows answer Ctrl-C on the main thread.
template <class Kernel>
PyObject* read_matrix_lock_released(PyObject* object, Kernel kernel) {
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    OutputMatrix matrix;
    std::exception_ptr failure;
    {
        ReleaseGil unlocked;
        SignalScope signals(unlocked);
        // Nothing but a thread's forced unwind may leave this block by
        // exception: the lock must be back before a failure is turned into a
        // Python exception.
        try {
            matrix = std::visit(
                [&](const auto& cubes) {
                    using C = typename std::decay_t<decltype(cubes)>::value_type;
                    return kernel(std::span<const C>(cubes));
                },
                self->storage);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) {
        return guarded([&]() -> PyObject* { std::rethrow_exception(failure); });
    }
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
// The solver: minutes of search for a large batch, so it runs on a thread of
// its own while the calling thread looks for signals every SIGNAL_POLL, with
// the interpreter lock taken only for that look.

constexpr auto SIGNAL_POLL = std::chrono::milliseconds(20);
constexpr unsigned MAX_SOLUTION_LENGTH = 40;

// The search thread, told to stop and joined on every way out of the frame,
// including the forced unwind of a thread that the interpreter ends while
// it waits for the lock.
class SearchThread {
public:
    template <class F>
    explicit SearchThread(F body)
        : thread_([this, body = std::move(body)]() mutable {
              try {
                  body(stop_);
              } catch (...) {
                  failure_ = std::current_exception();
              }
              std::lock_guard lock(mutex_);
              done_ = true;
              finished_.notify_all();
          }) {}
    SearchThread(const SearchThread&) = delete;
    SearchThread& operator=(const SearchThread&) = delete;
    ~SearchThread() {
        stop_.store(true);
        thread_.join();
    }

    // True once the body has returned; false after `wait` without that.
    bool wait_for(std::chrono::milliseconds wait) {
        std::unique_lock lock(mutex_);
        return finished_.wait_for(lock, wait, [this] { return done_; });
    }
    void stop() noexcept { stop_.store(true); }
    std::exception_ptr failure() const noexcept { return failure_; }

private:
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    std::exception_ptr failure_;
    std::thread thread_;  // last: starts once the rest exists
};

// Solves `cubes` with the interpreter lock released; nullptr with the
// signal handler's exception (KeyboardInterrupt) when one raised meanwhile.
// Not noexcept, and nothing here swallows a forced unwind.
PyObject* solve_lock_released(std::span<const Cube3x3> cubes, const SolveOptions& base) {
    std::vector<SolveResult> results;
    bool interrupted = false;
    std::exception_ptr failure;
    {
        SearchThread search([&](const std::atomic<bool>& stop) {
            SolveOptions options = base;
            options.stop = &stop;
            results = solve_batch_two_phase(cubes, options);
        });
        ReleaseGil unlocked;
        while (!search.wait_for(SIGNAL_POLL)) {
            PyGILState_STATE state = PyGILState_Ensure();
            interrupted = PyErr_CheckSignals() != 0;
            PyGILState_Release(state);
            if (interrupted) {
                search.stop();
                break;
            }
        }
        while (!search.wait_for(SIGNAL_POLL)) {
        }
        failure = search.failure();
    }
    if (interrupted) return nullptr;
    return guarded([&]() -> PyObject* {
        if (failure) std::rethrow_exception(failure);
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
    PySharedHold hold(self->borrow);
    if (!hold) return nullptr;
    const auto* cubes = std::get_if<std::vector<Cube3x3>>(&self->storage);
    if (cubes == nullptr) {
        PyErr_SetString(PyExc_TypeError, "solve() is not available for 2x2 batches yet");
        return nullptr;
    }
    return solve_lock_released(std::span<const Cube3x3>(*cubes), options);
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
    {"solve", TWIRLKIT_FASTCALL(&CubeBatch_solve), METH_FASTCALL | METH_KEYWORDS,
     "solve($self, *, max_length=21, timeout=1.0)\n--\n\n"
     "Return one solution per cube, as move text for do_moves.\n\n"
     "3x3 cubes are solved by the two-phase method on the worker pool, the\n"
     "interpreter lock released. The search keeps looking for shorter\n"
     "solutions for a while after finding one of at most `max_length` face\n"
     "turns (a half turn counts one). A cube that finds none that short\n"
     "within `timeout` seconds gets the shortest found. The tables the search\n"
     "needs are built on first use (about a second) and cached on disk."},
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
