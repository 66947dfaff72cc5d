#include "cwa/resampled_read.hpp"

#include <algorithm>

#include "cwa/block_walker.hpp"
#include "cwa/decoded_block.hpp"
#include "cwa/plan.hpp"
#include "cwa/resample.hpp"

namespace cwa {

namespace {

// Rows the read will likely emit, judged from the first packet's duration: reserving them lets
// the output grow without copies. Only a hint; growth covers a wrong guess.
std::size_t estimate_rows(const CwaDataBlock& first, std::size_t blocks, double resample_hz,
                          std::optional<double> range_start_time, std::optional<double> range_end_time) {
    const auto [start, end] = first.meta(first.sample_count).natural_bounds();
    double seconds = static_cast<double>(blocks) * (end - start);
    if (range_start_time && range_end_time) seconds = std::min(seconds, *range_end_time - *range_start_time);
    const double rows = seconds * resample_hz + 2.0;
    // Beyond this the guess is more likely a damaged clock than a real recording.
    constexpr double largest_hint = 4e9;
    return rows >= 0.0 && rows < largest_hint ? static_cast<std::size_t>(rows) : 0;
}

}  // namespace

Result<CwaDataResult> read_cwa_data_resampled_streaming(const std::string& path,
                                                        std::optional<std::size_t> start_block,
                                                        std::optional<std::size_t> block_count, double resample_hz,
                                                        const ChannelSelection& channels,
                                                        std::optional<double> range_start_time,
                                                        std::optional<double> range_end_time) {
    CWA_TRY(cursor, open_cwa_data_blocks(path, start_block, block_count));
    std::optional<StreamingResampler> resampler;
    DecodedBlock block;
    // The walker asks whether the call should stop as it goes from block to block.
    BlockWalker walker(cursor);
    for (;;) {
        CWA_TRY(data_block, walker.next_block());
        if (!data_block) break;
        CWA_CHECK(decode_block(*data_block, channels.include_magnetometer, cursor.previous_end, block));
        if (!resampler) {
            CWA_CHECK(check_time_range(range_start_time, range_end_time));
            resampler.emplace(resample_hz, range_start_time, range_end_time, channels);
            resampler->reserve_rows(estimate_rows(*data_block, cursor.end_block - cursor.start_block, resample_hz,
                                                  range_start_time, range_end_time));
        }
        CWA_TRY(stop, resampler->push_block(block));
        if (stop) break;
    }
    if (!resampler) return fail("No valid sample data found in the specified range");
    CWA_CHECK(resampler->finish());
    CwaDataResult& output = resampler->output();
    if (output.size() == 0) return fail("No samples remain after applying time range/resampling");
    output.timestamps_us.shrink_to_fit();
    output.for_each_column([](FloatColumn& column) { column.shrink_to_fit(); });
    return std::move(output);
}

}  // namespace cwa
