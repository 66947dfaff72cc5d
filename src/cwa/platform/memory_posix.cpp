// The POSIX side of the platform layer; the Windows side compiles to nothing here.
#ifndef _WIN32
#include "cwa/platform/memory.hpp"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <unistd.h>

namespace cwa::platform {

namespace {

std::uint64_t physical_memory_bytes() noexcept {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return UINT64_MAX;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

std::optional<std::string> read_text(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The unified hierarchy's entry of /proc/self/cgroup, "0::/a/b", as "/a/b".
std::optional<std::string> unified_cgroup_path(const std::string& proc_self_cgroup) {
    std::istringstream lines(proc_self_cgroup);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with("0::/")) return line.substr(3);
    }
    return std::nullopt;
}

// A memory.max file: a byte count, or "max" (or anything unreadable) for no limit.
std::uint64_t memory_max_bytes(const std::string& text) {
    std::uint64_t bytes = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, bytes);
    if (error != std::errc() || stop == text.data() || (stop != end && *stop != '\n')) return UINT64_MAX;
    return bytes;
}

}  // namespace

std::uint64_t cgroup_memory_limit_bytes(const std::string& root) {
    const std::string base = root.ends_with('/') ? root.substr(0, root.size() - 1) : root;
    const auto membership = read_text(base + "/proc/self/cgroup");
    if (!membership) return UINT64_MAX;
    auto path = unified_cgroup_path(*membership);
    if (!path) return UINT64_MAX;
    // A cgroup outside this process's namespace shows as "/../..": only the namespace's own
    // top, mounted at /sys/fs/cgroup, can be read then.
    if (path->find("/..") != std::string::npos) path = "/";
    const std::string mount = base + "/sys/fs/cgroup";

    // A limit on any ancestor bounds every cgroup below it.
    std::uint64_t limit = UINT64_MAX;
    std::string cgroup = *path;
    for (;;) {
        while (cgroup.size() > 1 && cgroup.back() == '/') cgroup.pop_back();
        const std::string directory = cgroup == "/" ? mount : mount + cgroup;
        if (const auto text = read_text(directory + "/memory.max")) limit = std::min(limit, memory_max_bytes(*text));
        if (cgroup == "/") break;
        cgroup.erase(cgroup.rfind('/'));
        if (cgroup.empty()) cgroup = "/";
    }
    return limit;
}

std::uint64_t usable_memory_bytes() noexcept {
    // Neither physical memory nor a cgroup's limit changes in a way a single read would see.
    static const std::uint64_t usable = []() noexcept {
        std::uint64_t bytes = physical_memory_bytes();
#ifdef __linux__
        try {
            bytes = std::min(bytes, cgroup_memory_limit_bytes("/"));
        } catch (...) {
            // Without the text of the cgroup files, physical memory is the best answer.
        }
#endif
        return bytes;
    }();
    return usable;
}

}  // namespace cwa::platform

#endif  // _WIN32
