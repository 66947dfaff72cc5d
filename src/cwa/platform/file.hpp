// Files as the system gives them: the one place that opens, reads, writes, seeks, inspects,
// renames and removes them. A failure is an errno-style code (ENOENT, EACCES, ...) on every
// system, so that the core describes it in one way. Every call is a single attempt: a call that a
// signal interrupted fails with EINTR, and its caller decides whether to stop or try again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>

namespace cwa::platform {

template <class T>
using SystemResult = std::expected<T, int>;
using SystemStatus = std::expected<void, int>;

// Owns one open file: a descriptor on POSIX, a HANDLE on Windows. Both systems use -1 for none.
class File {
public:
    using Native = std::intptr_t;

    File() noexcept = default;
    explicit File(Native native) noexcept : native_(native) {}
    File(File&& other) noexcept : native_(std::exchange(other.native_, none)) {}
    File& operator=(File&& other) noexcept {
        if (this != &other) {
            static_cast<void>(close());
            native_ = std::exchange(other.native_, none);
        }
        return *this;
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() { static_cast<void>(close()); }

    Native native() const noexcept { return native_; }
    // Some file systems report a failed write only when the file is closed, so a writer asks.
    SystemStatus close() noexcept;

private:
    static constexpr Native none = -1;
    Native native_ = none;
};

SystemResult<File> open_for_reading(const std::string& path);
// Creates the file (with the permissions a new file gets by default) or truncates it.
SystemResult<File> open_for_writing(const std::string& path);
// Opens an existing file for writing without changing it, and without waiting on a pipe: proof
// that it could be overwritten.
SystemResult<File> open_existing_for_writing(const std::string& path);
// Creates a file that must not exist yet (EEXIST otherwise). Without `mode` it gets the
// permissions a new file gets by default; with one, those bits (as a file being replaced had).
SystemResult<File> create_new(const std::string& path, std::optional<std::uint32_t> mode);

// One read; 0 means end of file.
SystemResult<std::size_t> read_some(const File& file, void* buffer, std::size_t length);
// One write; it may write fewer bytes than asked.
SystemResult<std::size_t> write_some(const File& file, const void* data, std::size_t length);
SystemStatus seek(const File& file, std::uint64_t offset);
SystemResult<std::uint64_t> size(const File& file);

// What stands at a path about to be written.
struct PathInfo {
    // absent: nothing, and the folder may get a new file there. regular: an ordinary file.
    // other: a device, a pipe, a folder, a dangling link, or a path the system refuses to look
    // at; whatever it is, writing to it directly says what happens.
    enum class Kind { absent, regular, other };
    Kind kind = Kind::other;
    std::uint32_t mode = 0;  // permission bits of a regular file
    std::string target;      // a regular file reached through links: its own path; else empty
};
PathInfo inspect_path(const std::string& path);

// Whether two paths name one file (any link or spelling of it); false when either is missing.
bool same_file(const std::string& first, const std::string& second);

// `name` in the folder that holds `path`; empty when `path` names no file in a folder (it is
// empty, or ends in a separator).
std::string sibling_path(const std::string& path, const std::string& name);

// Puts `from` in the place of `to` in one step: readers see the old file or the new one.
SystemStatus replace_file(const std::string& from, const std::string& to);
SystemStatus remove_file(const std::string& path);

}  // namespace cwa::platform
