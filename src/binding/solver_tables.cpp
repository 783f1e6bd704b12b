// The solver tables made ready ahead of a solve: build_tables(), and the
// first 3x3 solve's own build, with progress on Python's sys.stderr and a
// warning when the cache folder cannot take the file.
#include <cxxabi.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <span>
#include <string>

#include "binding/batch_object.hpp"
#include "binding/binding.hpp"
#include "binding/module_parts.hpp"
#include "search/distances2x2.hpp"
#include "search/solver3x3.hpp"

namespace twirlkit {

namespace {

// Makes the 3x3 tables ready through `directory`, with the lock released and
// Ctrl-C answered; false with the exception set. Warns once when the folder
// could not take the file. Not noexcept: see ReleaseGil.
// With `for_cubes`, only when a solve of them would read the tables: not
// when every cube is solved, nor when one cannot be solved (the solve says
// so before any search).
TWIRLKIT_PASSES_FORCED_UNWIND bool ready_3x3(const std::filesystem::path& directory,
                                             bool fill_folder, TableCache& outcome,
                                             const std::span<const Cube3x3>* for_cubes) {
    const int shown = progress_wanted();
    if (shown < 0) return false;
    std::exception_ptr failure;
    {
        ReleaseGil unlocked;
        SignalScope signals(unlocked);
        const BuildProgress progress{shown ? &write_progress : nullptr, &unlocked};
        try {
            const bool wanted =
                for_cubes == nullptr ||
                (std::all_of(for_cubes->begin(), for_cubes->end(),
                             [](const Cube3x3& c) { return is_solvable(c); }) &&
                 !std::all_of(for_cubes->begin(), for_cubes->end(),
                              [](const Cube3x3& c) { return c.is_solved(); }));
            outcome = wanted ? prepare_solver_tables(directory, progress, fill_folder)
                             : TableCache::held;
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) return guarded([&]() -> bool { std::rethrow_exception(failure); }, false);
    if (outcome != TableCache::unwritable) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "twirlkit: cannot keep the 3x3 solver tables in the cache folder %s "
                            "(it cannot be written, or other users may write to it); they stay "
                            "in memory for this process only",
                            directory.c_str()) == 0;
}

// build_tables(cube_type, *, cache_dir=None): the tables built or loaded now.
PyObject* build_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 2> names{"cube_type", "cache_dir"};
    std::array<PyObject*, 2> given;
    if (!match_arguments("build_tables", args, nargs, kwnames, names, 1, given)) return nullptr;
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "build_tables() takes 1 positional argument but %zd were given",
                     nargs);
        return nullptr;
    }
    std::uint32_t cube_type_number = 0;
    if (!convert_cube_type(given[0], cube_type_number)) return nullptr;
    std::filesystem::path directory;
    if (given[1] != nullptr && given[1] != Py_None) {
        PyObject* encoded = nullptr;
        if (PyUnicode_FSConverter(given[1], &encoded) == 0) return nullptr;
        const OwnedRef bytes(encoded);
        directory = PyBytes_AS_STRING(encoded);
        if (directory.empty()) {
            PyErr_SetString(PyExc_ValueError, "cache_dir must not be empty");
            return nullptr;
        }
    } else {
        directory = solver_cache_directory();
    }
    if (cube_type_number == 2) {
        // The 2x2 distance table is quick to build and kept in memory only.
        const std::exception_ptr failure = run_lock_released(HeldWhileReleased::nothing(), [] { (void)distances_2x2(); });
        if (failure) return guarded([&]() -> PyObject* { std::rethrow_exception(failure); });
        Py_RETURN_NONE;
    }
    TableCache outcome = TableCache::none;
    if (!ready_3x3(directory, true, outcome, nullptr)) return nullptr;
    if (outcome != TableCache::loaded && outcome != TableCache::written) Py_RETURN_NONE;
    const std::string file = (directory / SOLVER_TABLE_FILE).string();
    return PyUnicode_DecodeFSDefaultAndSize(file.data(), static_cast<Py_ssize_t>(file.size()));
}

}  // namespace

int progress_wanted() noexcept {
    const char* forced = std::getenv("TWIRLKIT_PROGRESS");
    if (forced != nullptr && std::strcmp(forced, "1") == 0) return 1;
    PyObject* stream = PySys_GetObject("stderr");  // borrowed
    if (stream == nullptr || stream == Py_None) return 0;
    OwnedRef answer(PyObject_CallMethod(stream, "isatty", nullptr));
    if (!answer) {
        // A stream without isatty is not a terminal.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return PyObject_IsTrue(answer.get());
}

void write_progress(void* unlocked, const char* text) {
    static_cast<ReleaseGil*>(unlocked)->with_lock([text] { PySys_WriteStderr("%s", text); });
}

bool ready_solver_tables_3x3(std::span<const Cube3x3> cubes) {
    TableCache outcome = TableCache::none;
    return ready_3x3(solver_cache_directory(), false, outcome, &cubes);
}

PyMethodDef build_tables_def = {
    "build_tables", TWIRLKIT_FASTCALL(&build_tables), METH_FASTCALL | METH_KEYWORDS,
    "build_tables(cube_type, *, cache_dir=None)\n--\n\n"
    "Build or load the solver tables now, ahead of the first solve.\n\n"
    "For cube_type 3 the tables are read from the cache file in the folder,\n"
    "or built (about 10 s, on the worker pool) and written there, and kept\n"
    "for the process; returns the path of the cache file. The folder is\n"
    "cache_dir, else $TWIRLKIT_CACHE_DIR, else $XDG_CACHE_HOME/twirlkit, else\n"
    "~/.cache/twirlkit. Tables already held are written to a folder that\n"
    "lacks the file. A folder that cannot be written, or that is not the\n"
    "user's own or that other users may write to, is not used: a\n"
    "RuntimeWarning names it, the tables stay in memory for the process,\n"
    "and the result is None. It is None too with no folder at all (no\n"
    "HOME).\n\n"
    "For cube_type 2 it builds the distance table, which is kept in memory\n"
    "only, and returns None.\n\n"
    "Progress is written to sys.stderr, when that is a terminal or when\n"
    "TWIRLKIT_PROGRESS=1. The interpreter lock is released meanwhile, and\n"
    "Ctrl-C stops the build, which then keeps nothing."};

}  // namespace twirlkit
