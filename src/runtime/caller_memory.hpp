// Memory that belongs to a caller, the elements of an argument array above
// all, may change while a call reads it: another thread can write it at any
// moment, with or without the interpreter lock (a NumPy copy releases it).
// So it is read once, by a copy into memory the module owns, and only the
// copy is checked and used. The worst a writer can then cause is a torn
// input, never a value that passed a check and is read again as another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace twirlkit {

// Keeps the compiler from reading a caller's memory again in place of the
// copy just made of it: after this, as far as it knows, either may have
// changed.
inline void after_copy_in() noexcept { asm volatile("" ::: "memory"); }

namespace detail {

// A plain loop, which the compiler turns into vector moves: the library's
// memcpy measured several times slower on runs of a few KiB from memory
// outside the caches, the usual case here.
template <class T>
inline void copy_elements(T* to, const T* from, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) to[i] = from[i];
}

}  // namespace detail

// to[0..count) = from[0..count), each element of `from` read once.
template <class T>
void copy_in(T* to, const T* from, std::size_t count) noexcept {
    static_assert(std::is_trivially_copyable_v<T>);
    detail::copy_elements(to, from, count);
    after_copy_in();
}

// The integer element types an argument array may hold.
enum class IntegerType : std::uint8_t { int8, uint8, int16, uint16, int32, uint32, int64, uint64 };

// Calls f(S{}) with the storage type S of `type`.
template <class F>
decltype(auto) with_integer_type(IntegerType type, F&& f) {
    switch (type) {
        case IntegerType::int8: return f(std::int8_t{});
        case IntegerType::uint8: return f(std::uint8_t{});
        case IntegerType::int16: return f(std::int16_t{});
        case IntegerType::uint16: return f(std::uint16_t{});
        case IntegerType::int32: return f(std::int32_t{});
        case IntegerType::uint32: return f(std::uint32_t{});
        case IntegerType::int64: return f(std::int64_t{});
        case IntegerType::uint64: break;
    }
    return f(std::uint64_t{});
}

// A caller's matrix of integers, in any layout: element (r, c) is the
// integer of `type` at byte offset r * row_stride + c * col_stride from
// `data`, in this machine's byte order, or the other one when `swapped`,
// and aligned or not. A vector is a matrix of one column.
struct CallerIntegers {
    const std::byte* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;
    IntegerType type = IntegerType::int64;
    bool swapped = false;
};

namespace detail {

template <class S>
inline S byte_swapped(S value) noexcept {
    using U = std::make_unsigned_t<S>;
    U bits = static_cast<U>(value);
    if constexpr (sizeof(S) == 2) bits = __builtin_bswap16(bits);
    if constexpr (sizeof(S) == 4) bits = __builtin_bswap32(bits);
    if constexpr (sizeof(S) == 8) bits = __builtin_bswap64(bits);
    return static_cast<S>(bits);
}

}  // namespace detail

// Rows [begin, end) of `m`, whose elements are of type S, copied row after
// row into `out` as T: each element is read once and converted as a C++
// cast converts it, which is how NumPy's astype converts integers (a
// negative value wraps round an unsigned T).
template <class S, class T>
void copy_typed_rows_in(const CallerIntegers& m, std::size_t begin, std::size_t end, T* out) noexcept {
    static_assert(std::is_integral_v<S> && std::is_integral_v<T>);
    const std::size_t cols = m.cols;
    const bool dense_rows = sizeof(S) == sizeof(T) && !m.swapped &&
                            m.col_stride == static_cast<std::ptrdiff_t>(sizeof(S));
    if (dense_rows && m.row_stride == static_cast<std::ptrdiff_t>(cols * sizeof(S)) &&
        reinterpret_cast<std::uintptr_t>(m.data) % alignof(T) == 0) {
        detail::copy_elements(
            out, reinterpret_cast<const T*>(m.data + static_cast<std::ptrdiff_t>(begin) * m.row_stride),
            (end - begin) * cols);
        after_copy_in();
        return;
    }
    for (std::size_t r = begin; r < end; ++r) {
        const std::byte* row = m.data + static_cast<std::ptrdiff_t>(r) * m.row_stride;
        T* to = out + (r - begin) * cols;
        if (dense_rows) {
            // Equal widths: the cast keeps the bits.
            std::memcpy(to, row, cols * sizeof(T));
            continue;
        }
        for (std::size_t c = 0; c < cols; ++c) {
            S value;
            std::memcpy(&value, row + static_cast<std::ptrdiff_t>(c) * m.col_stride, sizeof(S));
            if constexpr (sizeof(S) > 1) {
                if (m.swapped) value = detail::byte_swapped(value);
            }
            to[c] = static_cast<T>(value);
        }
    }
    after_copy_in();
}

// copy_rows_in for a matrix whose element type is known only at run time.
template <class T>
void copy_rows_in(const CallerIntegers& m, std::size_t begin, std::size_t end, T* out) noexcept {
    with_integer_type(m.type, [&](auto zero) {
        copy_typed_rows_in<decltype(zero)>(m, begin, end, out);
    });
}

}  // namespace twirlkit
