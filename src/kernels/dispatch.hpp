// The one place where a batch kernel's build is chosen: the AVX2 build or
// the portable one, as runtime/cpu_features.hpp decided once for the
// process. Each kernel comes as a template on `bool Vector` with both builds
// giving the same result; its entry point hands this a generic lambda.
#pragma once

#include <type_traits>

#include "runtime/cpu_features.hpp"

namespace twirlkit {

// run(std::true_type{}) where the AVX2 kernels run, else
// run(std::false_type{}); the argument's ::value is the Vector parameter.
template <class Run>
decltype(auto) with_kernel_build(Run&& run) {
    if (detail::avx2_kernels()) return run(std::true_type{});
    return run(std::false_type{});
}

}  // namespace twirlkit
