// CubeBatch: data for learning. Seeded random states and walks, the state
// algebra, whole move sequences in either metric, copies and writes, and
// the module attribute move_names.
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

bool convert_metric(PyObject* object, Metric& out) noexcept {
    if (object == nullptr) return true;
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "argument 'metric' must be 'qtm' or 'htm', not '%s'",
                     Py_TYPE(object)->tp_name);
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(object, "qtm") == 0) {
        out = Metric::qtm;
    } else if (PyUnicode_CompareWithASCIIString(object, "htm") == 0) {
        out = Metric::htm;
    } else {
        PyErr_Format(PyExc_ValueError, "argument 'metric' must be 'qtm' or 'htm', not %R", object);
        return false;
    }
    return true;
}

// match_arguments where only the first `positional` names may be given by
// position and the rest are keyword-only.
bool match_some_keyword_only(const char* function, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, std::span<const char* const> names,
                             std::size_t positional, std::size_t required,
                             std::span<PyObject*> out) noexcept {
    if (static_cast<std::size_t>(nargs) > positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)",
                     function, positional, positional == 1 ? "" : "s", nargs);
        return false;
    }
    return match_arguments(function, args, nargs, kwnames, names, required, out);
}

bool check_length(const char* parameter, std::size_t given, std::size_t n, bool one_ok) noexcept {
    if (given == n || (one_ok && given == 1)) return true;
    if (one_ok) {
        PyErr_Format(PyExc_ValueError, "argument '%s' must hold %zu cubes or 1, not %zu", parameter,
                     n, given);
    } else {
        PyErr_Format(PyExc_ValueError, "argument '%s' must hold %zu cubes, not %zu", parameter, n,
                     given);
    }
    return false;
}

OwnedRef numpy_attribute(const char* dotted_module, const char* name) noexcept {
    OwnedRef module(PyImport_ImportModule(dotted_module));
    if (!module) return module;
    return OwnedRef(PyObject_GetAttrString(module.get(), name));
}

namespace {

// ---------------------------------------------------------------------------
// Arguments


// The seed of a seeded call: nullopt for None (or absent), an int with
// 0 <= seed < 2**64, or one 64-bit draw of a numpy.random.Generator,
// gen.integers(0, 2**64, dtype=numpy.uint64).
bool convert_seed(PyObject* object, std::optional<std::uint64_t>& out) {
    out.reset();
    if (object == nullptr || object == Py_None) return true;
    OwnedRef drawn;
    if (!PyIndex_Check(object)) {
        OwnedRef generator = numpy_attribute("numpy.random", "Generator");
        if (!generator) return false;
        const int is_generator = PyObject_IsInstance(object, generator.get());
        if (is_generator < 0) return false;
        if (is_generator == 0) {
            PyErr_Format(PyExc_TypeError,
                         "argument 'seed' must be None, an int or a numpy.random.Generator, not '%s'",
                         Py_TYPE(object)->tp_name);
            return false;
        }
        OwnedRef uint64 = numpy_attribute("numpy", "uint64");
        if (!uint64) return false;
        OwnedRef method(PyObject_GetAttrString(object, "integers"));
        OwnedRef low(PyLong_FromLong(0));
        OwnedRef high(PyLong_FromUnsignedLongLong(std::numeric_limits<std::uint64_t>::max()));
        if (!method || !low || !high) return false;
        OwnedRef bound(PyNumber_Add(high.get(), OwnedRef(PyLong_FromLong(1)).get()));
        if (!bound) return false;
        OwnedRef call_args(PyTuple_Pack(2, low.get(), bound.get()));
        OwnedRef call_kwargs(PyDict_New());
        if (!call_args || !call_kwargs ||
            PyDict_SetItemString(call_kwargs.get(), "dtype", uint64.get()) < 0) {
            return false;
        }
        drawn = OwnedRef(PyObject_Call(method.get(), call_args.get(), call_kwargs.get()));
        if (!drawn) return false;
        object = drawn.get();
    }
    OwnedRef index(PyNumber_Index(object));
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "argument 'seed' must satisfy 0 <= seed < 2**64, not %R",
                     index.get());
        return false;
    }
    out = value;
    return true;
}

// An integer array-like of one or two dimensions (or, where `scalar_ok`,
// none), read in place in its own element type.
struct IntArray {
    IntegerRead read;
    std::int64_t scalar = 0;
    std::size_t rows = 0;
    std::size_t cols = 0;
    int ndim = 0;

    // Calls f(i, value) for the elements in row-major order until f returns
    // false. Each element of the caller's array is read exactly once, staged
    // into memory of this call's a few rows at a time, and only the copy is
    // checked and used; uint64 values above int64's range arrive as its top.
    template <class F>
    void for_each(F&& f) const {
        if (ndim == 0) {
            f(std::size_t{0}, scalar);
            return;
        }
        if (rows == 0 || cols == 0) return;
        const CallerIntegers& m = read.elements;
        with_integer_type(m.type, [&](auto zero) {
            using S = decltype(zero);
            const std::size_t step = std::max<std::size_t>(1, 4096 / cols);
            std::vector<S> stage(std::min(rows, step) * cols);
            for (std::size_t base = 0; base < rows; base += step) {
                const std::size_t stop = std::min(rows, base + step);
                copy_typed_rows_in<S>(m, base, stop, stage.data());
                for (std::size_t k = 0; k < (stop - base) * cols; ++k) {
                    if (!f(base * cols + k, clamp(stage[k]))) return;
                }
            }
        });
    }

private:
    template <class T>
    static std::int64_t clamp(T v) noexcept {
        if constexpr (std::is_same_v<T, std::uint64_t>) {
            constexpr auto top = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
            return static_cast<std::int64_t>(v > top ? top : v);
        } else {
            return static_cast<std::int64_t>(v);
        }
    }
};

bool read_int_array(PyObject* object, const char* parameter, bool scalar_ok, IntArray& out) {
    OwnedRef asarray = numpy_attribute("numpy", "asarray");
    if (!asarray) return false;
    OwnedRef array(PyObject_CallOneArg(asarray.get(), object));
    if (!array) return false;
    OwnedRef ndim_object(PyObject_GetAttrString(array.get(), "ndim"));
    if (!ndim_object) return false;
    const long ndim = PyLong_AsLong(ndim_object.get());
    if (ndim == -1 && PyErr_Occurred()) return false;
    if (ndim == 0 && scalar_ok) {
        if (!convert_i64(object, parameter, out.scalar)) return false;
        out.rows = out.cols = 1;
        out.ndim = 0;
        return true;
    }
    if (ndim != 1 && (ndim != 2 || scalar_ok)) {
        PyErr_Format(PyExc_ValueError, "argument '%s' must have %s dimensions, not %ld", parameter,
                     scalar_ok ? "0 or 1" : "1 or 2", ndim);
        return false;
    }
    if (ndim == 1) {
        if (!read_integer_vector(array.get(), parameter, out.read)) return false;
    } else {
        OwnedRef shape(PyObject_GetAttrString(array.get(), "shape"));
        if (!shape) return false;
        const Py_ssize_t cols = PyLong_AsSsize_t(PyTuple_GetItem(shape.get(), 1));
        if (cols < 0) return false;
        if (!read_integer_matrix(array.get(), parameter, static_cast<std::size_t>(cols), out.read)) {
            return false;
        }
        // Rows of no moves are still rows: the reader counts an empty array
        // as none.
        const Py_ssize_t rows = PyLong_AsSsize_t(PyTuple_GetItem(shape.get(), 0));
        if (rows < 0) return false;
        out.rows = static_cast<std::size_t>(rows);
        out.cols = static_cast<std::size_t>(cols);
        out.ndim = 2;
        return true;
    }
    out.rows = out.read.elements.rows;
    out.cols = out.read.elements.cols;
    out.ndim = static_cast<int>(ndim);
    return true;
}


template <class C>
std::span<const C> cubes_of(CubeBatchObject* batch) noexcept {
    return std::span<const C>(std::get<StateVector<C>>(batch->storage));
}

// ---------------------------------------------------------------------------
// Seeded random states and walks

struct WalkArguments {
    std::optional<std::uint64_t> seed;
    WalkOptions options;
};

bool convert_walk_arguments(PyObject* seed, PyObject* non_backtracking, PyObject* metric,
                            WalkArguments& out) {
    return convert_seed(seed, out.seed) && convert_flag(non_backtracking, out.options.non_backtracking) &&
           convert_metric(metric, out.options.metric);
}

// The key of a call: the seed's, or one from the entropy source. Runs with
// the lock released (an entropy failure throws).
ChaCha8::Key key_of(const WalkArguments& arguments) {
    return arguments.seed ? seed_key(*arguments.seed) : entropy_key();
}

PyObject* CubeBatch_random(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 6> names{"n", "cube_type", "scramble_lengths",
                                                      "seed", "non_backtracking", "metric"};
    std::array<PyObject*, 6> given;
    if (!match_some_keyword_only("random", args, nargs, kwnames, names, 3, 2, given)) return nullptr;
    std::uint32_t count = 0;
    std::uint32_t cube_type_number = 0;
    if (!convert_u32(given[0], "n", count)) return nullptr;
    if (!convert_cube_type(given[1], cube_type_number)) return nullptr;
    IntArray lengths;
    lengths.scalar = 20;
    if (given[2] != nullptr && !read_int_array(given[2], "scramble_lengths", true, lengths)) {
        return nullptr;
    }
    if (lengths.ndim == 1 && lengths.rows != count) {
        PyErr_Format(PyExc_ValueError, "argument 'scramble_lengths' must hold %u lengths, not %zu",
                     count, lengths.rows);
        return nullptr;
    }
    std::vector<std::int64_t> each_length;
    if (lengths.ndim == 1 && !guarded(
                                 [&] {
                                     each_length.resize(lengths.rows);
                                     return true;
                                 },
                                 false)) {
        return nullptr;
    }
    std::optional<std::size_t> negative;
    lengths.for_each([&](std::size_t i, std::int64_t value) {
        if (value < 0) {
            negative = i;
            return false;
        }
        if (lengths.ndim == 1) each_length[i] = value;
        return true;
    });
    if (negative) {
        if (lengths.ndim == 0) {
            PyErr_SetString(PyExc_ValueError, "argument 'scramble_lengths' must not be negative");
        } else {
            PyErr_Format(PyExc_ValueError, "argument 'scramble_lengths' is negative at index %zu", *negative);
        }
        return nullptr;
    }
    WalkArguments walk;
    if (!convert_walk_arguments(given[3], given[4], given[5], walk)) return nullptr;
    const WalkLengths each = lengths.ndim == 0 ? WalkLengths{nullptr, lengths.scalar}
                                               : WalkLengths{each_length.data(), 0};
    Storage storage;
    const bool made = cube_type_number == 2 ? make_storage<Cube2x2, false>(count, storage)
                                            : make_storage<Cube3x3, false>(count, storage);
    if (!made) return nullptr;
    if (!lock_released(HeldWhileReleased::nothing(), [&] {
            const ChaCha8::Key key = key_of(walk);
            std::visit([&](auto& cubes) { random_cubes_internal(std::span(cubes), key, each, walk.options); },
                       storage);
        })) {
        return nullptr;
    }
    return new_batch(batch_type_of(cls), std::move(storage));
}

PyObject* CubeBatch_random_walks(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    static constexpr std::array<const char*, 4> names{"length", "seed", "non_backtracking", "metric"};
    std::array<PyObject*, 4> given;
    if (!match_some_keyword_only("random_walks", args, nargs, kwnames, names, 1, 1, given)) {
        return nullptr;
    }
    std::int64_t length = 0;
    if (!convert_i64(given[0], "length", length)) return nullptr;
    if (length < 0) {
        PyErr_SetString(PyExc_ValueError, "argument 'length' must not be negative");
        return nullptr;
    }
    WalkArguments walk;
    if (!convert_walk_arguments(given[1], given[2], given[3], walk)) return nullptr;

    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    const std::size_t n = batch_size(self);
    const auto steps = static_cast<std::size_t>(length);
    std::size_t total = 0;
    if (__builtin_mul_overflow(steps, n, &total)) return raise_panic("capacity overflow");
    Storage storage;
    const bool made = std::holds_alternative<StateVector<Cube3x3>>(self->storage)
                          ? make_storage<Cube3x3, false>(total, storage)
                          : make_storage<Cube2x2, false>(total, storage);
    if (!made) return nullptr;
    OutputBuffer moves;
    if (!lock_released(hold, [&] {
            const MatrixShape checked = checked_output_shape(steps, 1, n, element_size(Element::uint8));
            moves = OutputBuffer::allocate(checked.rows, checked.cols, Element::uint8);
            const ChaCha8::Key key = key_of(walk);
            with_cubes(self, [&](auto cubes) {
                using C = typename decltype(cubes)::value_type;
                random_walks_internal(cubes, steps, key, walk.options,
                                      std::get<StateVector<C>>(storage).data(),
                                      moves.elements<std::uint8_t>());
            });
        })) {
        return nullptr;
    }
    OwnedRef move_array(buffer_to_ndarray(std::move(moves), 2));
    if (!move_array) return nullptr;
    OwnedRef walks(new_batch(Py_TYPE(object), std::move(storage)));
    if (!walks) return nullptr;
    return PyTuple_Pack(2, walks.get(), move_array.get());
}

// ---------------------------------------------------------------------------
// Whole move sequences

// The writers (apply, assign) keep a plain exclusive hold while the lock is
// released. A child forked meanwhile by another thread then finds the batch
// still held, and every use of it there raises RuntimeError: the writer's
// cubes may be half written in the child's copy, and a hold the fork handler
// dropped would let it read them.
PyObject* CubeBatch_apply(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 2> names{"moves", "metric"};
    std::array<PyObject*, 2> given;
    if (!match_some_keyword_only("apply", args, nargs, kwnames, names, 1, 1, given)) return nullptr;
    Metric metric = Metric::qtm;
    if (!convert_metric(given[1], metric)) return nullptr;
    CubeBatchObject* self = as_batch(object);
    PyExclusiveHold hold(self->borrow);
    if (!hold) return nullptr;
    IntArray moves;
    if (!read_int_array(given[0], "moves", false, moves)) return nullptr;
    const std::size_t n = batch_size(self);
    if (moves.rows != n) {
        PyErr_Format(PyExc_ValueError, "argument 'moves' must have %zu rows, one per cube, not %zu", n,
                     moves.rows);
        return nullptr;
    }
    const auto none = static_cast<std::int64_t>(move_count(metric));
    std::unique_ptr<std::uint8_t[]> sequence;
    if (!guarded(
            [&] {
                sequence.reset(new std::uint8_t[moves.rows * moves.cols]);
                return true;
            },
            false)) {
        return nullptr;
    }
    std::optional<std::pair<std::size_t, std::int64_t>> bad;
    moves.for_each([&](std::size_t i, std::int64_t m) {
        if (m < 0 || m > none) {
            bad.emplace(i, m);
            return false;
        }
        sequence[i] = static_cast<std::uint8_t>(m);
        return true;
    });
    if (bad) {
        const auto [i, m] = *bad;
        return guarded([&]() -> PyObject* {
            const std::string where = moves.ndim == 1 ? std::to_string(i)
                                                      : std::to_string(i / moves.cols) + ", " +
                                                            std::to_string(i % moves.cols);
            PyErr_Format(PyExc_ValueError,
                         "argument 'moves' holds %s at [%s]: a move of metric '%s' is 0 to %lld, "
                         "and %lld is no move",
                         m < 0 ? "a negative value" : "a value above the no-move", where.c_str(),
                         std::string(metric_name(metric)).c_str(), static_cast<long long>(none - 1),
                         static_cast<long long>(none));
            return nullptr;
        });
    }
    if (!lock_released(HeldWhileReleased::nothing(), [&] {
            std::visit(
                [&](auto& cubes) {
                    apply_sequences_internal(std::span(cubes), sequence.get(), moves.cols, metric);
                },
                self->storage);
        })) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

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

// Positions of `indices` in a batch of n: an integer array-like (negative
// values count from the end, as for take) or a boolean mask of length n.
bool read_positions(PyObject* indices, std::size_t n, std::vector<std::size_t>& positions) {
    OwnedRef asarray = numpy_attribute("numpy", "asarray");
    if (!asarray) return false;
    OwnedRef array(PyObject_CallOneArg(asarray.get(), indices));
    if (!array) return false;
    OwnedRef dtype(PyObject_GetAttrString(array.get(), "dtype"));
    if (!dtype) return false;
    OwnedRef kind(PyObject_GetAttrString(dtype.get(), "kind"));
    if (!kind) return false;
    OwnedRef source(Py_NewRef(array.get()));
    if (PyUnicode_Check(kind.get()) && PyUnicode_CompareWithASCIIString(kind.get(), "b") == 0) {
        OwnedRef ndim(PyObject_GetAttrString(array.get(), "ndim"));
        if (!ndim) return false;
        const Py_ssize_t length = PyObject_Length(array.get());
        if (length < 0 && PyErr_Occurred()) {
            PyErr_Clear();
        }
        if (PyLong_AsLong(ndim.get()) != 1 || length != static_cast<Py_ssize_t>(n)) {
            PyErr_Format(PyExc_ValueError, "a boolean mask for 'indices' must have shape (%zu,)", n);
            return false;
        }
        // numpy reads the mask once, into an index array of its own.
        OwnedRef flatnonzero = numpy_attribute("numpy", "flatnonzero");
        if (!flatnonzero) return false;
        source = OwnedRef(PyObject_CallOneArg(flatnonzero.get(), array.get()));
        if (!source) return false;
    }
    IntArray read;
    if (!read_int_array(source.get(), "indices", false, read)) return false;
    if (read.ndim != 1) {
        PyErr_SetString(PyExc_ValueError, "argument 'indices' must have 1 dimension, not 2");
        return false;
    }
    if (!guarded(
            [&] {
                positions.resize(read.rows);
                return true;
            },
            false)) {
        return false;
    }
    const auto size = static_cast<std::int64_t>(n);
    bool in_range = true;
    read.for_each([&](std::size_t k, std::int64_t value) {
        const std::int64_t index = value < 0 ? value + size : value;
        if (index < 0 || index >= size) {
            in_range = false;
            return false;
        }
        positions[k] = static_cast<std::size_t>(index);
        return true;
    });
    if (!in_range) {
        PyErr_SetString(PyExc_IndexError, BATCH_INDEX_ERROR);
        return false;
    }
    return true;
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

// ---------------------------------------------------------------------------
// move_names

PyObject* move_names(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static constexpr std::array<const char*, 1> names{"metric"};
    std::array<PyObject*, 1> given;
    if (!match_arguments("move_names", args, nargs, kwnames, names, 0, given)) return nullptr;
    Metric metric = Metric::qtm;
    if (!convert_metric(given[0], metric)) return nullptr;
    const std::size_t count = move_count(metric);
    OwnedRef list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t m = 0; m < count; ++m) {
        PyObject* token = guarded([&] {
            const std::string text = move_token(metric, m);
            return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        });
        if (token == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(m), token);
    }
    return list.release();
}

}  // namespace

bool convert_flag(PyObject* object, bool& out) noexcept {
    if (object == nullptr) return true;
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

bool is_batch(PyObject* object) noexcept {
    PyTypeObject* type = cube_batch_type();
    return type != nullptr && PyObject_TypeCheck(object, type);
}

const char* cube_name(const CubeBatchObject* batch) noexcept {
    return std::holds_alternative<StateVector<Cube3x3>>(batch->storage) ? "Cube3x3" : "Cube2x2";
}

// Another batch of the same cube type.
bool check_other(const char* parameter, CubeBatchObject* self, PyObject* other) {
    if (!is_batch(other)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be CubeBatch, not '%s'", parameter,
                     Py_TYPE(other)->tp_name);
        return false;
    }
    CubeBatchObject* batch = as_batch(other);
    if (batch->storage.index() != self->storage.index()) {
        PyErr_Format(PyExc_TypeError, "argument '%s' holds %s cubes, not the %s cubes of this batch",
                     parameter, cube_name(batch), cube_name(self));
        return false;
    }
    return true;
}

PyMethodDef move_names_def = {
    "move_names", TWIRLKIT_FASTCALL(&move_names), METH_FASTCALL | METH_KEYWORDS,
    "move_names(metric='qtm')\n--\n\n"
    "Return the move tokens of a metric in move-index order.\n\n"
    "metric='qtm' gives the twelve quarter turns, index 2 * face + primed;\n"
    "metric='htm' the eighteen face turns, index 3 * face + k (k = 0 clockwise,\n"
    "1 counter-clockwise, 2 half turn). Faces are in the order U, D, R, L, F, B,\n"
    "and every token is one that do_moves reads."};

PyMethodDef CubeBatch_data_methods[] = {
    {"random", TWIRLKIT_FASTCALL(&CubeBatch_random), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "random($type, n, cube_type, scramble_lengths=20, *, seed=None, non_backtracking=False, "
     "metric='qtm')\n--\n\n"
     "Return n cubes, each scrambled from solved by its number of random moves.\n\n"
     "`scramble_lengths` is an int or an integer array-like of n lengths.\n"
     "Moves are drawn uniformly among the moves of `metric` ('qtm' or 'htm');\n"
     "with non_backtracking=True no move undoes the move before it.\n\n"
     "`seed` is an int with 0 <= seed < 2**64 or a numpy.random.Generator\n"
     "(asked for one 64-bit integer). With a seed the result depends only on\n"
     "the seed, n, the lengths and the options, never on the number of\n"
     "workers; without one the moves come from the entropy source of\n"
     "scramble()."},
    {"random_walks", TWIRLKIT_FASTCALL(&CubeBatch_random_walks), METH_FASTCALL | METH_KEYWORDS,
     "random_walks($self, length, *, seed=None, non_backtracking=False, metric='qtm')\n--\n\n"
     "Return (walks, moves): a random walk of `length` moves from every cube.\n\n"
     "`walks` is a new CubeBatch of length * len(self) cubes; cube j * n + i\n"
     "is walk i after j + 1 moves, so block j holds the states at depth j + 1.\n"
     "`moves` is a uint8 array of shape (length, n): the move of each walk at\n"
     "each step. The batch itself is not changed. `seed`, `non_backtracking`\n"
     "and `metric` are those of CubeBatch.random(); walks from solved cubes\n"
     "end where CubeBatch.random() with the same seed and length ends."},
    {"apply", TWIRLKIT_FASTCALL(&CubeBatch_apply), METH_FASTCALL | METH_KEYWORDS,
     "apply($self, moves, *, metric='qtm')\n--\n\n"
     "Apply one move per cube, or a sequence of moves per cube, in place.\n\n"
     "`moves` is an integer array-like of shape (n,) or (n, k), rows applied\n"
     "left to right, with the move indexes of `metric` (see move_names()).\n"
     "The value equal to the number of moves (12 or 18) is no move and pads\n"
     "rows of different lengths. Any other value out of range, or a number of\n"
     "rows other than n, raises ValueError and nothing is applied."},
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
