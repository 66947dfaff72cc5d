// Read-only input files and buffered sector reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "cwa/error.hpp"
#include "cwa/platform/file.hpp"

namespace cwa {

inline constexpr std::size_t sector_size = 512;
inline constexpr std::uint64_t metadata_size = 1024;

// Byte offset of zero-based data block `index`; 64-bit so that huge indices cannot wrap.
inline std::uint64_t data_block_offset(std::uint64_t index) { return metadata_size + sector_size * index; }

// One file open for reading; closed by the destructor on every path.
class InputFile {
public:
    // Opening a pipe waits for its writer; a signal meanwhile lets the call stop.
    static Result<InputFile> open(const std::string& path);

    Result<std::uint64_t> size() const;
    Status seek(std::uint64_t offset);
    // One read call, retried on interruption unless the call should stop; 0 means end of file.
    Result<std::size_t> read_some(void* buffer, std::size_t length);
    // Fills the whole buffer or fails; a premature end is the short-read error.
    Status read_exact(void* buffer, std::size_t length);
    // One 512-byte sector: false at a clean end of file, the short-read error inside a sector.
    Result<bool> read_sector(std::uint8_t* sector);

private:
    explicit InputFile(platform::File file) : file_(std::move(file)) {}
    platform::File file_;
};

// Hands out 512-byte sectors from a large read buffer, so a pass over a recording costs a few
// hundred system calls instead of one per sector. End of file is clean only on a sector
// boundary; a trailing partial sector is the short-read error, as if each sector were read with
// one byte first and then filled.
class SectorReader {
public:
    // Reads at most `max_sectors` sectors from the file's current position.
    SectorReader(InputFile& file, std::uint64_t max_sectors = UINT64_MAX);

    // The next sector, or nullptr at a clean end of file.
    Result<const std::uint8_t*> next();

private:
    Status refill();

    InputFile& file_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::uint64_t bytes_left_;
    bool eof_ = false;
};

}  // namespace cwa
