// The Windows side of the platform layer; the POSIX side compiles to nothing here.
#ifdef _WIN32
#include "cwa/platform/memory.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace cwa::platform {

std::uint64_t usable_memory_bytes() noexcept {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!::GlobalMemoryStatusEx(&status) || status.ullTotalPhys == 0) return UINT64_MAX;
    return status.ullTotalPhys;
}

}  // namespace cwa::platform

#endif  // _WIN32
