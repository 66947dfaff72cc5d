#include "cwa/column.hpp"

#include <cstdint>
#include <sys/mman.h>

namespace cwa {

void advise_huge_pages(void* data, std::size_t bytes) noexcept {
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    constexpr std::size_t page = 4096;
    if (bytes < 4 * huge_page) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(page - 1);
    // Only advice: where the kernel declines, small pages serve as before.
    ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace cwa
