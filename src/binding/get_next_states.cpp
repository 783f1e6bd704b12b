// The module function get_next_states(cubes): the quarter-turn successors of
// a list of single cube objects, computed on a native copy of their states.
#include <array>
#include <cstddef>
#include <span>
#include <variant>
#include <vector>

#include "binding/binding.hpp"
#include "kernels/kernels.hpp"
#include "model/cube2x2.hpp"
#include "model/cube3x3.hpp"
#include "binding/cube_object.hpp"
#include "binding/module_parts.hpp"
#include "binding/numpy_interop.hpp"

namespace twirlkit {

namespace {

template <Cube C>
constexpr const char* class_name() noexcept;
template <>
constexpr const char* class_name<Cube2x2>() noexcept {
    return "Cube2x2";
}
template <>
constexpr const char* class_name<Cube3x3>() noexcept {
    return "Cube3x3";
}

// A strong reference to list[index], or nullptr past the end. The list may
// shrink meanwhile under a free-threaded interpreter, so the size is read
// again at every step and the item is kept alive while it is read.
OwnedRef list_item(PyObject* list, Py_ssize_t index) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    if (index >= PyList_Size(list)) return OwnedRef();
    OwnedRef item(PyList_GetItemRef(list, index));
    if (!item) PyErr_Clear();
    return item;
#else
    if (index >= PyList_GET_SIZE(list)) return OwnedRef();
    PyObject* item = PyList_GET_ITEM(list, index);
    Py_INCREF(item);
    return OwnedRef(item);
#endif
}

// A cube of this class whose state may be read right now (not held
// exclusively). Takes no lasting hold.
template <Cube C>
bool is_readable_cube(PyObject* object) noexcept {
    if (!is_cube<C>(object)) return false;
    BasicSharedHold<FLAGS_SERIALISED_BY_GIL> probe(as_cube<C>(object)->borrow);
    return static_cast<bool>(probe);
}

// Copies every item's state in list order; false with a Python exception at
// the first item that is not a readable C.
template <Cube C>
bool copy_states(PyObject* list, StateVector<C>& states) noexcept {
    return guarded(
        [&] {
            states.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
            for (Py_ssize_t i = 0;; ++i) {
                OwnedRef item = list_item(list, i);
                if (!item) return true;
                if (!is_cube<C>(item.get())) {
                    raise_conversion_error(item.get(), class_name<C>(), nullptr);
                    return false;
                }
                CubeObject<C>* cube = as_cube<C>(item.get());
                PySharedHold hold(cube->borrow);
                if (!hold) return false;
                states.push_back(cube->cube);
            }
        },
        false);
}

}  // namespace

bool copy_cube_list(PyObject* list, CubeStates& states) noexcept {
    OwnedRef first = list_item(list, 0);
    if (!first) {
        PyErr_SetString(PyExc_TypeError,
                        "get_next_states() requires at least one cube to infer the cube type");
        return false;
    }
    // The first item alone decides the size.
    if (is_readable_cube<Cube2x2>(first.get())) {
        return copy_states(list, states.emplace<StateVector<Cube2x2>>());
    }
    if (is_readable_cube<Cube3x3>(first.get())) {
        return copy_states(list, states.emplace<StateVector<Cube3x3>>());
    }
    PyErr_SetString(PyExc_TypeError,
                    "get_next_states() expects a list of twirlkit.Cube2x2 or twirlkit.Cube3x3 "
                    "instances");
    return false;
}

PyObject* module_get_next_states(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names{"cubes"};
    std::array<PyObject*, 1> given;
    if (!match_arguments("get_next_states", args, nargs, kwnames, names, 1, given)) {
        return nullptr;
    }
    PyObject* list = given[0];
    if (!PyList_Check(list)) {
        raise_conversion_error(list, "list", "cubes");
        return nullptr;
    }
    CubeStates states;
    if (!copy_cube_list(list, states)) return nullptr;
    // The interpreter lock stays held, and the rows answer Ctrl-C.
    SignalScope signals;
    return guarded([&]() -> PyObject* {
        OutputBuffer matrix = std::visit(
            [](const auto& cubes) { return next_states_internal(std::span(cubes)); }, states);
        return matrix_to_ndarray(std::move(matrix));
    });
}

}  // namespace twirlkit
