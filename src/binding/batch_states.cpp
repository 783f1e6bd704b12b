// CubeBatch: states in and out. New batches from stickers, packed words,
// single cubes, a selection or the successors of a batch, and encoded rows.
#include <cxxabi.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <span>
#include <string>
#include <type_traits>
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
#include "kernels/algebra_kernels.hpp"

namespace twirlkit {

namespace {

// ---------------------------------------------------------------------------
// States in and out: new batches from stickers, packed words, single cubes,
// a selection or the successors of this one, and encoded rows.
PyObject* raise_row_fault(const RowFault& fault) noexcept {
    return guarded([&]() -> PyObject* {
        const std::string reason = describe(fault.fault);
        PyErr_Format(PyExc_ValueError, "row %zu: %s", fault.row, reason.c_str());
        return nullptr;
    });
}

// A batch of `type` from n checked rows, where `decode(cubes)` checks them
// into the span and returns the first bad row, run with the lock released.
template <PackedCube C, class Decode>
PyObject* checked_batch(PyTypeObject* type, std::size_t n, Decode decode) {
    Storage storage;
    if (!make_storage<C, false>(n, storage)) return nullptr;
    StateVector<C>& cubes = std::get<StateVector<C>>(storage);
    std::optional<RowFault> fault;
    // The batch is new, and the argument array is only ever copied from.
    if (!lock_released(HeldWhileReleased::nothing(), [&] { fault = decode(cubes.data()); })) {
        return nullptr;
    }
    if (fault) return raise_row_fault(*fault);
    return new_batch(type, std::move(storage));
}

// The caller's rows may change while they are read (another thread's NumPy
// copy runs without the lock): the kernels copy each run of rows in once,
// converted from its own dtype, and check and decode only the copy.
template <PackedCube C>
PyObject* batch_from_stickers(PyTypeObject* type, PyObject* stickers) {
    IntegerRead read;
    if (!read_integer_matrix(stickers, "stickers", C::sticker_dim, read)) return nullptr;
    const CallerIntegers& rows = read.elements;
    return checked_batch<C>(type, rows.rows, [&rows](C* out) {
        // Codes are checked in the caller's own integer type: a uint8 row
        // is staged as bytes, not widened first.
        return with_integer_type(rows.type, [&rows, out](auto zero) {
            using S = decltype(zero);
            return cubes_from_loaded_sticker_rows<C, S>(
                rows.rows, out, [&rows](std::size_t begin, std::size_t end, S* into) {
                    copy_typed_rows_in<S>(rows, begin, end, into);
                });
        });
    });
}

template <PackedCube C>
PyObject* batch_from_packed(PyTypeObject* type, PyObject* words) {
    IntegerRead read;
    if (!read_integer_matrix(words, "words", C::word_count, read)) return nullptr;
    const CallerIntegers& rows = read.elements;
    return checked_batch<C>(type, rows.rows, [&rows](C* out) {
        return cubes_from_loaded_words<C>(
            rows.rows, out, [&rows](std::size_t begin, std::size_t end, Word* into) {
                copy_rows_in(rows, begin, end, into);
            });
    });
}

// Matches (<array>, cube_type) and calls the reader of that cube type.
template <class Read2, class Read3>
PyObject* from_array_of_type(const char* function, const char* parameter, PyObject* cls,
                             PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             Read2 read2, Read3 read3) {
    const std::array<const char*, 2> names{parameter, "cube_type"};
    std::array<PyObject*, 2> given;
    if (!match_arguments(function, args, nargs, kwnames, names, 2, given)) return nullptr;
    std::uint32_t cube_type_number = 0;
    if (!convert_cube_type(given[1], cube_type_number)) return nullptr;
    PyTypeObject* type = batch_type_of(cls);
    return cube_type_number == 2 ? read2(type, given[0]) : read3(type, given[0]);
}

PyObject* CubeBatch_from_stickers(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return from_array_of_type("from_stickers", "stickers", cls, args, nargs, kwnames,
                              &batch_from_stickers<Cube2x2>, &batch_from_stickers<Cube3x3>);
}

PyObject* CubeBatch_from_packed(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return from_array_of_type("from_packed", "words", cls, args, nargs, kwnames,
                              &batch_from_packed<Cube2x2>, &batch_from_packed<Cube3x3>);
}

PyObject* CubeBatch_from_cubes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    static constexpr std::array<const char*, 1> names{"cubes"};
    std::array<PyObject*, 1> given;
    if (!match_arguments("from_cubes", args, nargs, kwnames, names, 1, given)) return nullptr;
    // A private list: the caller's sequence may change while it is read.
    OwnedRef list(PySequence_List(given[0]));
    if (!list) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        PyErr_Clear();
        raise_conversion_error(given[0], "Sequence", "cubes");
        return nullptr;
    }
    Storage storage;
    if (!copy_cube_list(list.get(), storage)) return nullptr;
    return new_batch(batch_type_of(cls), std::move(storage));
}


PyObject* CubeBatch_expand(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names{"metric"};
    std::array<PyObject*, 1> given;
    if (!match_keyword_only("expand", args, nargs, kwnames, names, given)) return nullptr;
    Metric metric = Metric::qtm;
    if (!convert_metric(given[0], metric)) return nullptr;
    return derived_batch(object, [metric](auto cubes, Storage& storage) {
        using C = typename decltype(cubes)::value_type;
        const MatrixShape shape = checked_output_shape(cubes.size(), move_count(metric), 1);
        if (shape.rows > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(C)) {
            throw std::length_error("capacity overflow");
        }
        C* out = storage.emplace<StateVector<C>>(shape.rows).data();
        if (metric == Metric::htm) {
            expand_face_turns(cubes, out);
        } else {
            expand_cubes(cubes, out);
        }
    });
}

PyObject* CubeBatch_take(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names{"indices"};
    std::array<PyObject*, 1> given;
    if (!match_arguments("take", args, nargs, kwnames, names, 1, given)) return nullptr;
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    IntegerRead read;
    if (!read_integer_vector(given[0], "indices", read)) return nullptr;
    const CallerIntegers& indexes = read.elements;
    std::vector<std::size_t> positions;
    const bool sized = guarded(
        [&] {
            try {
                positions.resize(indexes.rows);
            } catch (const std::bad_alloc&) {
                PyErr_Format(PyExc_MemoryError,
                             "cannot allocate the positions of %zu indices (%zu bytes)",
                             indexes.rows, indexes.rows * sizeof(std::size_t));
                return false;
            }
            return true;
        },
        false);
    if (!sized) return nullptr;
    // Negative indexes count from the end; all are checked before any copy.
    // Each index is read once, into memory of this call's, and checked there.
    const std::size_t size = batch_size(self);
    const bool in_range = with_integer_type(indexes.type, [&](auto zero) {
        using S = decltype(zero);
        constexpr std::size_t stage_size = 256;
        std::array<S, stage_size> stage;
        for (std::size_t base = 0; base < indexes.rows; base += stage_size) {
            const std::size_t stop = std::min(indexes.rows, base + stage_size);
            copy_typed_rows_in<S>(indexes, base, stop, stage.data());
            for (std::size_t k = base; k < stop; ++k) {
                const S given_index = stage[k - base];
                std::size_t position = 0;
                if constexpr (std::is_signed_v<S>) {
                    const auto index = static_cast<std::int64_t>(given_index);
                    const std::int64_t from_start =
                        index < 0 ? index + static_cast<std::int64_t>(size) : index;
                    if (from_start < 0 || static_cast<std::uint64_t>(from_start) >= size) {
                        return false;
                    }
                    position = static_cast<std::size_t>(from_start);
                } else {
                    if (static_cast<std::uint64_t>(given_index) >= size) return false;
                    position = static_cast<std::size_t>(given_index);
                }
                positions[k] = position;
            }
        }
        return true;
    });
    if (!in_range) {
        PyErr_SetString(PyExc_IndexError, BATCH_INDEX_ERROR);
        return nullptr;
    }
    Storage storage;
    const bool made = std::holds_alternative<StateVector<Cube3x3>>(self->storage)
                          ? make_storage<Cube3x3, false>(positions.size(), storage)
                          : make_storage<Cube2x2, false>(positions.size(), storage);
    if (!made) return nullptr;
    if (!lock_released(hold, [&] {
            with_cubes(self, [&](auto cubes) {
                using C = typename decltype(cubes)::value_type;
                take_cubes(cubes, std::span<const std::size_t>(positions),
                           std::get<StateVector<C>>(storage).data());
            });
        })) {
        return nullptr;
    }
    return new_batch(Py_TYPE(object), std::move(storage));
}


PyObject* CubeBatch_to_packed(PyObject* object, PyObject*) {
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    const std::size_t width =
        std::holds_alternative<StateVector<Cube3x3>>(self->storage) ? Cube3x3::word_count
                                                                    : Cube2x2::word_count;
    return filled_array(self, hold, Element::uint64, {batch_size(self), width}, 2,
                        [](auto cubes, void* data) {
                            words_of_cubes(cubes, static_cast<Word*>(data));
                        });
}

PyObject* CubeBatch_is_solved(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names{"up_to_rotation"};
    std::array<PyObject*, 1> given;
    if (!match_keyword_only("is_solved", args, nargs, kwnames, names, given)) return nullptr;
    bool up_to_rotation = false;
    if (given[0] != nullptr) {
        const int truth = PyObject_IsTrue(given[0]);
        if (truth < 0) return nullptr;
        up_to_rotation = truth != 0;
    }
    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    if (up_to_rotation) return solved_flags_up_to_rotation(self, hold);
    return filled_array(self, hold, Element::boolean, {batch_size(self), 1}, 1,
                        [](auto cubes, void* data) { solved_flags(cubes, static_cast<bool*>(data)); });
}

PyObject* CubeBatch_stickers(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static constexpr std::array<const char*, 5> names{"successors", "dtype", "one_hot", "out",
                                                      "metric"};
    std::array<PyObject*, 5> given;
    if (!match_keyword_only("stickers", args, nargs, kwnames, names, given)) return nullptr;
    Metric metric = Metric::qtm;
    if (!convert_metric(given[4], metric)) return nullptr;
    Encoding encoding{false, false};
    if (given[0] != nullptr) {
        const int truth = PyObject_IsTrue(given[0]);
        if (truth < 0) return nullptr;
        encoding.successors = truth != 0;
    }
    if (given[2] != nullptr) {
        const int truth = PyObject_IsTrue(given[2]);
        if (truth < 0) return nullptr;
        encoding.one_hot = truth != 0;
    }
    Element element{};
    if (!convert_sticker_dtype(given[1], encoding.one_hot, element)) return nullptr;

    CubeBatchObject* self = as_batch(object);
    PyForkSafeSharedHold hold(self->borrow);
    if (!hold) return nullptr;
    const std::size_t width =
        std::holds_alternative<StateVector<Cube3x3>>(self->storage)
            ? row_width<Cube3x3>(encoding)
            : row_width<Cube2x2>(encoding);
    const bool face_turns = encoding.successors && metric == Metric::htm;
    std::size_t rows = 0;
    if (__builtin_mul_overflow(batch_size(self), face_turns ? FACE_TURN_COUNT : rows_per_cube(encoding),
                               &rows)) {
        return raise_panic("capacity overflow");
    }
    const auto fill = [&](auto cubes, void* data) {
        with_element_type(element, [&](auto one) {
            using T = decltype(one);
            if (face_turns) {
                encode_face_turn_successor_rows(cubes, encoding.one_hot, static_cast<T*>(data), one);
            } else {
                encode_sticker_rows(cubes, encoding, static_cast<T*>(data), one);
            }
        });
    };

    PyObject* out = given[3] != nullptr && given[3] != Py_None ? given[3] : nullptr;
    if (out == nullptr) return filled_array(self, hold, element, {rows, width}, 2, fill);

    // Kept referenced until the rows are written, whatever the caller does
    // with its own reference meanwhile; returned filled.
    Py_INCREF(out);
    OwnedRef kept(out);
    void* data = nullptr;
    const std::array<std::size_t, 2> shape{rows, width};
    if (!writable_output(out, "out", element, shape, data)) return nullptr;
    if (!lock_released(hold, [&] { with_cubes(self, [&](auto cubes) { fill(cubes, data); }); })) {
        return nullptr;
    }
    return kept.release();
}
}  // namespace

PyMethodDef CubeBatch_state_methods[] = {
    {"from_stickers", TWIRLKIT_FASTCALL(&CubeBatch_from_stickers),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_stickers($type, stickers, cube_type)\n--\n\n"
     "Return a new batch holding the states of the given sticker rows.\n\n"
     "`stickers` is a 2-D integer array-like of shape (n, 54) for cube_type 3\n"
     "or (n, 24) for cube_type 2, in the order of to_sticker_array(). Every\n"
     "row must be a state reachable by quarter turns from solved; the first\n"
     "row that is not raises ValueError naming the row and the reason."},
    {"from_packed", TWIRLKIT_FASTCALL(&CubeBatch_from_packed),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_packed($type, words, cube_type)\n--\n\n"
     "Return a new batch holding the states of the given packed words.\n\n"
     "`words` is a 2-D integer array-like of shape (n, 2) (corners, edges) for\n"
     "cube_type 3 or (n, 1) (state) for cube_type 2, as to_packed() returns.\n"
     "Rows are checked like the rows of from_stickers()."},
    {"from_cubes", TWIRLKIT_FASTCALL(&CubeBatch_from_cubes),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_cubes($type, cubes)\n--\n\n"
     "Return a new batch holding copies of the states of a sequence of cubes.\n\n"
     "The cubes must all be Cube2x2 or all be Cube3x3; the errors are those\n"
     "of get_next_states()."},
    {"to_packed", CubeBatch_to_packed, METH_NOARGS,
     "to_packed($self)\n--\n\n"
     "Return the packed words of every cube as a C-contiguous uint64 array.\n\n"
     "The shape is (len(self), 2) (corners, edges) for Cube3x3 and\n"
     "(len(self), 1) (state) for Cube2x2. Equal states give equal rows."},
    {"take", TWIRLKIT_FASTCALL(&CubeBatch_take), METH_FASTCALL | METH_KEYWORDS,
     "take($self, indices)\n--\n\n"
     "Return a new batch holding copies of the selected cubes, in order.\n\n"
     "`indices` is a 1-D integer array-like; negative values count from the\n"
     "end."},
    {"expand", TWIRLKIT_FASTCALL(&CubeBatch_expand), METH_FASTCALL | METH_KEYWORDS,
     "expand($self, *, metric='qtm')\n--\n\n"
     "Return a new batch of len(self) * 12 cubes: cube 12 * i + m is cube i\n"
     "after move index m, the row order of get_next_states().\n\n"
     "With metric='htm' it holds len(self) * 18 cubes: cube 18 * i + m is\n"
     "cube i after face turn m (see move_names())."},
    {"is_solved", TWIRLKIT_FASTCALL(&CubeBatch_is_solved), METH_FASTCALL | METH_KEYWORDS,
     "is_solved($self, *, up_to_rotation=False)\n--\n\n"
     "Return a 1-D NumPy bool array, True where a cube is solved.\n\n"
     "With up_to_rotation=True a 2x2 cube also counts as solved when it is\n"
     "solved but for a whole-cube rotation (after U D', say): it has no\n"
     "centres to fix its orientation. A 3x3's centres are fixed, so there it\n"
     "changes nothing."},
    {"stickers", TWIRLKIT_FASTCALL(&CubeBatch_stickers), METH_FASTCALL | METH_KEYWORDS,
     "stickers($self, *, successors=False, dtype=None, one_hot=False, out=None, metric='qtm')\n--\n\n"
     "Return the sticker rows of the batch, encoded.\n\n"
     "With successors=False there is one row per cube (the rows of\n"
     "to_sticker_array()); with True twelve per cube (the rows of\n"
     "get_next_states(), row 12 * i + m). Codes have shape (rows, sticker_dim)\n"
     "and dtype int8, uint8, int16, int32 or int64 (the default). With\n"
     "one_hot=True the shape is (rows, 6 * sticker_dim), element [r, 6 * s + c]\n"
     "is 1 exactly when sticker s of row r has colour c, and the dtype is\n"
     "float32 (the default), float16, float64, bool, uint8 or int8.\n\n"
     "`out`, if given, must be a writable C-contiguous array of exactly that\n"
     "shape and dtype; it is filled and returned.\n\n"
     "With successors=True and metric='htm' there are eighteen rows per cube,\n"
     "row 18 * i + m = cube i after face turn m."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace twirlkit
