// The block walker: a recording's data blocks opened for reading and walked in file order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "cwa/error.hpp"
#include "cwa/input_file.hpp"
#include "cwa/packet.hpp"

namespace cwa {

struct CheckedFile {
    InputFile file;
    std::size_t data_block_count;
};

// Opens a recording and checks its signature and sector framing.
Result<CheckedFile> open_checked_cwa(const std::string& path);

struct DataBlockCursor {
    InputFile file;
    std::size_t start_block;
    std::size_t end_block;
    // Continuity state for the first block read.
    std::optional<double> previous_end;
};

Result<DataBlockCursor> open_cwa_data_blocks(const std::string& path, std::optional<std::size_t> start_block,
                                             std::optional<std::size_t> block_count);

// Yields the data blocks of a cursor's range in file order, stepping over sectors that hold no
// samples. A yielded block borrows its sample area from the walker's buffer, valid until the
// next call. Every road that walks blocks can be stopped here: its sector reader asks whether
// the call should stop each time it refills its 512 KiB buffer, data or not, so that a long run
// of empty sectors asks too.
class BlockWalker {
public:
    explicit BlockWalker(DataBlockCursor& cursor);

    // The next data block, or nullptr after the last. The block lives in the walker until the
    // next call: handing it out by pointer spares each block a copy that the processor cannot
    // forward from the field-by-field stores that built it.
    Result<const CwaDataBlock*> next_block();

private:
    SectorReader reader_;
    std::size_t remaining_;
    CwaDataBlock block_{};
};

}  // namespace cwa
