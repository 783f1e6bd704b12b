// The argument readers that CubeBatch's data, algebra and search methods
// share: seeds, flags, integer array-likes, other batches and their
// lengths, and positions given as indexes or masks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <variant>
#include <vector>

#include "binding/batch_object.hpp"
#include "binding/binding.hpp"
#include "binding/numpy_interop.hpp"

namespace twirlkit {

// match_arguments where only the first `positional` names may be given by
// position and the rest are keyword-only.
bool match_some_keyword_only(const char* function, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, std::span<const char* const> names,
                             std::size_t positional, std::size_t required,
                             std::span<PyObject*> out) noexcept;

// A truth value; absent (nullptr) leaves `out` as it is.
bool convert_flag(PyObject* object, bool& out) noexcept;

// `name` of the module `dotted_module`, imported on first use.
OwnedRef numpy_attribute(const char* dotted_module, const char* name) noexcept;

// The seed of a seeded call: nullopt for None (or absent), an int with
// 0 <= seed < 2**64, or one 64-bit draw of a numpy.random.Generator,
// gen.integers(0, 2**64, dtype=numpy.uint64).
bool convert_seed(PyObject* object, std::optional<std::uint64_t>& out);

// An integer array-like of one or two dimensions (or, where `scalar_ok`,
// none), read in place in its own element type.
struct IntArray {
    IntegerRead read;
    std::int64_t scalar = 0;
    std::size_t rows = 0;
    std::size_t cols = 0;
    int ndim = 0;

    // Calls f(i, value) for the elements in row-major order until f returns
    // false. Each element of the caller's array is read exactly once, staged
    // into memory of this call's a few rows at a time, and only the copy is
    // checked and used; uint64 values above int64's range arrive as its top.
    template <class F>
    void for_each(F&& f) const {
        if (ndim == 0) {
            f(std::size_t{0}, scalar);
            return;
        }
        if (rows == 0 || cols == 0) return;
        const CallerIntegers& m = read.elements;
        with_integer_type(m.type, [&](auto zero) {
            using S = decltype(zero);
            const std::size_t step = std::max<std::size_t>(1, 4096 / cols);
            std::vector<S> stage(std::min(rows, step) * cols);
            for (std::size_t base = 0; base < rows; base += step) {
                const std::size_t stop = std::min(rows, base + step);
                copy_typed_rows_in<S>(m, base, stop, stage.data());
                for (std::size_t k = 0; k < (stop - base) * cols; ++k) {
                    if (!f(base * cols + k, clamp(stage[k]))) return;
                }
            }
        });
    }

private:
    template <class T>
    static std::int64_t clamp(T v) noexcept {
        if constexpr (std::is_same_v<T, std::uint64_t>) {
            constexpr auto top = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
            return static_cast<std::int64_t>(v > top ? top : v);
        } else {
            return static_cast<std::int64_t>(v);
        }
    }
};

bool read_int_array(PyObject* object, const char* parameter, bool scalar_ok, IntArray& out);

bool is_batch(PyObject* object) noexcept;

// "Cube3x3" or "Cube2x2".
const char* cube_name(const CubeBatchObject* batch) noexcept;

// Another batch of the same cube type: TypeError otherwise.
bool check_other(const char* parameter, CubeBatchObject* self, PyObject* other);

// ValueError unless `given` is n (or 1, where `one_ok`).
bool check_length(const char* parameter, std::size_t given, std::size_t n, bool one_ok) noexcept;

template <class C>
std::span<const C> cubes_of(CubeBatchObject* batch) noexcept {
    return std::span<const C>(std::get<StateVector<C>>(batch->storage));
}

// Positions of `indices` in a batch of n: an integer array-like (negative
// values count from the end, as for take) or a boolean mask of length n.
bool read_positions(PyObject* indices, std::size_t n, std::vector<std::size_t>& positions);

}  // namespace twirlkit
