// The Python object of a single cube, written once for both sizes: layout,
// construction, and the methods whose binding is the same for Cube3x3 and
// Cube2x2. Each pymethods.cpp adds its own method table and PyType_Spec.
#pragma once

#include "binding/binding.hpp"
#include "model/cube.hpp"
#include "model/faces.hpp"
#include "model/cube2x2.hpp"
#include "model/cube3x3.hpp"
#include "model/move_text.hpp"
#include "runtime/state_vector.hpp"
#include "runtime/random.hpp"

#include <array>
#include <cstddef>
#include <new>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace twirlkit {

// The states of a run of cubes of one size: what a CubeBatch holds, 8 bytes
// per Cube2x2 and 16 per Cube3x3.
using CubeStates = std::variant<StateVector<Cube2x2>, StateVector<Cube3x3>>;

template <Cube C>
struct CubeObject {
    PyObject_HEAD
    C cube;
    BorrowFlag borrow;
};

// The class object of each cube size, created on first use and kept for the
// life of the process (defined in that size's pymethods.cpp).
template <Cube C>
PyTypeObject* cube_type() noexcept;
template <>
PyTypeObject* cube_type<Cube3x3>() noexcept;
template <>
PyTypeObject* cube_type<Cube2x2>() noexcept;

template <Cube C>
CubeObject<C>* as_cube(PyObject* object) noexcept {
    return reinterpret_cast<CubeObject<C>*>(object);
}

template <Cube C>
bool is_cube(PyObject* object) noexcept {
    PyTypeObject* type = cube_type<C>();
    return type != nullptr && Py_IS_TYPE(object, type);
}

// A new Python cube holding a copy of `value`.
template <Cube C>
PyObject* new_cube_object(PyTypeObject* type, const C& value) noexcept {
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    CubeObject<C>* self = as_cube<C>(object);
    new (&self->cube) C(value);
    new (&self->borrow) BorrowFlag();
    return object;
}

template <Cube C>
PyObject* Cube_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    if (!reject_arguments(type->tp_name, args, kwargs)) return nullptr;
    return new_cube_object<C>(type, C{});
}

template <Cube C>
void Cube_dealloc(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    // The value and flag are trivially destructible; nothing to run.
    type->tp_free(object);
    Py_DECREF(type);
}

// The twelve turn methods: one exclusive hold and the turn itself, chosen
// at build time.
template <Cube C, MoveIndex M>
PyObject* Cube_turn(PyObject* object, PyObject*) noexcept {
    CubeObject<C>* self = as_cube<C>(object);
    PyExclusiveHold hold(self->borrow);
    if (!hold) return nullptr;
    apply_turn<M>(self->cube);
    Py_RETURN_NONE;
}

// Reads the receiver's value under a shared hold and converts one view of it.
template <Cube C, class View>
PyObject* read_view(PyObject* object, View view) noexcept {
    CubeObject<C>* self = as_cube<C>(object);
    PySharedHold hold(self->borrow);
    if (!hold) return nullptr;
    return view(static_cast<const C&>(self->cube));
}

template <Cube C>
PyObject* Cube_is_solved(PyObject* object, PyObject*) noexcept {
    CubeObject<C>* self = as_cube<C>(object);
    PySharedHold hold(self->borrow);
    if (!hold) return nullptr;
    return PyBool_FromLong(self->cube.is_solved());
}

template <Cube C>
PyObject* Cube_to_sticker_array(PyObject* object, PyObject*) noexcept {
    CubeObject<C>* self = as_cube<C>(object);
    PySharedHold hold(self->borrow);
    if (!hold) return nullptr;
    const auto codes = self->cube.to_sticker_array_internal();
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(codes.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        PyObject* code = PyLong_FromUnsignedLong(codes[i]);
        if (code == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), code);
    }
    return list;
}

template <Cube C>
PyObject* Cube_do_moves(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    static constexpr std::array<const char*, 1> names{"moves"};
    std::array<PyObject*, 1> given;
    if (!match_arguments("do_moves", args, nargs, kwnames, names, 1, given)) return nullptr;
    CubeObject<C>* self = as_cube<C>(object);
    PyExclusiveHold hold(self->borrow);
    if (!hold) return nullptr;
    std::string_view text;
    if (!convert_utf8(given[0], "moves", text)) return nullptr;
    do_moves_internal(self->cube, text);
    Py_RETURN_NONE;
}

// Not noexcept, like every call that polls for signals (see guarded).
template <Cube C>
PyObject* Cube_scramble(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names{"scramble_length"};
    std::array<PyObject*, 1> given;
    if (!match_arguments("scramble", args, nargs, kwnames, names, 0, given)) return nullptr;
    CubeObject<C>* self = as_cube<C>(object);
    PyExclusiveHold hold(self->borrow);
    if (!hold) return nullptr;
    std::int64_t length = 20;
    if (given[0] != nullptr && !convert_i64(given[0], "scramble_length", length)) return nullptr;
    // An entropy failure ends the call with PanicException, and Ctrl-C with
    // its exception; the turns already applied stay applied.
    SignalScope signals;
    return guarded([&]() -> PyObject* {
        scramble_internal(self->cube, length);
        Py_RETURN_NONE;
    });
}

template <Cube C>
PyObject* Cube_str(PyObject* object) noexcept {
    CubeObject<C>* self = as_cube<C>(object);
    PySharedHold hold(self->borrow);
    if (!hold) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::string text = self->cube.render_ansi_internal();
        return PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    });
}

// The name and docstring of each turn method, spelled from the face table:
// "do_r_prime_move" and "Apply the R' move (counterclockwise right face turn).".
struct TurnMethodText {
    std::array<char, 24> name{};
    std::array<char, 96> doc{};
};

namespace detail {
template <std::size_t N>
struct TextWriter {
    std::array<char, N>& out;
    std::size_t at = 0;
    constexpr TextWriter& operator<<(std::string_view part) {
        for (const char c : part) out[at++] = c;  // out of range: not a constant, fails the build
        return *this;
    }
};
}  // namespace detail

consteval TurnMethodText turn_method_text(MoveIndex move) {
    const FaceInfo& face = FACES[move / 2];
    const bool primed = move % 2 != 0;
    const std::string_view token = face_turn_token(face_turn_of(move));
    TurnMethodText text{};
    detail::TextWriter name{text.name};
    name << "do_" << face.method << (primed ? "_prime" : "") << "_move";
    detail::TextWriter doc{text.doc};
    doc << std::string_view(text.name.data(), name.at) << "($self)\n--\n\nApply the " << token
        << " move (" << (primed ? "counterclockwise " : "clockwise ") << face.place << " face turn).";
    return text;
}
template <MoveIndex M>
inline constexpr TurnMethodText TURN_METHOD_TEXT = turn_method_text(M);

template <Cube C, MoveIndex M>
PyMethodDef turn_method() noexcept {
    return {TURN_METHOD_TEXT<M>.name.data(), &Cube_turn<C, M>, METH_NOARGS, TURN_METHOD_TEXT<M>.doc.data()};
}

#define TWIRLKIT_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

// A size's method table: its own methods, then the twelve turns in
// move-index order, the methods shared by both sizes, and the sentinel.
template <Cube C, std::size_t N>
std::array<PyMethodDef, N + MOVE_COUNT + 3> cube_methods(const std::array<PyMethodDef, N>& own) noexcept {
    std::array<PyMethodDef, N + MOVE_COUNT + 3> table{};
    std::size_t at = 0;
    for (const PyMethodDef& method : own) table[at++] = method;
    [&]<std::size_t... M>(std::index_sequence<M...>) {
        ((table[at++] = turn_method<C, M>()), ...);
    }(std::make_index_sequence<MOVE_COUNT>{});
    table[at++] = {"do_moves", TWIRLKIT_FASTCALL(&Cube_do_moves<C>), METH_FASTCALL | METH_KEYWORDS,
                   "do_moves($self, moves)\n--\n\nApply a whitespace-separated sequence of cube moves."};
    table[at++] = {"scramble", TWIRLKIT_FASTCALL(&Cube_scramble<C>), METH_FASTCALL | METH_KEYWORDS,
                   "scramble($self, scramble_length=20)\n--\n\nApply a random scramble of the given length."};
    table[at] = {nullptr, nullptr, 0, nullptr};
    return table;
}

}  // namespace twirlkit

#include "model/views.hpp"

namespace twirlkit {

// 64 characters of "0" and "1", most significant bit first.
inline PyObject* binary_str(Word word) noexcept {
    const auto text = binary_text(word);
    return PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

// A list of (piece number, orientation or flip) tuples in slot order.
template <std::size_t N>
PyObject* pieces_list(const std::array<std::pair<unsigned, unsigned>, N>& pieces) noexcept {
    OwnedRef list(PyList_New(static_cast<Py_ssize_t>(N)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* pair = Py_BuildValue("(II)", pieces[i].first, pieces[i].second);
        if (pair == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
}

}  // namespace twirlkit
