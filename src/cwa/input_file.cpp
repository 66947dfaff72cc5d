#include "cwa/input_file.hpp"

#include <cerrno>
#include <cstring>

#include "cwa/cancel.hpp"

namespace cwa {

namespace {
constexpr std::size_t read_buffer_size = 512 * 1024;
}

Result<InputFile> InputFile::open(const std::string& path) {
    // The system would silently open the prefix before a NUL.
    if (path.find('\0') != std::string::npos) return fail(CwaError::io("file name contained an unexpected NUL byte"));
    CWA_TRY(file, retry_unless_cancelled([&] { return platform::open_for_reading(path); }));
    return InputFile(std::move(file));
}

Result<std::uint64_t> InputFile::size() const {
    auto bytes = platform::size(file_);
    if (!bytes) return fail(CwaError::io_from_errno(bytes.error()));
    return *bytes;
}

Status InputFile::seek(std::uint64_t offset) {
    if (auto moved = platform::seek(file_, offset); !moved) return fail(CwaError::io_from_errno(moved.error()));
    return {};
}

Result<std::size_t> InputFile::read_some(void* buffer, std::size_t length) {
    return retry_unless_cancelled([&] { return platform::read_some(file_, buffer, length); });
}

Status InputFile::read_exact(void* buffer, std::size_t length) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (length > 0) {
        CWA_TRY(got, read_some(out, length));
        if (got == 0) return fail(CwaError::io_short_read());
        out += got;
        length -= got;
    }
    return {};
}

Result<bool> InputFile::read_sector(std::uint8_t* sector) {
    // The first byte alone tells a clean end of file from a partial sector.
    CWA_TRY(got, read_some(sector, 1));
    if (got == 0) return false;
    CWA_CHECK(read_exact(sector + 1, sector_size - 1));
    return true;
}

SectorReader::SectorReader(InputFile& file, std::uint64_t max_sectors)
    : file_(file),
      buffer_(new std::uint8_t[read_buffer_size]),
      bytes_left_(max_sectors > UINT64_MAX / sector_size ? UINT64_MAX : max_sectors * sector_size) {}

Status SectorReader::refill() {
    // Every walk over a recording comes here once per buffer of sectors: the one place where
    // decoding, printing and scanning all stop for a Ctrl-C within milliseconds.
    CWA_CHECK(check_cancelled());
    // Keep the unread tail of a sector at the front, then top the buffer up.
    std::size_t pending = end_ - begin_;
    std::memmove(buffer_.get(), buffer_.get() + begin_, pending);
    begin_ = 0;
    end_ = pending;
    while (end_ < sector_size && bytes_left_ > 0) {
        std::size_t want = read_buffer_size - end_;
        if (want > bytes_left_) want = static_cast<std::size_t>(bytes_left_);
        CWA_TRY(got, file_.read_some(buffer_.get() + end_, want));
        if (got == 0) {
            eof_ = true;
            break;
        }
        end_ += got;
        bytes_left_ -= got;
    }
    return {};
}

Result<const std::uint8_t*> SectorReader::next() {
    if (end_ - begin_ < sector_size) {
        if (!eof_) CWA_CHECK(refill());
        if (end_ - begin_ < sector_size) {
            if (end_ == begin_) return nullptr;
            return fail(CwaError::io_short_read());
        }
    }
    const std::uint8_t* sector = buffer_.get() + begin_;
    begin_ += sector_size;
    return sector;
}

}  // namespace cwa
