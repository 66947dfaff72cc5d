#include "cwa/timing.hpp"

#include "cwa/block_kernels.hpp"
#include "cwa/cancel.hpp"
#include "cwa/datetime.hpp"

namespace cwa {

Status write_sample_timestamps(const CwaDataBlock& block, std::size_t sample_count,
                               std::optional<double>& previous_end, std::int64_t* out) {
    if (sample_count == 0) return {};
    const auto time = cwa_timestamp(block.timestamp);
    if (!time) return fail("Invalid block timestamp");
    const auto [natural_start, natural_end] = block.meta(sample_count).natural_bounds_at(epoch_seconds(*time));
    const double start = continuity_start(natural_start, natural_end, previous_end);
    // Multiply, divide, add, scale, truncate: another order moves single microseconds.
    active_block_kernel().spread_timestamps(start, natural_end - start, sample_count, out);
    previous_end = natural_end;
    return {};
}

Result<std::optional<double>> find_previous_packet_end(InputFile& file, std::size_t start_block) {
    std::uint8_t sector[sector_size];
    // Each step back costs a seek and a read; a long run of empty sectors before the range
    // would otherwise hold the call.
    CancelPoll cancel_poll(1024);
    for (std::size_t i = start_block; i-- > 0;) {
        CWA_CHECK(cancel_poll.tick());
        CWA_CHECK(file.seek(data_block_offset(i)));
        CWA_TRY(read, file.read_sector(sector));
        if (!read) return fail("Unexpected end of CWA data");
        CWA_TRY(meta, packet_meta(sector));
        if (meta) return meta->natural_bounds().second;
    }
    return std::nullopt;
}

}  // namespace cwa
