#include "cwa/timing.hpp"

#include <algorithm>

#include "cwa/cancel.hpp"
#include "cwa/datetime.hpp"

namespace cwa {

Result<double> calculate_sample_timestamps_with_prev_end(const CwaDataBlock& block, std::size_t sample_count,
                                                         std::optional<double> previous_end, std::int64_t* out) {
    if (sample_count == 0) return previous_end.value_or(0.0);
    if (!cwa_timestamp(block.timestamp)) return fail("Invalid block timestamp");
    const auto [natural_start, natural_end] = block.meta(sample_count).natural_bounds();
    const double start = continuity_start(natural_start, previous_end);
    const double span = natural_end - start;
    const auto n = static_cast<double>(sample_count);
    // Multiply, divide, add, scale, truncate: another order moves single microseconds. The
    // arithmetic runs over small chunks apart from the conversion so that it vectorises.
    constexpr std::size_t chunk = 128;
    double scaled[chunk];
    for (std::size_t base = 0; base < sample_count; base += chunk) {
        const int length = static_cast<int>(std::min(chunk, sample_count - base));
        const int first = static_cast<int>(base);
        for (int j = 0; j < length; ++j) {
            scaled[j] = ((static_cast<double>(first + j) * span) / n + start) * 1000000.0;
        }
        // Times of any real clock convert directly; the saturating rule serves the rest. Every
        // step of the arithmetic is monotonic in j, so the chunk lies between its first and last
        // time and those two decide for all of it (a NaN fails and takes the careful loop).
        const auto direct = [](double us) { return us > -9e18 && us < 9e18; };
        std::int64_t* chunk_out = out + base;
        if (direct(scaled[0]) && direct(scaled[length - 1])) {
            for (int j = 0; j < length; ++j) chunk_out[j] = static_cast<std::int64_t>(scaled[j]);
        } else {
            for (int j = 0; j < length; ++j) {
                const double us = scaled[j];
                chunk_out[j] = direct(us) ? static_cast<std::int64_t>(us) : saturating_i64(us);
            }
        }
    }
    return natural_end;
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
