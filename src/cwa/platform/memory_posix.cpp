// The POSIX side of the platform layer; the Windows side compiles to nothing here.
#ifndef _WIN32
#include "cwa/platform/memory.hpp"

#include <unistd.h>

namespace cwa::platform {

std::uint64_t usable_memory_bytes() noexcept {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return UINT64_MAX;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

}  // namespace cwa::platform

#endif  // _WIN32
