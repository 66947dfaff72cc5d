// Hints to the system about how memory will be used; never required for correctness.
#pragma once

#include <cstddef>

namespace cwa::platform {

// Asks for huge pages behind a large allocation: a week of samples is gigabytes of columns, and
// first-touch faults on 4 KiB pages would cost more than decoding them. A system without such
// advice (or one that declines it) serves the memory in small pages as before.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

}  // namespace cwa::platform
