// CubeBatch: the symmetries of the cube. Every cube seen through a whole-cube
// rotation or reflection, the least member of each cube's class, and the
// solved test up to a rotation (model/symmetry.hpp has the numbering).
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "binding/batch_object.hpp"
#include "binding/binding.hpp"
#include "binding/numpy_interop.hpp"
#include "kernels/symmetry_kernels.hpp"
#include "model/cube2x2.hpp"
#include "model/cube3x3.hpp"

namespace twirlkit {

namespace {

// One symmetry for every cube, or one per cube in owned memory: the caller's
// array is read once, so a change to it meanwhile cannot reach the kernel.
struct SymmetryChoice {
    unsigned single = 0;
    bool per_cube = false;
    std::vector<std::uint8_t> each;
};

bool read_symmetry(PyObject* object, std::size_t n, SymmetryChoice& out) {
    // An int, or an integer scalar such as numpy.int64 (which is no sequence).
    if (PyLong_Check(object) || (PyIndex_Check(object) && !PySequence_Check(object))) {
        const Py_ssize_t k = PyNumber_AsSsize_t(object, nullptr);
        if (k == -1 && PyErr_Occurred()) return false;
        if (k < 0 || k >= static_cast<Py_ssize_t>(CUBE_SYMMETRY_COUNT)) {
            PyErr_Format(PyExc_ValueError, "symmetry must be in 0..47, not %R", object);
            return false;
        }
        out.single = static_cast<unsigned>(k);
        return true;
    }
    IntegerRead read;
    if (!read_integer_vector(object, "symmetry", read)) return false;
    const CallerIntegers& values = read.elements;
    if (values.rows != n) {
        PyErr_Format(PyExc_ValueError,
                     "argument 'symmetry' has %zu values for a batch of %zu cubes", values.rows, n);
        return false;
    }
    const bool sized = guarded(
        [&] {
            out.each.resize(n);
            return true;
        },
        false);
    if (!sized) return false;
    // Each value is read once, into this call's memory, and checked there.
    return with_integer_type(values.type, [&](auto zero) {
        using S = decltype(zero);
        constexpr std::size_t stage_size = 256;
        std::array<S, stage_size> stage;
        for (std::size_t base = 0; base < n; base += stage_size) {
            const std::size_t stop = std::min(n, base + stage_size);
            copy_typed_rows_in<S>(values, base, stop, stage.data());
            for (std::size_t i = base; i < stop; ++i) {
                const S value = stage[i - base];
                if (std::is_unsigned_v<S> &&
                    static_cast<std::uint64_t>(value) > static_cast<std::uint64_t>(INT64_MAX)) {
                    // Beyond the int64 range a value is simply not a symmetry.
                    PyErr_SetString(PyExc_ValueError, "argument 'symmetry': values must be in 0..47");
                    return false;
                }
                const auto k = static_cast<std::int64_t>(value);
                if (k < 0 || k >= static_cast<std::int64_t>(CUBE_SYMMETRY_COUNT)) {
                    PyErr_Format(PyExc_ValueError,
                                 "argument 'symmetry': value %lld at position %zu is not in 0..47",
                                 static_cast<long long>(k), i);
                    return false;
                }
                out.each[i] = static_cast<std::uint8_t>(k);
            }
        }
        out.per_cube = true;
        return true;
    });
}

// Storage for n cubes of the batch's type, left for a kernel to write.
bool storage_like(const CubeBatchObject* self, std::size_t n, Storage& out) noexcept {
    return std::visit(
        [&](const auto& cubes) {
            using C = typename std::decay_t<decltype(cubes)>::value_type;
            return make_storage<C, false>(n, out);
        },
        self->storage);
}

template <class C>
C* cubes_of(Storage& storage) noexcept {
    return std::get<StateVector<C>>(storage).data();
}

PyObject* CubeBatch_transform(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names{"symmetry"};
    std::array<PyObject*, 1> given;
    if (!match_arguments("transform", args, nargs, kwnames, names, 1, given)) return nullptr;
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    const std::size_t n = batch_size(self);
    SymmetryChoice choice;
    if (!read_symmetry(given[0], n, choice)) return nullptr;
    Storage storage;
    if (!storage_like(self, n, storage)) return nullptr;
    if (!lock_released(hold, [&] {
            with_cubes(self, [&](auto cubes) {
                using C = typename decltype(cubes)::value_type;
                if (choice.per_cube) {
                    transform_cubes_each(cubes, choice.each.data(), cubes_of<C>(storage));
                } else {
                    transform_cubes(cubes, choice.single, cubes_of<C>(storage));
                }
            });
        })) {
        return nullptr;
    }
    return new_batch(Py_TYPE(object), std::move(storage));
}

PyObject* CubeBatch_canonical(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names{"symmetries"};
    std::array<PyObject*, 1> given;
    if (!match_keyword_only("canonical", args, nargs, kwnames, names, given)) return nullptr;
    bool rotations_only = false;
    if (given[0] != nullptr) {
        std::string_view text;
        if (!convert_utf8(given[0], "symmetries", text)) return nullptr;
        if (text == "rotations") {
            rotations_only = true;
        } else if (text != "all") {
            PyErr_Format(PyExc_ValueError, "symmetries must be 'all' or 'rotations', not %R",
                         given[0]);
            return nullptr;
        }
    }
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    const std::size_t n = batch_size(self);
    std::int8_t* which = nullptr;
    OwnedRef symmetry(new_int8_vector(n, which));
    if (!symmetry) return nullptr;
    Storage storage;
    if (!storage_like(self, n, storage)) return nullptr;
    if (!lock_released(hold, [&] {
            with_cubes(self, [&](auto cubes) {
                using C = typename decltype(cubes)::value_type;
                canonical_cubes(cubes, rotations_only, cubes_of<C>(storage), which);
            });
        })) {
        return nullptr;
    }
    OwnedRef representative(new_batch(Py_TYPE(object), std::move(storage)));
    if (!representative) return nullptr;
    return PyTuple_Pack(2, representative.get(), symmetry.get());
}

}  // namespace

PyObject* solved_flags_up_to_rotation(CubeBatchObject* self, const PyForkSafeSharedHold& hold) {
    return filled_array(self, hold, Element::boolean, {batch_size(self), 1}, 1, [](auto cubes, void* data) {
        solved_up_to_rotation_flags(cubes, static_cast<bool*>(data));
    });
}

PyMethodDef CubeBatch_symmetry_methods[] = {
    {"transform", TWIRLKIT_FASTCALL(&CubeBatch_transform), METH_FASTCALL | METH_KEYWORDS,
     "transform($self, symmetry)\n--\n\n"
     "Return a new batch of every cube seen through a symmetry of the cube.\n\n"
     "`symmetry` is an int in 0..47, for every cube, or a 1-D integer\n"
     "array-like of len(self) values, one per cube. Cube i becomes S x_i S^-1:\n"
     "the same physical cube after the whole-cube rotation or reflection S,\n"
     "recoloured so that each colour goes with its face. 0 is the identity,\n"
     "0..23 are the rotations and 24..47 those rotations followed by the\n"
     "left-right mirror (the README lists them). After any move sequence s,\n"
     "transform(k) gives the state of the mapped sequence, whose move m is\n"
     "symmetry_moves()[k, m]."},
    {"canonical", TWIRLKIT_FASTCALL(&CubeBatch_canonical), METH_FASTCALL | METH_KEYWORDS,
     "canonical($self, *, symmetries='all')\n--\n\n"
     "Return (representative, symmetry): the least member of every cube's class.\n\n"
     "The class is the cube's transforms by all 48 symmetries, or by the 24\n"
     "rotations with symmetries='rotations'. The least is by the rows of\n"
     "to_packed(), word by word as unsigned integers, first word first.\n"
     "`representative` is a new batch; `symmetry` is an int8 array of\n"
     "len(self) with which transform(symmetry) of the cube gives it (the\n"
     "lowest such symmetry where several do)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace twirlkit
