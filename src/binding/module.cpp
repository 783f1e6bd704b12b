// The twirlkit module: entry point, execution step, and the module functions.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "binding/batch_object.hpp"
#include "binding/binding.hpp"
#include "runtime/buffer_cache.hpp"
#include "model/move_text.hpp"
#include "model/symmetry.hpp"
#include "binding/cube_object.hpp"
#include "binding/module_parts.hpp"
#include "binding/numpy_interop.hpp"

namespace twirlkit {

namespace {

PyObject* inverse_scramble(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    static constexpr std::array<const char*, 1> names{"scramble"};
    std::array<PyObject*, 1> given;
    if (!match_arguments("inverse_scramble", args, nargs, kwnames, names, 1, given)) {
        return nullptr;
    }
    std::string_view text;
    if (!convert_utf8(given[0], "scramble", text)) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::string inverse = inverse_scramble_internal(text);
        return PyUnicode_FromStringAndSize(inverse.data(), static_cast<Py_ssize_t>(inverse.size()));
    });
}

PyMethodDef inverse_scramble_def = {
    "inverse_scramble", TWIRLKIT_FASTCALL(&inverse_scramble), METH_FASTCALL | METH_KEYWORDS,
    "inverse_scramble(scramble)\n--\n\nReturn the inverse of the given scramble string."};

PyMethodDef get_next_states_def = {
    "get_next_states", TWIRLKIT_FASTCALL(&module_get_next_states), METH_FASTCALL | METH_KEYWORDS,
    "get_next_states(cubes)\n--\n\n"
    "Return quarter-turn successors for a batch of 2x2 or 3x3 cubes."};

PyObject* release_cached_buffers(PyObject*, PyObject*) noexcept {
    return PyLong_FromSize_t(drop_mapped_cache());
}

PyMethodDef release_cached_buffers_def = {
    "release_cached_buffers", release_cached_buffers, METH_NOARGS,
    "release_cached_buffers()\n--\n\n"
    "Give the memory of freed output arrays and batches, kept for reuse, back to the system.\n\n"
    "Returns the number of bytes released. Arrays still alive are not affected."};

// symmetry_moves(metric="qtm"): row k maps every move to its image under
// symmetry k, in quarter turns (12) or face turns (18).
PyObject* symmetry_moves(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names{"metric"};
    std::array<PyObject*, 1> given;
    if (!match_arguments("symmetry_moves", args, nargs, kwnames, names, 0, given)) return nullptr;
    Metric metric = Metric::qtm;
    if (!convert_metric(given[0], metric)) return nullptr;
    const bool half_turns = metric == Metric::htm;
    const std::size_t width = half_turns ? FACE_TURN_COUNT : MOVE_COUNT;
    return guarded([&]() -> PyObject* {
        OutputBuffer table = OutputBuffer::allocate(CUBE_SYMMETRY_COUNT, width, Element::int64);
        for (unsigned k = 0; k < CUBE_SYMMETRY_COUNT; ++k) {
            for (std::size_t m = 0; m < width; ++m) {
                table.row<std::int64_t>(k)[m] = static_cast<std::int64_t>(
                    half_turns ? transformed_face_turn(k, static_cast<FaceTurn>(m))
                               : transformed_move(k, m));
            }
        }
        return matrix_to_ndarray(std::move(table));
    });
}

PyMethodDef symmetry_moves_def = {
    "symmetry_moves", TWIRLKIT_FASTCALL(&symmetry_moves), METH_FASTCALL | METH_KEYWORDS,
    "symmetry_moves(metric='qtm')\n--\n\n"
    "Return the moves under each of the 48 symmetries of the cube.\n\n"
    "An int64 array of shape (48, 12) for metric='qtm', or (48, 18) for\n"
    "'htm' (move 3 * face + k, k 0 clockwise, 1 counter-clockwise, 2 half\n"
    "turn). Entry [k, m] is the move that m becomes under symmetry k: the\n"
    "same turn of the face that k moves the turned face to, the other way\n"
    "round when k is a mirror (24..47). For any move sequence s,\n"
    "state(s).transform(k) equals the state of s mapped move by move."};

PyObject* new_function(PyMethodDef* def, PyObject* module) noexcept {
    OwnedRef name(PyModule_GetNameObject(module));
    if (!name) return nullptr;
    return PyCFunction_NewEx(def, module, name.get());
}

PyObject* new_class(PyTypeObject* type) noexcept {
    Py_XINCREF(type);
    return reinterpret_cast<PyObject*>(type);
}

int twirlkit_exec(PyObject* module) noexcept {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "twirlkit must be executed into a module object");
        return -1;
    }
    // Every class object is created here, once: the import machinery runs
    // this step on one thread, so no later caller races to create one.
    if (panic_exception_type() == nullptr) return -1;
    if (!create_slice_container_type()) return -1;
    if (add_public(module, "CubeBatch", new_class(cube_batch_type())) < 0) return -1;
    if (add_public(module, "Cube2x2", new_class(cube_type<Cube2x2>())) < 0) return -1;
    if (add_public(module, "Cube3x3", new_class(cube_type<Cube3x3>())) < 0) return -1;
    if (add_public(module, "inverse_scramble", new_function(&inverse_scramble_def, module)) < 0) {
        return -1;
    }
    if (add_public(module, "get_next_states", new_function(&get_next_states_def, module)) < 0) {
        return -1;
    }
    // Not part of `import *` either: the cache of freed outputs, and the
    // exceptions below.
    OwnedRef release(new_function(&release_cached_buffers_def, module));
    if (!release || PyModule_AddObjectRef(module, "release_cached_buffers", release.get()) < 0) {
        return -1;
    }
    OwnedRef moves(new_function(&symmetry_moves_def, module));
    if (!moves || PyModule_AddObjectRef(module, "symmetry_moves", moves.get()) < 0) return -1;
    OwnedRef names(new_function(&move_names_def, module));
    if (!names || PyModule_AddObjectRef(module, "move_names", names.get()) < 0) return -1;
    OwnedRef tables(new_function(&build_tables_def, module));
    if (!tables || PyModule_AddObjectRef(module, "build_tables", tables.get()) < 0) return -1;
    OwnedRef beam(new_function(&beam_search_def, module));
    if (!beam || PyModule_AddObjectRef(module, "beam_search", beam.get()) < 0) return -1;
    OwnedRef astar(new_function(&weighted_astar_def, module));
    if (!astar || PyModule_AddObjectRef(module, "weighted_astar", astar.get()) < 0) return -1;
    OwnedRef result_class(new_class(search_result_type()));
    if (!result_class || PyModule_AddObjectRef(module, "SearchResult", result_class.get()) < 0) {
        return -1;
    }
    if (PyModule_AddObjectRef(module, "StateSet", reinterpret_cast<PyObject*>(state_set_type())) < 0) {
        return -1;
    }
    OwnedRef breadth_first(new_function(&bfs_def, module));
    if (!breadth_first || PyModule_AddObjectRef(module, "bfs", breadth_first.get()) < 0) return -1;
    // Reachable for `except twirlkit.PanicException`, but not part of `import *`;
    // the same for its subclass, which pickles by this name.
    if (PyModule_AddObjectRef(module, "PanicException", panic_exception_type()) < 0) return -1;
    if (PyModule_AddObjectRef(module, "UnreadableArrayError", unreadable_array_type()) < 0) {
        return -1;
    }
    // The one source of the version is the build's project version, which is
    // also the package's metadata.
    return PyModule_AddStringConstant(module, "__version__", TWIRLKIT_VERSION);
}

PyModuleDef_Slot twirlkit_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&twirlkit_exec)},
#ifdef Py_mod_multiple_interpreters
    // The classes, the pool and the generators live for the whole process, so
    // they must never be shared with a second interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // Every native value is guarded by its own borrow flag, not by the lock.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef twirlkit_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "twirlkit",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = twirlkit_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace twirlkit

PyMODINIT_FUNC PyInit_twirlkit(void) { return PyModuleDef_Init(&twirlkit::twirlkit_module); }
