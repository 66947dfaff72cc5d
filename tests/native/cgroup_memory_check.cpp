// Prints the cgroup memory limit read under the root directory given as the only argument, so
// that tests can hand it fake /proc and /sys trees; "max" when there is none.
#include "cwa/platform/memory.hpp"

#include <cinttypes>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s ROOT\n", argv[0]);
        return 2;
    }
    const std::uint64_t limit = cwa::platform::cgroup_memory_limit_bytes(argv[1]);
    if (limit == UINT64_MAX) {
        std::puts("max");
    } else {
        std::printf("%" PRIu64 "\n", limit);
    }
    return 0;
}
