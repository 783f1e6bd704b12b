// What the module body needs from the files that build its other parts.
#pragma once

#include <span>

#include "binding/binding.hpp"
#include "binding/cube_object.hpp"

namespace twirlkit {

// The class CubeBatch, created on first use (binding/batch_methods.cpp).
PyTypeObject* cube_batch_type() noexcept;

// Copies the states of a list of single cubes of one class (the first item
// decides which), raising get_next_states' errors for an empty list, a
// non-cube or a cube of the other class, and RuntimeError for a cube held
// exclusively. Takes no lasting hold (get_next_states.cpp).
bool copy_cube_list(PyObject* list, CubeStates& states) noexcept;

// The module function get_next_states(cubes) (get_next_states.cpp).
PyObject* module_get_next_states(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

// The module function move_names(metric='qtm') (batch_data.cpp).
extern PyMethodDef move_names_def;

// The searches guided by a scorer, and the class of their results
// (guided_search.cpp).
extern PyMethodDef beam_search_def;
extern PyMethodDef weighted_astar_def;
PyTypeObject* search_result_type() noexcept;

// The module function build_tables(cube_type, *, cache_dir=None)
// (solver_tables.cpp).
extern PyMethodDef build_tables_def;

// Makes the 3x3 solver tables ready for a solve of `cubes` that reads them,
// from the user's cache folder, when the process holds none yet: the lock
// released, progress on sys.stderr, the warning of an unusable folder. False
// with the exception set. Not noexcept: see ReleaseGil (solver_tables.cpp).
bool ready_solver_tables_3x3(std::span<const Cube3x3> cubes);

// Progress of a long call (solver_tables.cpp). Whether it is shown:
// TWIRLKIT_PROGRESS=1, or sys.stderr is a terminal; 1 yes, 0 no, -1 with the
// exception of a stream that raised.
int progress_wanted() noexcept;
// A line of progress, written to sys.stderr with the lock taken back for the
// moment; `unlocked` is the ReleaseGil of the call, which runs on the
// calling thread, so the lock is its to take. A stream that raises costs the
// line, not the call. The line function of a BuildProgress.
void write_progress(void* unlocked, const char* text);

// The class StateSet (state_set.cpp), created on first use, and the module
// function bfs.
PyTypeObject* state_set_type() noexcept;
extern PyMethodDef bfs_def;

}  // namespace twirlkit
