#include "cwa/block_walker.hpp"

#include "cwa/bytes.hpp"
#include "cwa/timing.hpp"

namespace cwa {

Result<CheckedFile> open_checked_cwa(const std::string& path) {
    CWA_TRY(file, InputFile::open(path));
    std::uint8_t signature[2];
    CWA_CHECK(file.read_exact(signature, sizeof signature));
    if (load_u16(signature) != metadata_signature) return fail("Not a valid CWA file");
    CWA_TRY(size, file.size());
    if (size < metadata_size) return fail("File too small to be a valid CWA file");
    if (size % sector_size != 0) return fail("Incomplete CWA data block");
    const auto count = static_cast<std::size_t>(size / sector_size - 2);
    return CheckedFile{std::move(file), count};
}

Result<DataBlockCursor> open_cwa_data_blocks(const std::string& path, std::optional<std::size_t> start_block,
                                             std::optional<std::size_t> block_count) {
    CWA_TRY(checked, open_checked_cwa(path));
    const std::size_t total = checked.data_block_count;
    const std::size_t start = start_block.value_or(0);
    if (start >= total) return fail("Start block is beyond file size");
    const std::size_t count = block_count.value_or(total - start);
    const std::size_t end = count > total - start ? total : start + count;
    CWA_TRY(previous_end, find_previous_packet_end(checked.file, start));
    CWA_CHECK(checked.file.seek(data_block_offset(start)));
    return DataBlockCursor{std::move(checked.file), start, end, previous_end};
}

BlockWalker::BlockWalker(DataBlockCursor& cursor)
    : reader_(cursor.file, cursor.end_block - cursor.start_block), remaining_(cursor.end_block - cursor.start_block) {}

Result<const CwaDataBlock*> BlockWalker::next_block() {
    while (remaining_ > 0) {
        --remaining_;
        CWA_TRY(sector, reader_.next());
        if (!sector) return fail("Unexpected end of CWA data");
        CWA_TRY(meta, packet_meta(sector));
        if (!meta) continue;
        block_ = CwaDataBlock::from_data_sector(sector);
        return &block_;
    }
    return nullptr;
}

}  // namespace cwa
