// What the module body needs from the files that build its other parts.
#pragma once

#include "binding.hpp"

namespace twirlkit {

// The class CubeBatch, created on first use (cubeBatch/pymethods.cpp).
PyTypeObject* cube_batch_type() noexcept;

// The module function get_next_states(cubes) (get_next_states.cpp).
PyObject* module_get_next_states(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

}  // namespace twirlkit
