// The Windows side of the platform layer; the POSIX side compiles to nothing here.
#ifdef _WIN32
#include "cwa/platform/memory_advice.hpp"

namespace cwa::platform {

// Large pages on Windows need a privilege and memory allocated for them from the start; heap
// memory cannot be switched over afterwards.
void advise_huge_pages(void*, std::size_t) noexcept {}

}  // namespace cwa::platform

#endif  // _WIN32
