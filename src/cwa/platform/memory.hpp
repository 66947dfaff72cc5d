// How much memory this process may use: the one question about memory the core asks the system.
#pragma once

#include <cstdint>

namespace cwa::platform {

// The memory this process can expect to get, in bytes; UINT64_MAX when the system cannot say.
std::uint64_t usable_memory_bytes() noexcept;

}  // namespace cwa::platform
