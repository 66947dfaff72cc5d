// The Windows side of the platform layer; the POSIX side compiles to nothing here.
#ifdef _WIN32
#include "cwa/platform/file.hpp"

#include <cerrno>
#include <climits>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace cwa::platform {

namespace {

// The errno value the C runtime itself would give, so that a failure reads as it does on POSIX.
int errno_from(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_FILENAME_EXCED_RANGE:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_NETWORK_ACCESS_DENIED:
        case ERROR_CANNOT_MAKE:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_INVALID_HANDLE:
            return EBADF;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_FILE_TOO_LARGE:
            return EFBIG;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
            return EPIPE;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_PARAMETER:
        case ERROR_NEGATIVE_SEEK:
            return EINVAL;
        default:
            return EIO;
    }
}

std::unexpected<int> last_error() { return std::unexpected(errno_from(::GetLastError())); }

HANDLE handle_of(const File& file) { return reinterpret_cast<HANDLE>(file.native()); }

// Paths arrive as UTF-8 (Python's file-system encoding on Windows); the system wants UTF-16.
// A name that is not valid UTF-8 cannot name a file here.
SystemResult<std::wstring> wide(const std::string& path) {
    if (path.empty()) return std::wstring();
    if (path.size() > INT_MAX) return std::unexpected(ENAMETOOLONG);
    const int bytes = static_cast<int>(path.size());
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), bytes, nullptr, 0);
    if (length <= 0) return std::unexpected(EINVAL);
    std::wstring out(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), bytes, out.data(), length);
    return out;
}

std::string narrow(const std::wstring& text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    const int chars = static_cast<int>(text.size());
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), chars, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    std::string out(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), chars, out.data(), length, nullptr, nullptr);
    return out;
}

SystemResult<File> open_file(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                             DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    auto name = wide(path);
    if (!name) return std::unexpected(name.error());
    const HANDLE handle = ::CreateFileW(name->c_str(), access, share, nullptr, disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return last_error();
    return File(reinterpret_cast<File::Native>(handle));
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A handle that only asks about a file (or folder), whatever its access rights.
SystemResult<File> open_for_query(const std::string& path) {
    return open_file(path, 0, share_all, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
}

// Each call moves at most this much, since the system counts bytes in 32 bits.
DWORD chunk(std::size_t length) { return static_cast<DWORD>(length < (DWORD{1} << 30) ? length : DWORD{1} << 30); }

}  // namespace

SystemStatus File::close() noexcept {
    const Native handle = std::exchange(native_, none);
    if (handle != none && !::CloseHandle(reinterpret_cast<HANDLE>(handle))) return last_error();
    return {};
}

SystemResult<File> open_for_reading(const std::string& path) {
    return open_file(path, GENERIC_READ, share_all, OPEN_EXISTING);
}

SystemResult<File> open_for_writing(const std::string& path) {
    return open_file(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
}

SystemResult<File> open_existing_for_writing(const std::string& path) {
    return open_file(path, GENERIC_WRITE, share_all, OPEN_EXISTING);
}

// Windows keeps no POSIX permission bits: a new file takes the access rules of its folder.
SystemResult<File> create_new(const std::string& path, std::optional<std::uint32_t>) {
    return open_file(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW);
}

SystemResult<std::size_t> read_some(const File& file, void* buffer, std::size_t length) {
    DWORD got = 0;
    if (!::ReadFile(handle_of(file), buffer, chunk(length), &got, nullptr)) {
        const DWORD error = ::GetLastError();
        // A pipe whose writer has gone is at its end, not broken.
        if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return 0;
        return std::unexpected(errno_from(error));
    }
    return static_cast<std::size_t>(got);
}

SystemResult<std::size_t> write_some(const File& file, const void* data, std::size_t length) {
    DWORD wrote = 0;
    if (!::WriteFile(handle_of(file), data, chunk(length), &wrote, nullptr)) return last_error();
    return static_cast<std::size_t>(wrote);
}

SystemStatus seek(const File& file, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return std::unexpected(EINVAL);
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(handle_of(file), distance, nullptr, FILE_BEGIN)) return last_error();
    return {};
}

SystemResult<std::uint64_t> size(const File& file) {
    LARGE_INTEGER bytes;
    if (!::GetFileSizeEx(handle_of(file), &bytes)) return last_error();
    return static_cast<std::uint64_t>(bytes.QuadPart);
}

PathInfo inspect_path(const std::string& path) {
    PathInfo info;
    auto file = open_for_query(path);
    if (!file) {
        const DWORD error = ::GetLastError();
        if (file.error() == ENOENT && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) {
            info.kind = PathInfo::Kind::absent;
        }
        return info;
    }
    // Devices such as NUL and CON, pipes and consoles are not disk files.
    BY_HANDLE_FILE_INFORMATION data;
    if (::GetFileType(handle_of(*file)) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle_of(*file), &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return info;
    }
    auto name = wide(path);
    const DWORD attributes = name ? ::GetFileAttributesW(name->c_str()) : INVALID_FILE_ATTRIBUTES;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // Writing through a link changes the file it leads to, so that file is the one replaced.
        std::wstring target(MAX_PATH, L'\0');
        DWORD length = ::GetFinalPathNameByHandleW(handle_of(*file), target.data(), MAX_PATH, FILE_NAME_NORMALIZED);
        if (length >= MAX_PATH) {
            target.assign(length, L'\0');
            length = ::GetFinalPathNameByHandleW(handle_of(*file), target.data(), length, FILE_NAME_NORMALIZED);
        }
        if (length == 0 || length >= target.size()) return info;
        target.resize(length);
        info.target = narrow(target);
        if (info.target.empty()) return info;
    }
    info.kind = PathInfo::Kind::regular;
    info.mode = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
    return info;
}

bool same_file(const std::string& first, const std::string& second) {
    auto a = open_for_query(first);
    auto b = open_for_query(second);
    BY_HANDLE_FILE_INFORMATION x, y;
    if (!a || !b) return false;
    if (!::GetFileInformationByHandle(handle_of(*a), &x) || !::GetFileInformationByHandle(handle_of(*b), &y)) {
        return false;
    }
    return x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

std::string sibling_path(const std::string& path, const std::string& name) {
    if (path.empty() || path.back() == '/' || path.back() == '\\' || path.back() == ':') return {};
    const auto end = path.find_last_of("/\\:");
    return end == std::string::npos ? name : path.substr(0, end + 1) + name;
}

SystemStatus replace_file(const std::string& from, const std::string& to) {
    auto source = wide(from);
    auto target = wide(to);
    if (!source) return std::unexpected(source.error());
    if (!target) return std::unexpected(target.error());
    if (!::MoveFileExW(source->c_str(), target->c_str(), MOVEFILE_REPLACE_EXISTING)) return last_error();
    return {};
}

SystemStatus remove_file(const std::string& path) {
    auto name = wide(path);
    if (!name) return std::unexpected(name.error());
    if (!::DeleteFileW(name->c_str())) return last_error();
    return {};
}

}  // namespace cwa::platform

#endif  // _WIN32
