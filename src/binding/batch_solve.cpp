// CubeBatch: exact 2x2 distances and solutions of both sizes, to solved or
// to a target batch, as move text or as move arrays.
#include <cxxabi.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
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
#include "kernels/algebra_kernels.hpp"
#include "model/algebra.hpp"
#include "runtime/buffer_cache.hpp"
#include "runtime/output_buffer.hpp"
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
#include "binding/batch_arguments.hpp"
#include "binding/batch_object.hpp"

namespace twirlkit {

namespace {

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

// ---------------------------------------------------------------------------
// Targets. Moves m take cube x to cube t exactly when they solve
// compose(inverse(t), x) (relative_to_goals), so every call with a target
// solves, or measures, those states instead.

// The `target` keyword: absent or None for solved, else a batch of the
// caller's cube type with as many cubes or one, held for the call. Its
// errors are worded as compose() words those of `other`.
class Target {
public:
    // Call under a hold of `self`. False with TypeError or ValueError set.
    bool read(CubeBatchObject* self, PyObject* object) noexcept {
        if (object == nullptr || object == Py_None) return true;
        if (!is_batch(object)) {
            PyErr_Format(PyExc_TypeError, "argument 'target' must be CubeBatch or None, not '%s'",
                         Py_TYPE(object)->tp_name);
            return false;
        }
        if (!check_other("target", self, object)) return false;
        CubeBatchObject* target = as_batch(object);
        hold_.emplace(target->borrow);
        if (!*hold_) return false;
        if (!check_length("target", batch_size(target), batch_size(self), true)) return false;
        batch_ = target;
        return true;
    }

    // The states to solve for moves that take `cubes` (the caller's) to the
    // target: `cubes` themselves for solved, else the relative states, made
    // in `storage` with the lock released. False with the exception set.
    template <PackedCube C>
    bool relative(const PyForkSafeSharedHold& hold, std::span<const C> cubes,
                  StateVector<C>& storage, std::span<const C>& out) const {
        if (batch_ == nullptr) {
            out = cubes;
            return true;
        }
        const std::span<const C> goals(std::get<StateVector<C>>(batch_->storage));
        if (!lock_released(hold, [&] {
                storage = StateVector<C>(cubes.size());
                relative_to_goals(cubes, goals, storage.data());
            })) {
            return false;
        }
        out = std::span<const C>(storage);
        return true;
    }

private:
    CubeBatchObject* batch_ = nullptr;
    std::optional<PyForkSafeSharedHold> hold_;
};

// solve(hold, states) under a shared hold of the batch, with the states to
// solve for moves that take its cubes to those of the `target` argument.
template <class Solve>
PyObject* solve_toward(PyObject* object, PyObject* target_argument, Solve solve) {
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    Target target;
    if (!target.read(self, target_argument)) return nullptr;
    return with_cubes(self, [&]<class C>(std::span<const C> cubes) -> PyObject* {
        StateVector<C> storage;
        std::span<const C> relative;
        if (!target.relative(hold, cubes, storage, relative)) return nullptr;
        return solve(hold, relative);
    });
}

PyObject* CubeBatch_distances(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names{"target"};
    std::array<PyObject*, 1> given;
    if (!match_keyword_only("distances", args, nargs, kwnames, names, given)) return nullptr;
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    const StateVector<Cube2x2>* cubes = cubes_2x2(self, "distances");
    if (cubes == nullptr) return nullptr;
    Target target;
    if (!target.read(self, given[0])) return nullptr;
    StateVector<Cube2x2> storage;
    std::span<const Cube2x2> relative;
    if (!target.relative(hold, std::span<const Cube2x2>(*cubes), storage, relative)) return nullptr;
    std::int8_t* data = nullptr;
    OwnedRef array(new_int8_vector(relative.size(), data));
    if (!array) return nullptr;
    if (auto failure = run_lock_released(hold, [&] { distances_2x2_internal(relative, data); })) {
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
PyObject* solve_2x2(const PyForkSafeSharedHold& hold, std::span<const Cube2x2> cubes) {
    Solutions2x2 solutions;
    if (auto failure = run_lock_released(hold, [&] { solutions = solve_2x2_internal(cubes); })) {
        return raise_distance_failure(failure);
    }
    return solutions_to_list(solutions);
}

// The 3x3 solver: up to minutes of search for a large batch, on the pool
// with the lock released; the search answers Ctrl-C at its cancellation
// points.

// A max_length past the longest solution the search gives changes nothing.
constexpr unsigned MAX_SOLUTION_LENGTH = MAX_SOLUTION_TURNS;

// Not noexcept: see ReleaseGil.
PyObject* solve_3x3(const PyForkSafeSharedHold& hold, std::span<const Cube3x3> cubes,
                    const SolveOptions& options) {
    std::vector<SolveResult> results;
    if (!ready_solver_tables_3x3(cubes)) return nullptr;
    if (!lock_released(hold, [&] { results = solve_batch_two_phase(cubes, options); })) return nullptr;
    // No text stands for "no solution": "" would say the cube is solved.
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (results[i].found) continue;
        if (results[i].nodes >= options.max_nodes) {
            PyErr_Format(PyExc_TimeoutError, "no solution found for cube %zu within max_nodes=%llu",
                         i, static_cast<unsigned long long>(options.max_nodes));
        } else {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%g", options.timeout);
            PyErr_Format(PyExc_TimeoutError, "no solution found for cube %zu within timeout=%s",
                         i, seconds);
        }
        return nullptr;
    }
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

// A max_length, at most `limit`: an int beyond it changes nothing.
bool read_max_length(PyObject* max_length, unsigned limit, unsigned& out) noexcept {
    std::int64_t value = 0;
    if (!convert_saturated_i64(max_length, "max_length", value)) return false;
    if (value < 0) {
        PyErr_SetString(PyExc_ValueError, "max_length must not be negative");
        return false;
    }
    out = static_cast<unsigned>(std::min<std::int64_t>(value, limit));
    return true;
}

// The keywords of solve(). An int beyond the longest solution means no
// limit, as does an infinite timeout.
bool read_solve_options(PyObject* max_length, PyObject* timeout, SolveOptions& options) noexcept {
    if (max_length != nullptr && !read_max_length(max_length, MAX_SOLUTION_LENGTH, options.max_length)) {
        return false;
    }
    if (timeout != nullptr) {
        double value = 0.0;
        if (!convert_f64(timeout, "timeout", value)) return false;
        if (!(value > 0.0)) {
            PyErr_SetString(PyExc_ValueError, "timeout must be a positive number of seconds");
            return false;
        }
        options.timeout = value;
    }
    return true;
}

// None, or a positive int; past 2**63 as good as None.
bool read_max_nodes(PyObject* max_nodes, SolveOptions& options) noexcept {
    if (max_nodes == nullptr || max_nodes == Py_None) return true;
    if (!PyLong_Check(max_nodes) || PyBool_Check(max_nodes)) {
        raise_conversion_error(max_nodes, "int or None", "max_nodes");
        return false;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(max_nodes, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && value <= 0)) {
        PyErr_SetString(PyExc_ValueError, "max_nodes must be a positive int or None");
        return false;
    }
    options.max_nodes = overflow > 0 ? NO_NODE_LIMIT : static_cast<std::uint64_t>(value);
    return true;
}

PyObject* CubeBatch_solve(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    static constexpr std::array<const char*, 4> names{"max_length", "timeout", "max_nodes", "target"};
    std::array<PyObject*, 4> given;
    if (!match_keyword_only("solve", args, nargs, kwnames, names, given)) return nullptr;
    SolveOptions options;
    if (!read_solve_options(given[0], given[1], options) || !read_max_nodes(given[2], options)) {
        return nullptr;
    }
    return solve_toward(object, given[3], [&]<class C>(const PyForkSafeSharedHold& hold,
                                                        std::span<const C> cubes) -> PyObject* {
        // A 2x2 solution is always an optimal one, read from the distance
        // table without a search: the keywords are checked, and nothing more.
        if constexpr (std::is_same_v<C, Cube2x2>) {
            return solve_2x2(hold, cubes);
        } else {
            return solve_3x3(hold, cubes, options);
        }
    });
}

// ---------------------------------------------------------------------------
// solutions(): moves as an array, lengths with -1 for none within the bound.

// The no-move pads rows and fills those of cubes with no solution.
struct SolutionArrays {
    OutputBuffer moves;    // uint8 (n, longest)
    OutputBuffer lengths;  // int16 (n,)
};

// The arrays for `count` cubes, with the lock released: `length(i)` gives
// the length of cube i's solution, or -1 for none, and `write(i, out)`
// writes it. The array has as many columns as the longest.
template <class Length, class Write>
bool fill_solution_arrays(const PyForkSafeSharedHold& hold, std::size_t count, Metric metric,
                          Length length, Write write, SolutionArrays& out) {
    return lock_released(hold, [&] {
        const MatrixShape rows = checked_output_shape(count, 1, 1, element_size(Element::int16));
        out.lengths = OutputBuffer::allocate(rows.rows, rows.cols, Element::int16);
        auto* lengths = static_cast<std::int16_t*>(out.lengths.data());
        std::size_t longest = 0;
        for (std::size_t i = 0; i < count; ++i) {
            lengths[i] = length(i);
            if (lengths[i] > 0) longest = std::max(longest, static_cast<std::size_t>(lengths[i]));
        }
        const MatrixShape shape = checked_output_shape(count, 1, longest, element_size(Element::uint8));
        out.moves = OutputBuffer::allocate(shape.rows, shape.cols, Element::uint8);
        auto* moves = static_cast<std::uint8_t*>(out.moves.data());
        const auto none = static_cast<std::uint8_t>(move_count(metric));
        for (std::size_t i = 0; i < count; ++i) {
            std::uint8_t* row = moves + i * longest;
            std::size_t written = 0;
            if (lengths[i] > 0) {
                write(i, row);
                written = static_cast<std::size_t>(lengths[i]);
            }
            std::fill(row + written, row + longest, none);
        }
    });
}

PyObject* solution_tuple(SolutionArrays&& arrays) {
    OwnedRef moves(buffer_to_ndarray(std::move(arrays.moves), 2));
    if (!moves) return nullptr;
    OwnedRef lengths(buffer_to_ndarray(std::move(arrays.lengths), 1));
    if (!lengths) return nullptr;
    return PyTuple_Pack(2, moves.get(), lengths.get());
}

// Optimal in `metric`, from its distance table; none longer than
// `max_length` when one is given.
PyObject* solutions_2x2(const PyForkSafeSharedHold& hold, std::span<const Cube2x2> cubes,
                        Metric metric, std::optional<unsigned> max_length) {
    Solutions2x2 found;
    if (auto failure = run_lock_released(hold, [&] { found = solve_2x2_internal(cubes, metric); })) {
        return raise_distance_failure(failure);
    }
    const auto length = [&](std::size_t i) -> std::int16_t {
        if (max_length && found.lengths[i] > *max_length) return -1;
        return found.lengths[i];
    };
    const auto write = [&](std::size_t i, std::uint8_t* out) {
        std::copy_n(found.moves.data() + i * MAX_SOLUTION_2X2, found.lengths[i], out);
    };
    SolutionArrays arrays;
    if (!fill_solution_arrays(hold, cubes.size(), metric, length, write, arrays)) return nullptr;
    return solution_tuple(std::move(arrays));
}

// The most moves of `metric` in a solution the 3x3 search gives, and so in
// any solution either size gets: a half turn is two quarter turns.
constexpr unsigned longest_solution(Metric metric) noexcept {
    return metric == Metric::qtm ? 2 * MAX_SOLUTION_TURNS : MAX_SOLUTION_TURNS;
}
static_assert(MAX_SOLUTION_2X2 <= MAX_SOLUTION_TURNS);

// Two-phase, as solve() searches, with the length counted in
// options.metric; face turns come out as moves of `metric`.
PyObject* solutions_3x3(const PyForkSafeSharedHold& hold, std::span<const Cube3x3> cubes,
                        Metric metric, const SolveOptions& options) {
    std::vector<SolveResult> results;
    if (!ready_solver_tables_3x3(cubes)) return nullptr;
    if (!lock_released(hold, [&] { results = solve_batch_two_phase(cubes, options); })) return nullptr;
    const auto length = [&](std::size_t i) -> std::int16_t {
        if (!results[i].within_max_length) return -1;
        return static_cast<std::int16_t>(length_in(metric, results[i].turns));
    };
    const auto write = [&](std::size_t i, std::uint8_t* out) {
        for (const FaceTurn turn : results[i].turns) {
            if (metric == Metric::htm) {
                *out++ = turn;
                continue;
            }
            for (unsigned k = 0; k < quarter_count(turn); ++k) {
                *out++ = static_cast<std::uint8_t>(quarter_of(turn));
            }
        }
    };
    SolutionArrays arrays;
    if (!fill_solution_arrays(hold, cubes.size(), metric, length, write, arrays)) return nullptr;
    return solution_tuple(std::move(arrays));
}

PyObject* CubeBatch_solutions(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static constexpr std::array<const char*, 4> names{"target", "metric", "max_length", "timeout"};
    std::array<PyObject*, 4> given;
    if (!match_keyword_only("solutions", args, nargs, kwnames, names, given)) return nullptr;
    Metric metric = Metric::qtm;
    if (!convert_metric(given[1], metric)) return nullptr;
    // A hard bound, in moves of the metric; none past the longest solution
    // of either size in it.
    std::optional<unsigned> max_length;
    if (given[2] != nullptr && given[2] != Py_None) {
        if (!read_max_length(given[2], longest_solution(metric), max_length.emplace())) return nullptr;
    }
    SolveOptions options;
    if (!read_solve_options(nullptr, given[3], options)) return nullptr;
    // Without a bound the search is solve()'s, bound in face turns.
    if (max_length) {
        options.max_length = *max_length;
        options.metric = metric;
    }
    return solve_toward(object, given[0], [&]<class C>(const PyForkSafeSharedHold& hold,
                                                        std::span<const C> cubes) -> PyObject* {
        if constexpr (std::is_same_v<C, Cube2x2>) {
            return solutions_2x2(hold, cubes, metric, max_length);
        } else {
            return solutions_3x3(hold, cubes, metric, options);
        }
    });
}
}  // namespace

PyMethodDef CubeBatch_solve_methods[] = {
    {"distances", TWIRLKIT_FASTCALL(&CubeBatch_distances), METH_FASTCALL | METH_KEYWORDS,
     "distances($self, *, target=None)\n--\n\n"
     "Return the distance of every 2x2 cube to the solved state.\n\n"
     "The exact number of quarter turns (all twelve moves) to solved, from a table\n"
     "of all 88,179,840 positions that the first call builds (44 MB, kept for the\n"
     "life of the process). Returns a NumPy int8 array with shape (len(self),).\n"
     "Raises TypeError on a batch of 3x3 cubes.\n\n"
     "`target`, a batch of 2x2 cubes holding len(self) cubes or one, measures\n"
     "to target[i] (or its one cube) instead: the fewest quarter turns that take\n"
     "cube i there. None is the solved cube."},
    {"solve", TWIRLKIT_FASTCALL(&CubeBatch_solve), METH_FASTCALL | METH_KEYWORDS,
     "solve($self, *, max_length=" TWIRLKIT_STRINGIFY(TWIRLKIT_DEFAULT_MAX_LENGTH)
     ", timeout=1.0, max_nodes=None, target=None)\n--\n\n"
     "Return a solution for every cube, as move text.\n\n"
     "Returns a list of str, one per cube; do_moves with it solves the cube.\n\n"
     "For a 2x2 batch each solution is a shortest one and uses the quarter-turn\n"
     "tokens U, U', D, D', R, R', L, L', F, F', B and B', so its token count is\n"
     "the cube's distance. Among the shortest, each step takes the first move in\n"
     "move-index order that lowers the distance. The keywords are checked and\n"
     "otherwise not needed.\n\n"
     "For a 3x3 batch the two-phase method searches on the worker pool, the\n"
     "interpreter lock released, with the tokens U, U2, U' and so on. It keeps\n"
     "looking for shorter solutions for a while after finding one of at most\n"
     "`max_length` face turns (a half turn counts one). A cube that finds none\n"
     "that short within `timeout` seconds of search (the CPU time of its worker)\n"
     "gets the shortest found. The tables of the search are built on first use\n"
     "(seconds) and cached on disk.\n\n"
     "`max_nodes` (a positive int, or None for no limit) caps the search nodes\n"
     "per cube. A result bound by it is the same on every run and any number of\n"
     "workers; one bound by `timeout` depends on the machine. A cube for which\n"
     "either ends the search before any solution raises TimeoutError.\n\n"
     "`target`, a batch of the same cube type holding len(self) cubes or one,\n"
     "asks for moves that take cube i to target[i] (or to its one cube) instead\n"
     "of to solved, with everything above unchanged; None is the solved cube."},
    {"solutions", TWIRLKIT_FASTCALL(&CubeBatch_solutions), METH_FASTCALL | METH_KEYWORDS,
     "solutions($self, *, target=None, metric='qtm', max_length=None, timeout=1.0)\n--\n\n"
     "Return (moves, lengths): a solution of every cube as move indexes.\n\n"
     "`moves` is a NumPy uint8 array of shape (len(self), longest), row i the\n"
     "solution of cube i in moves of `metric` ('qtm', the twelve quarter turns,\n"
     "or 'htm', the eighteen face turns), padded with the no-move (12 or 18), so\n"
     "apply(moves, metric=metric) solves the batch. `lengths` is an int16 array\n"
     "of the solution lengths, -1 for a cube with none of at most `max_length`\n"
     "moves found within `timeout`; its row is all no-moves. With `target` (as\n"
     "for solve()) the moves take cube i to target[i] instead.\n\n"
     "`max_length` is a hard bound in moves of `metric`. For a 2x2 batch the\n"
     "solutions are shortest ones in `metric`, and None gives them whatever\n"
     "their length. For a 3x3 batch the search is solve()'s two-phase one, with\n"
     "the lengths in `metric` (a half turn counts two in 'qtm'); None bounds it\n"
     "by solve()'s default of " TWIRLKIT_STRINGIFY(TWIRLKIT_DEFAULT_MAX_LENGTH)
     " face turns. `timeout` is the CPU seconds of\n"
     "search a cube, as for solve()."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace twirlkit
