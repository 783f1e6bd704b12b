// CubeBatch: data for learning. Seeded random states and walks, whole move
// sequences in either metric, and the module attribute move_names.
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
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace twirlkit

