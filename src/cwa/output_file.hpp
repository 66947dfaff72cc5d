// The file an export writes, which never shows a half-written export.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "cwa/error.hpp"
#include "cwa/platform/file.hpp"

namespace cwa {

// An ordinary file, or a name where nothing stands yet, is written as a temporary file in the
// same folder, which takes the name only when commit() succeeds: a failed or interrupted export
// leaves whatever stood there as it was, and removes the temporary file. A replaced file keeps
// its permissions; a new one gets those any new file gets. Devices and pipes (/dev/stdout, a
// FIFO) cannot be replaced, so they are written directly.
class OutputFile {
public:
    // Fails as creating or truncating `path` would fail, before anything is written.
    static Result<OutputFile> create(const std::string& path);

    OutputFile(OutputFile&& other) noexcept
        : file_(std::move(other.file_)),
          temporary_(std::exchange(other.temporary_, {})),
          destination_(std::move(other.destination_)) {}
    OutputFile& operator=(OutputFile&&) = delete;
    ~OutputFile();

    // True when the bytes go straight to `path` (or the file has been committed).
    bool writes_in_place() const noexcept { return temporary_.empty(); }

    // Writes every byte, resuming after short writes. Returns how many were written and the
    // errno that stopped it: 0 when all were written, EINTR when a signal arrived, so the caller
    // can ask whether to stop before it carries on.
    std::pair<std::size_t, int> write_all(const char* data, std::size_t length) noexcept;

    // Closes the file, then puts it in place of `path`; a failure of either is the I/O kind.
    Status commit();

private:
    OutputFile(platform::File file, std::string temporary, std::string destination)
        : file_(std::move(file)), temporary_(std::move(temporary)), destination_(std::move(destination)) {}
    static Result<OutputFile> open_in_place(const std::string& path);

    platform::File file_;
    std::string temporary_;  // empty when writing in place, and once committed
    std::string destination_;
};

}  // namespace cwa
