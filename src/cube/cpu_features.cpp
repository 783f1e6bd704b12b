#include "cube/cpu_features.hpp"

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

}  // namespace twirlkit::detail
