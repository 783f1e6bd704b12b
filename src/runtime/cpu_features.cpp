#include "runtime/cpu_features.hpp"

#include <unistd.h>

#include <cstdlib>
#include <string_view>

namespace twirlkit::detail {

bool cpu_has_avx2() noexcept {
#if defined(__x86_64__)
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
#else
    return false;
#endif
}

bool avx2_kernels() noexcept {
    static const bool chosen = [] {
        const char* portable = std::getenv("TWIRLKIT_PORTABLE_KERNELS");
        const bool forced = portable != nullptr && std::string_view(portable) == "1";
        return cpu_has_avx2() && !forced;
    }();
    return chosen;
}

std::size_t last_level_cache_bytes() noexcept {
    static const std::size_t bytes = [] {
        long size = -1;
#if defined(_SC_LEVEL3_CACHE_SIZE)
        size = ::sysconf(_SC_LEVEL3_CACHE_SIZE);
#endif
#if defined(_SC_LEVEL2_CACHE_SIZE)
        if (size <= 0) size = ::sysconf(_SC_LEVEL2_CACHE_SIZE);
#endif
        return size > 0 ? static_cast<std::size_t>(size) : std::size_t{0};
    }();
    return bytes;
}

}  // namespace twirlkit::detail
