#include "cwa/output_file.hpp"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>

#include "cwa/cancel.hpp"

namespace cwa {

namespace {

std::uint64_t fresh_seed() noexcept {
    auto seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    // A system without an entropy source still gets distinct names from the clock; a name that
    // is taken anyway is skipped, since temporary files are created exclusively.
    try {
        std::random_device device;
        seed ^= (std::uint64_t{device()} << 32) | device();
    } catch (...) {
    }
    return seed;
}

// A hidden name that says where it came from, should a killed process leave one behind, and
// that matches no "*.csv" a pipeline might collect.
std::string temporary_name() {
    static thread_local std::mt19937_64 generator(fresh_seed());
    constexpr char alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string name = ".kelpmoor-";
    for (int i = 0; i < 12; ++i) name += alphabet[generator() % (sizeof alphabet - 1)];
    return name + ".tmp";
}

constexpr int name_attempts = 100;

}  // namespace

Result<OutputFile> OutputFile::open_in_place(const std::string& path) {
    // Opening a pipe for writing waits for its reader; a signal meanwhile lets the call stop.
    CWA_TRY(file, retry_unless_cancelled([&] { return platform::open_for_writing(path); }));
    return OutputFile(std::move(file), {}, {});
}

Result<OutputFile> OutputFile::create(const std::string& path) {
    // The system would silently create the prefix before a NUL.
    if (path.find('\0') != std::string::npos) return fail(CwaError::io("file name contained an unexpected NUL byte"));
    const platform::PathInfo existing = platform::inspect_path(path);
    if (existing.kind == platform::PathInfo::Kind::other) return open_in_place(path);
    std::string destination = existing.target.empty() ? path : existing.target;

    std::optional<std::uint32_t> mode;
    if (existing.kind == platform::PathInfo::Kind::regular) {
        // Refused exactly where truncating the file would have been refused, and it stays as it is.
        auto probe = platform::open_existing_for_writing(destination);
        if (!probe) return fail(CwaError::io_from_errno(probe.error()));
        mode = existing.mode;
    }
    for (int attempt = 0; attempt < name_attempts; ++attempt) {
        std::string temporary = platform::sibling_path(destination, temporary_name());
        if (temporary.empty()) return open_in_place(path);
        auto file = platform::create_new(temporary, mode);
        if (file) return OutputFile(std::move(*file), std::move(temporary), std::move(destination));
        switch (file.error()) {
            case EEXIST:
                continue;
            case EINTR:
                CWA_CHECK(check_cancelled());
                continue;
            case EACCES:
            case EPERM:
                // A folder that takes no new files may still hold a file that can be overwritten:
                // that is written in place, as it always could be.
                if (mode) return open_in_place(path);
                [[fallthrough]];
            default:
                return fail(CwaError::io_from_errno(file.error()));
        }
    }
    return fail(CwaError::io_from_errno(EEXIST));
}

OutputFile::~OutputFile() {
    if (temporary_.empty()) return;
    static_cast<void>(file_.close());
    static_cast<void>(platform::remove_file(temporary_));
}

std::pair<std::size_t, int> OutputFile::write_all(const char* data, std::size_t length) noexcept {
    std::size_t done = 0;
    while (done < length) {
        const auto wrote = platform::write_some(file_, data + done, length - done);
        if (!wrote) return {done, wrote.error()};
        if (*wrote == 0) return {done, EIO};
        done += *wrote;
    }
    return {done, 0};
}

Status OutputFile::commit() {
    if (auto closed = file_.close(); !closed) return fail(CwaError::io_from_errno(closed.error()));
    if (temporary_.empty()) return {};
    if (auto placed = platform::replace_file(temporary_, destination_); !placed) {
        return fail(CwaError::io_from_errno(placed.error()));
    }
    temporary_.clear();
    return {};
}

}  // namespace cwa
