// The POSIX side of the platform layer; the Windows side compiles to nothing here.
#ifndef _WIN32
#include "cwa/platform/memory_advice.hpp"

#include <cstdint>
#include <sys/mman.h>

namespace cwa::platform {

void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) noexcept {
    // Transparent huge pages are a Linux feature; macOS and the BSDs have no such advice.
#ifdef MADV_HUGEPAGE
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    constexpr std::size_t page = 4096;
    if (bytes < 4 * huge_page) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(page - 1);
    ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

}  // namespace cwa::platform

#endif  // _WIN32
