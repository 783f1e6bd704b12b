// The buffer behind every output array: rows x cols elements of one element
// type, owned with the routine that frees it, written by the kernels while
// the interpreter lock is released and handed to NumPy without a copy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

#include "runtime/buffer_cache.hpp"

namespace twirlkit {

// The element types that arrays cross the boundary in; a float16 is held as
// its 16-bit pattern on the native side.
enum class Element : std::uint8_t {
    int8, uint8, int16, int32, int64, uint64, float16, float32, float64, boolean
};

inline constexpr std::size_t ELEMENT_COUNT = 10;

// The element types' storage on the native side, in the order of the
// enumeration: the one table that every switch over Element derives from.
using ElementStorage = std::tuple<std::int8_t, std::uint8_t, std::int16_t, std::int32_t,
                                  std::int64_t, std::uint64_t, std::uint16_t, float, double,
                                  std::uint8_t>;
static_assert(std::tuple_size_v<ElementStorage> == ELEMENT_COUNT &&
              static_cast<std::size_t>(Element::boolean) + 1 == ELEMENT_COUNT);

// NumPy's names of the element types, in the same order.
inline constexpr std::array<const char*, ELEMENT_COUNT> ELEMENT_NAMES{
    "int8", "uint8", "int16", "int32", "int64", "uint64", "float16", "float32", "float64", "bool"};

constexpr std::size_t element_index(Element element) noexcept {
    return static_cast<std::size_t>(element);
}

// Calls f(T{}) with the storage type T of `element`.
template <class F>
constexpr void with_element_storage(Element element, F&& f) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((element_index(element) == I ? (f(std::tuple_element_t<I, ElementStorage>{}), 0) : 0), ...);
    }(std::make_index_sequence<ELEMENT_COUNT>{});
}

constexpr std::size_t element_size(Element element) noexcept {
    std::size_t size = 0;
    with_element_storage(element, [&](auto zero) { size = sizeof(zero); });
    return size;
}

static_assert(element_size(Element::float16) == 2 && element_size(Element::boolean) == 1 &&
              element_size(Element::float64) == 8);

struct MatrixShape {
    std::size_t rows;
    std::size_t cols;
};

// The shape of `items * rows_per_item` rows of `cols` elements of
// `element_bytes` each. The element count must fit a signed pointer-sized
// integer (NumPy's npy_intp) and so must the byte size (the largest
// allocation the platform allows).
inline MatrixShape checked_output_shape(std::size_t items, std::size_t rows_per_item,
                                        std::size_t cols,
                                        std::size_t element_bytes = sizeof(std::int64_t)) {
    constexpr auto limit = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    std::size_t rows = 0;
    std::size_t elements = 0;
    if (__builtin_mul_overflow(items, rows_per_item, &rows) ||
        __builtin_mul_overflow(rows, cols, &elements) || elements > limit) {
        throw std::length_error("output shape (" + std::to_string(items) + " * " +
                                std::to_string(rows_per_item) + ", " + std::to_string(cols) +
                                ") is too large for the address space");
    }
    if (elements > limit / element_bytes) throw std::length_error("capacity overflow");
    return {rows, cols};
}

// An owned row-major buffer and the routine that frees it. Move-only;
// ownership passes on to whoever takes release(), in the end the holder
// object behind a NumPy array.
class OutputBuffer {
public:
    // `capacity` is the buffer's size in bytes as allocated (at least
    // bytes()), handed back to the routine that frees it.
    using FreeFn = void (*)(void* data, std::size_t capacity) noexcept;

    OutputBuffer() noexcept = default;
    OutputBuffer(void* buffer, std::size_t row_count, std::size_t col_count, Element type,
                 std::size_t capacity_bytes, FreeFn release_fn) noexcept
        : data_(buffer),
          rows_(row_count),
          cols_(col_count),
          capacity_(capacity_bytes),
          free_fn_(release_fn),
          element_(type) {}
    ~OutputBuffer() { reset(); }

    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;
    OutputBuffer(OutputBuffer&& other) noexcept { take(other); }
    OutputBuffer& operator=(OutputBuffer&& other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }

    void* data() const noexcept { return data_; }
    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    Element element() const noexcept { return element_; }
    std::size_t bytes() const noexcept { return rows_ * cols_ * element_size(element_); }
    std::size_t capacity() const noexcept { return capacity_; }
    FreeFn free_fn() const noexcept { return free_fn_; }

    // The elements as T, which must be the storage type of element().
    template <class T>
    T* elements() const noexcept {
        return static_cast<T*>(data_);
    }
    template <class T>
    T* row(std::size_t r) const noexcept {
        return elements<T>() + r * cols_;
    }

    // Gives up the buffer without freeing it; the caller must free it with
    // free_fn() and capacity() read beforehand.
    void* release() noexcept {
        rows_ = cols_ = capacity_ = 0;
        free_fn_ = nullptr;
        return std::exchange(data_, nullptr);
    }

    // An uninitialised rows x cols buffer of `element`, of a shape that
    // checked_output_shape accepted: the kernels write every element before
    // anyone reads one. Throws std::bad_alloc when memory is refused.
    static OutputBuffer allocate(std::size_t rows, std::size_t cols, Element element);

private:
    void reset() noexcept {
        if (data_ != nullptr && free_fn_ != nullptr) free_fn_(data_, capacity_);
        data_ = nullptr;
    }
    void take(OutputBuffer& other) noexcept {
        data_ = std::exchange(other.data_, nullptr);
        rows_ = std::exchange(other.rows_, 0);
        cols_ = std::exchange(other.cols_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        free_fn_ = std::exchange(other.free_fn_, nullptr);
        element_ = other.element_;
    }

    void* data_ = nullptr;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::size_t capacity_ = 0;
    FreeFn free_fn_ = nullptr;
    Element element_ = Element::int64;
};

namespace detail {

// An empty buffer still needs a real address: NumPy allocates (and then
// owns) memory of its own when handed a null data pointer.
alignas(64) inline std::int64_t empty_matrix_storage[1]{};

inline void keep_static_buffer(void*, std::size_t) noexcept {}
inline void free_heap_buffer(void* data, std::size_t) noexcept { std::free(data); }
inline void release_mapped_buffer(void* data, std::size_t capacity) noexcept {
    release_mapped(data, capacity);
}

inline constexpr std::size_t HUGE_PAGE = HUGE_PAGE_BYTES;
// From here on a buffer comes from the cache of freed outputs
// (buffer_cache.hpp): a steady loop gets warm pages whatever glibc does with
// its heap around the call. Smaller buffers are too cheap to fault much.
inline constexpr std::size_t MAP_THRESHOLD = CACHE_THRESHOLD;

}  // namespace detail

inline OutputBuffer OutputBuffer::allocate(std::size_t rows, std::size_t cols, Element element) {
    const std::size_t bytes = rows * cols * element_size(element);
    if (bytes == 0) {
        return OutputBuffer(detail::empty_matrix_storage, rows, cols, element, 0,
                            &detail::keep_static_buffer);
    }
    if (bytes >= detail::MAP_THRESHOLD) {
        std::size_t length = 0;
        void* data = acquire_mapped(bytes, length);
        return OutputBuffer(data, rows, cols, element, length, &detail::release_mapped_buffer);
    }
    void* data = std::malloc(bytes);
    if (data == nullptr) throw AllocationError(bytes);
    return OutputBuffer(data, rows, cols, element, bytes, &detail::free_heap_buffer);
}

}  // namespace twirlkit
