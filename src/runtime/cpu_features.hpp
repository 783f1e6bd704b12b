// What the CPU running the process can execute, for the kernels that come in
// a baseline build and a build for a wider instruction set. Each is read
// once; the baseline build is what every x86-64 (and every other) CPU runs.
#pragma once

#include <cstddef>

namespace twirlkit::detail {

// True when the CPU runs AVX2 code (always false off x86-64).
bool cpu_has_avx2() noexcept;

// Whether the kernels run their AVX2 builds: where the CPU has AVX2 and the
// environment does not set TWIRLKIT_PORTABLE_KERNELS=1, which forces the
// portable builds everywhere (to test them, or to rule the vector code out).
// Read once, at the first call. Its callers: the kernels' one dispatch
// (kernels/dispatch.hpp) and the wide ChaCha8 refill (random.cpp).
bool avx2_kernels() noexcept;

// The size of the last-level cache in bytes as the C library reports it,
// or 0 where it does not.
std::size_t last_level_cache_bytes() noexcept;

}  // namespace twirlkit::detail
