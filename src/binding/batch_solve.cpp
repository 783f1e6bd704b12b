// CubeBatch: exact 2x2 distances and solutions of both sizes.
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
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    const StateVector<Cube2x2>* cubes = cubes_2x2(self, "distances");
    if (cubes == nullptr) return nullptr;
    std::int8_t* data = nullptr;
    OwnedRef array(new_int8_vector(cubes->size(), data));
    if (!array) return nullptr;
    if (auto failure = run_lock_released(hold, [&] { distances_2x2_internal(*cubes, data); })) {
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
PyObject* solve_2x2(const PyForkSafeSharedHold& hold, const StateVector<Cube2x2>& cubes) {
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

// The keywords of solve(). An int beyond the longest solution means no
// limit, as does an infinite timeout.
bool read_solve_options(PyObject* max_length, PyObject* timeout, SolveOptions& options) noexcept {
    if (max_length != nullptr) {
        std::int64_t value = 0;
        if (!convert_saturated_i64(max_length, "max_length", value)) return false;
        if (value < 0) {
            PyErr_SetString(PyExc_ValueError, "max_length must not be negative");
            return false;
        }
        options.max_length = static_cast<unsigned>(std::min<std::int64_t>(value, MAX_SOLUTION_LENGTH));
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
    static constexpr std::array<const char*, 3> names{"max_length", "timeout", "max_nodes"};
    std::array<PyObject*, 3> given;
    if (!match_keyword_only("solve", args, nargs, kwnames, names, given)) return nullptr;
    SolveOptions options;
    if (!read_solve_options(given[0], given[1], options) || !read_max_nodes(given[2], options)) {
        return nullptr;
    }
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    // A 2x2 solution is always an optimal one, read from the distance table
    // without a search: the keywords are checked, and nothing more.
    if (const auto* cubes = std::get_if<StateVector<Cube2x2>>(&self->storage)) {
        return solve_2x2(hold, *cubes);
    }
    return solve_3x3(hold, std::get<StateVector<Cube3x3>>(self->storage), options);
}
}  // namespace

PyMethodDef CubeBatch_solve_methods[] = {
    {"distances", CubeBatch_distances, METH_NOARGS,
     "distances($self)\n--\n\n"
     "Return the distance of every 2x2 cube to the solved state.\n\n"
     "The exact number of quarter turns (all twelve moves) to solved, from a table\n"
     "of all 88,179,840 positions that the first call builds (44 MB, kept for the\n"
     "life of the process). Returns a NumPy int8 array with shape (len(self),).\n"
     "Raises TypeError on a batch of 3x3 cubes."},
    {"solve", TWIRLKIT_FASTCALL(&CubeBatch_solve), METH_FASTCALL | METH_KEYWORDS,
     "solve($self, *, max_length=" TWIRLKIT_STRINGIFY(TWIRLKIT_DEFAULT_MAX_LENGTH)
     ", timeout=1.0, max_nodes=None)\n--\n\n"
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
     "either ends the search before any solution raises TimeoutError."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace twirlkit
