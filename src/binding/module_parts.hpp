// What the module body needs from the files that build its other parts.
#pragma once

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

}  // namespace twirlkit
