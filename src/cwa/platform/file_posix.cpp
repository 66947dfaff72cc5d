// The POSIX side of the platform layer; the Windows side compiles to nothing here.
#ifndef _WIN32
#include "cwa/platform/file.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cwa::platform {

namespace {

int fd_of(const File& file) { return static_cast<int>(file.native()); }

SystemResult<File> open_file(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0) return std::unexpected(errno);
    return File(fd);
}

}  // namespace

SystemStatus File::close() noexcept {
    const Native fd = std::exchange(native_, none);
    // Linux releases the descriptor even when close is interrupted; trying again could close
    // a descriptor another thread has just been given.
    if (fd != none && ::close(static_cast<int>(fd)) != 0 && errno != EINTR) return std::unexpected(errno);
    return {};
}

SystemResult<File> open_for_reading(const std::string& path) { return open_file(path, O_RDONLY); }

SystemResult<File> open_for_writing(const std::string& path) {
    return open_file(path, O_WRONLY | O_CREAT | O_TRUNC);
}

SystemResult<File> open_existing_for_writing(const std::string& path) {
    return open_file(path, O_WRONLY | O_NONBLOCK);
}

SystemResult<File> create_new(const std::string& path, std::optional<std::uint32_t> mode) {
    auto file = open_file(path, O_WRONLY | O_CREAT | O_EXCL);
    if (file && mode && ::fchmod(fd_of(*file), static_cast<mode_t>(*mode)) != 0) {
        const int code = errno;
        file = std::unexpected(code);
        ::unlink(path.c_str());
    }
    return file;
}

SystemResult<std::size_t> read_some(const File& file, void* buffer, std::size_t length) {
    const ssize_t got = ::read(fd_of(file), buffer, length);
    if (got < 0) return std::unexpected(errno);
    return static_cast<std::size_t>(got);
}

SystemResult<std::size_t> write_some(const File& file, const void* data, std::size_t length) {
    const ssize_t wrote = ::write(fd_of(file), data, length);
    if (wrote < 0) return std::unexpected(errno);
    return static_cast<std::size_t>(wrote);
}

SystemStatus seek(const File& file, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return std::unexpected(EINVAL);
    if (::lseek(fd_of(file), static_cast<off_t>(offset), SEEK_SET) < 0) return std::unexpected(errno);
    return {};
}

SystemResult<std::uint64_t> size(const File& file) {
    struct stat info;
    if (::fstat(fd_of(file), &info) != 0) return std::unexpected(errno);
    return static_cast<std::uint64_t>(info.st_size);
}

PathInfo inspect_path(const std::string& path) {
    PathInfo info;
    struct stat status, link;
    if (::stat(path.c_str(), &status) != 0) {
        // Missing, unless a dangling link stands there: opening it for writing creates its target.
        if (errno == ENOENT && ::lstat(path.c_str(), &link) != 0 && errno == ENOENT) {
            info.kind = PathInfo::Kind::absent;
        }
        return info;
    }
    if (!S_ISREG(status.st_mode)) return info;
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        // Writing through a link changes the file it leads to, so that file is the one replaced.
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) return info;
        info.target = resolved;
        std::free(resolved);
    }
    info.kind = PathInfo::Kind::regular;
    info.mode = static_cast<std::uint32_t>(status.st_mode & 07777);
    return info;
}

bool same_file(const std::string& first, const std::string& second) {
    struct stat a, b;
    if (::stat(first.c_str(), &a) != 0 || ::stat(second.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string sibling_path(const std::string& path, const std::string& name) {
    if (path.empty() || path.back() == '/') return {};
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? name : path.substr(0, slash + 1) + name;
}

SystemStatus replace_file(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(errno);
    return {};
}

SystemStatus remove_file(const std::string& path) {
    if (::unlink(path.c_str()) != 0) return std::unexpected(errno);
    return {};
}

}  // namespace cwa::platform

#endif  // _WIN32
