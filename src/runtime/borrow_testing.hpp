// What the tests of the borrow flags see of their insides.
#pragma once

#include <cstddef>

namespace twirlkit {

// The number of fork-safe shared holds alive in the process.
std::size_t fork_safe_hold_count() noexcept;

}  // namespace twirlkit
