// How much memory this process may use: the one question about memory the core asks the system.
#pragma once

#include <cstdint>
#include <string>

namespace cwa::platform {

// The memory this process can expect to get, in bytes; UINT64_MAX when the system cannot say.
// Inside a container that is the smaller of physical memory and its cgroup's memory limit.
std::uint64_t usable_memory_bytes() noexcept;

#ifndef _WIN32
// The smallest cgroup v2 memory limit ("memory.max") on the way from this process's cgroup up to
// the top of the hierarchy, with the file system taken from `root` ("/" for the running
// system; a test's fake tree otherwise). UINT64_MAX when no limit is set or none can be read.
std::uint64_t cgroup_memory_limit_bytes(const std::string& root);
#endif

}  // namespace cwa::platform
