#include "cwa/read.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "cwa/cancel.hpp"
#include "cwa/block_walker.hpp"
#include "cwa/plan.hpp"
#include "cwa/timing.hpp"

namespace cwa {

namespace {

// "1.80 GiB": sizes the way a user compares them with the machine's memory.
std::string memory_size_text(double bytes) {
    char text[32];
    if (bytes >= 1024.0 * 1024.0 * 1024.0) {
        std::snprintf(text, sizeof text, "%.2f GiB", bytes / (1024.0 * 1024.0 * 1024.0));
    } else {
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
    }
    return text;
}

// The columns of a range could not get their memory: what the range needs at most with the
// columns the read had when the system refused, and the way out.
CwaError columns_out_of_memory(const DataBlockCursor& cursor, std::size_t upper, std::size_t float_columns) {
    const double bytes =
        static_cast<double>(upper) * static_cast<double>(sizeof(std::int64_t) + float_columns * sizeof(float));
    return CwaError::out_of_memory("not enough memory for the samples of data blocks " +
                                   std::to_string(cursor.start_block) + " to " + std::to_string(cursor.end_block) +
                                   " (up to " + std::to_string(upper) + " samples, " + memory_size_text(bytes) +
                                   " of columns); read part of the recording with a cut");
}

// Decodes the cursor's range into `result`, whose columns the caller owns so that a refused
// allocation can still be described.
Status decode_range(DataBlockCursor& cursor, const ChannelSelection& channels, std::size_t upper,
                    CwaDataResult& result) {
    // Reserve from the range's upper bound of samples so no column is ever copied to grow.
    result.timestamps_us.try_reserve(upper);
    result.for_each_column([&](FloatColumn& column) { column.try_reserve(upper); });

    BlockWalker walker(cursor);
    for (;;) {
        CWA_TRY(block, walker.next_block());
        if (!block) break;
        const std::size_t m = block->sample_count;
        const std::size_t before = result.size();

        SampleColumns out{};
        for (std::size_t a = 0; a < 3; ++a) out.acc[a] = result.acc[a].extend(m);
        for (std::size_t c = 0; c < sensor_channel_count; ++c) {
            auto& column = result.sensors[c];
            if (!writes_sensor_channel(block->num_axes_bps, channels.include_magnetometer, c)) {
                if (column) column->append_fill(m, missing_value);
                continue;
            }
            if (!column) {
                ensure_sensor_column(column, before);
                column->try_reserve(upper);
            }
            (c < 3 ? out.gyro[c] : out.mag[c - 3]) = column->extend(m);
        }
        CWA_CHECK(parse_samples(*block, channels.include_magnetometer, out));
        CWA_CHECK(write_sample_timestamps(*block, m, cursor.previous_end, result.timestamps_us.extend(m)));
        const PacketAux aux = packet_aux(*block);
        for (std::size_t c = 0; c < aux_channel_count; ++c) {
            if (result.aux[c]) result.aux[c]->append_fill(m, aux.values[c]);
        }
    }
    return {};
}

}  // namespace

Result<CwaDataResult> read_cwa_data(const std::string& path, std::optional<std::size_t> start_block,
                                    std::optional<std::size_t> block_count, const ChannelSelection& channels) {
    CWA_TRY(cursor, open_cwa_data_blocks(path, start_block, block_count));
    CwaDataResult result(channels);
    const std::size_t upper = (cursor.end_block - cursor.start_block) * max_block_samples;
    try {
        CWA_CHECK(decode_range(cursor, channels, upper, result));
    } catch (const std::bad_alloc&) {
        std::size_t float_columns = 0;
        result.for_each_column([&](FloatColumn&) { ++float_columns; });
        // The partial columns go first: describing the failure takes a little memory too.
        result = CwaDataResult(channels);
        return fail(columns_out_of_memory(cursor, upper, float_columns));
    }
    if (result.size() == 0) return fail("No valid sample data found in the specified range");
    result.timestamps_us.shrink_to_fit();
    result.for_each_column([](FloatColumn& column) { column.shrink_to_fit(); });
    return result;
}

namespace {

struct Run {
    std::size_t begin;
    std::size_t end;
};

// Copies the kept runs into a new column. A week's column is hundreds of megabytes of fresh
// pages, which a busy machine can take a second to provide, so the copy asks between slices
// whether the call should stop.
template <class T>
Result<Column<T>> gather(const Column<T>& source, const std::vector<Run>& runs, std::size_t kept) {
    constexpr std::size_t slice = std::size_t{1} << 20;
    Column<T> out;
    out.reserve(kept);
    std::size_t copied_since_check = 0;
    for (const Run& run : runs) {
        for (std::size_t begin = run.begin; begin < run.end;) {
            if (copied_since_check == slice) {
                CWA_CHECK(check_cancelled());
                copied_since_check = 0;
            }
            const std::size_t count = std::min(slice - copied_since_check, run.end - begin);
            std::memcpy(out.extend(count), source.data() + begin, count * sizeof(T));
            begin += count;
            copied_since_check += count;
        }
    }
    return out;
}

bool all_nan(const FloatColumn& column) {
    for (std::size_t i = 0; i < column.size(); ++i) {
        if (!std::isnan(column[i])) return false;
    }
    return true;
}

}  // namespace

Result<CwaDataResult> filter_data_by_time_range(CwaDataResult data, std::optional<double> range_start_time,
                                                std::optional<double> range_end_time) {
    if (!range_start_time && !range_end_time) return data;
    CWA_CHECK(check_time_range(range_start_time, range_end_time));

    // Kept samples as runs of consecutive indices: a seconds cut keeps one run, and the
    // gather becomes a few block copies. Timestamps may jump backwards, so every sample is
    // tested, in seconds, never in microseconds.
    std::vector<Run> runs;
    std::size_t kept = 0;
    const std::size_t n = data.size();
    CancelPoll cancel_poll(1 << 20);
    for (std::size_t i = 0; i < n; ++i) {
        CWA_CHECK(cancel_poll.tick());
        const double t = us_to_seconds(data.timestamps_us[i]);
        const bool keep = !(range_start_time && t < *range_start_time) && !(range_end_time && t >= *range_end_time);
        if (!keep) continue;
        if (!runs.empty() && runs.back().end == i) {
            runs.back().end = i + 1;
        } else {
            runs.push_back({i, i + 1});
        }
        ++kept;
    }
    if (kept == 0) return fail("No samples remain after applying time range");

    // Each input column is released as soon as its replacement exists.
    auto replace = [&](auto& column) -> Status {
        CWA_TRY(gathered, gather(column, runs, kept));
        column = std::move(gathered);
        return {};
    };
    CWA_CHECK(replace(data.timestamps_us));
    for (auto& column : data.acc) CWA_CHECK(replace(column));
    for (auto& column : data.sensors) {
        if (!column) continue;
        CWA_CHECK(replace(*column));
        if (all_nan(*column)) column.reset();
    }
    for (auto& column : data.aux) {
        if (column) CWA_CHECK(replace(*column));
    }
    return data;
}

void apply_utc_offset(Column<std::int64_t>& timestamps_us, std::int64_t offset_us) {
    for (std::size_t i = 0; i < timestamps_us.size(); ++i) {
        timestamps_us[i] = subtract_offset(timestamps_us[i], offset_us);
    }
}

}  // namespace cwa
