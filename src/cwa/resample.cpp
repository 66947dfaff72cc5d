#include "cwa/resample.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "cwa/decoded_block.hpp"
#include "cwa/platform/memory.hpp"
#include "cwa/timing.hpp"

namespace cwa {

std::uint64_t default_resample_memory_budget() { return platform::usable_memory_bytes() / 2; }

StreamingResampler::StreamingResampler(double resample_hz, std::optional<double> range_start_time,
                                       std::optional<double> range_end_time, const ChannelSelection& channels,
                                       std::uint64_t memory_budget_bytes)
    : range_start_time_(range_start_time),
      range_end_time_(range_end_time),
      resample_hz_(resample_hz),
      step_ms_(1000.0 / resample_hz),
      memory_budget_bytes_(memory_budget_bytes),
      output_(channels) {}

void StreamingResampler::reserve_rows(std::size_t rows) {
    reserved_rows_ = rows;
    output_.timestamps_us.try_reserve(rows);
    output_.for_each_column([&](FloatColumn& column) { column.try_reserve(rows); });
}

void StreamingResampler::append_samples(const DecodedBlock& block) {
    const std::size_t count = block.count;
    // The window never starts at position 0 nor reaches the last two positions, so the four
    // times around any pair load as one run without bounds tests.
    if (window_end_ + count + window_tail > times_.size()) {
        // The window is a few samples long unless the grid stands still; moving it to the front
        // is cheap, and the buffer only grows when the window itself does.
        const std::size_t length = window_end_ - window_start_;
        if (window_start_ > window_front) {
            const auto move_to_front = [&](auto& column) {
                std::copy(column.begin() + window_start_, column.begin() + window_end_, column.begin() + window_front);
            };
            move_to_front(times_);
            move_to_front(main_);
            move_to_front(sensors_);
            move_to_front(nan_flags_);
            cursor_ = cursor_ - window_start_ + window_front;
            window_start_ = window_front;
            window_end_ = window_front + length;
        }
        const std::size_t needed = window_front + length + count + window_tail;
        if (needed > times_.size()) {
            std::size_t capacity = std::max<std::size_t>(times_.size() * 2, 4 * max_block_samples);
            while (capacity < needed) capacity *= 2;
            times_.resize(capacity);
            main_.resize(capacity);
            sensors_.resize(capacity);
            nan_flags_.resize(capacity);
        }
    }
    const std::size_t at = window_end_;
    std::uint32_t aux_flags = 0;
    for (std::size_t c = 0; c < aux_channel_count; ++c) {
        aux_flags |= std::isnan(block.aux.values[c]) ? missing_main_lane(aux_lane + c) : 0u;
    }
    // A block without sensor values marks them all missing along with the main lanes.
    if (!block.carries_sensors) aux_flags |= sensor_nan_bits;
    active_resample_kernel().fill_window(block, aux_flags, times_.data() + at, main_.data() + at, nan_flags_.data() + at);
    if (block.carries_sensors) {
        for (std::size_t j = 0; j < count; ++j) {
            double* lanes = sensors_[at + j].lanes;
            std::uint32_t flags = carries_sensors_bit;
            for (std::size_t c = 0; c < sensor_channel_count; ++c) {
                lanes[c] = block.sensors[c][j];
                flags |= std::isnan(block.sensors[c][j]) ? missing_sensor_channel(c) : 0u;
            }
            nan_flags_[at + j] |= flags;
        }
    }
    window_end_ += count;
}

void StreamingResampler::compute_grid_ahead(std::uint64_t row) {
    // The step is divided out once and the time recomputed from the row number, never
    // accumulated, so no rounding error builds up; a few are computed ahead together.
    ahead_first_ = row;
    active_resample_kernel().grid_times(row, grid_ahead, step_ms_, *origin_ms_, ahead_);
}

Result<bool> StreamingResampler::push_block(const DecodedBlock& block) {
    if (block.count == 0) return false;
    if (finished_) {
        // No more rows: only the samples up to the first at or after the range end still count,
        // for the channels they bring.
        std::size_t stop = 0;
        while (stop < block.count && us_to_seconds(block.timestamps_us[stop]) < *range_end_time_) ++stop;
        add_channels_of_samples(block, stop);
        return stop < block.count;
    }
    append_samples(block);
    const std::size_t first = window_end_ - block.count;
    if (!origin_ms_) {
        const double time_s = times_[first];
        if (range_start_time_ && *range_start_time_ > time_s) {
            origin_ms_ = *range_start_time_ * 1000.0;
        } else {
            // Scaling the first sample's time to milliseconds and back can land one rounding
            // step below it, where no row could ever be served. The origin is raised to the
            // smallest value whose grid point 0 is not before the sample, so the grid starts at
            // the first sample and continues one row per step.
            double origin = time_s * 1000.0;
            while (origin / 1000.0 < time_s) origin = std::nextafter(origin, INFINITY);
            origin_ms_ = origin;
        }
    }
    last_row_needs_ = first;
    CWA_CHECK(emit_ready(false));
    std::size_t limit = block.count;
    if (finished_) {
        // Fed one at a time, the samples after the one that let the last row out would not
        // have been pushed, and reading stops at the first of them at or after the range end.
        limit = std::max(last_row_needs_, first) - first;
        while (limit < block.count && times_[first + limit] < *range_end_time_) ++limit;
    }
    add_channels_of_samples(block, limit);
    return limit < block.count;
}

void StreamingResampler::add_channels_of_samples(const DecodedBlock& block, std::size_t sample_limit) {
    // Only samples inside the range may bring a channel into the output.
    if (!block.carries_sensors) return;
    for (std::size_t c = 0; c < sensor_channel_count; ++c) {
        if (output_.sensors[c]) continue;
        for (std::size_t j = 0; j < sample_limit; ++j) {
            const double t = us_to_seconds(block.timestamps_us[j]);
            const bool in_range = !(range_start_time_ && *range_start_time_ > t) && !(range_end_time_ && t >= *range_end_time_);
            if (in_range && !std::isnan(block.sensors[c][j])) {
                ensure_sensor_column(output_.sensors[c], output_.size()).try_reserve(reserved_rows_);
                break;
            }
        }
    }
}

Status StreamingResampler::emit_ready(bool at_end) {
    if (!origin_ms_) return {};
    // The planning loop works on copies of the state: stores into the batch could otherwise
    // alias every member it reads.
    double* times = times_.data();
    // A time after the window that no grid time passes: the search for a pair stops at the
    // window's end without a bounds test. The slot is the next block's, so nothing is lost.
    times[window_end_] = INFINITY;
    // Grid times are finite, so an absent range end is never reached.
    const double end_time = range_end_time_ ? *range_end_time_ : INFINITY;
    std::size_t cursor = cursor_, window_start = window_start_, needs = last_row_needs_;
    const std::size_t window_end = window_end_;
    std::uint64_t row = next_row_;
    for (;;) {
        RowBatch& batch = batch_;
        std::size_t rows = 0;
        bool leave = false;
        while (rows < batch_rows) {
            const double grid = grid_time(row + rows);
            if (grid >= end_time) {
                finished_ = true;
                leave = true;
                break;
            }
            // A plain loop on purpose: its predicted branch lets the processor start on the
            // next rows before this row's pair is known. Branch-free walks chain every row to
            // the one before and measured 35-45% slower.
            std::size_t earlier = cursor;
            while (grid > times[earlier + 1]) ++earlier;
            cursor = earlier;
            // A pair around the grid time; the cubic of an interior interval also needs the
            // sample after the pair, which the row waits for until the last call.
            const bool has_before = earlier > window_start;
            const bool served = earlier + 1 < window_end && grid >= times[earlier] &&
                                (!has_before || earlier + 2 < window_end || at_end);
            if (!served) {
                if (earlier >= window_start + 2) window_start = earlier - 1;
                leave = true;
                break;
            }
            batch.grid_time[rows] = grid;
            batch.position[rows] = earlier;
            batch.outer[rows] = has_before && earlier + 2 < window_end;
            ++rows;
            needs = has_before ? earlier + 2 : earlier + 1;
            // Keep the sample before the bracketing pair as the first point of the next cubic.
            if (earlier >= window_start + 2) window_start = earlier - 1;
        }
        cursor_ = cursor;
        window_start_ = window_start;
        last_row_needs_ = needs;
        batch.count = rows;
        row += rows;
        if (rows > 0) CWA_CHECK(write_batch());
        next_row_ = row;
        if (leave) return {};
    }
}

Status StreamingResampler::check_output_fits(std::size_t more_rows) const {
    // The grid runs through gaps in the clock, so one damaged packet timestamp decades away
    // would ask for billions of rows; refusing here turns what would be the process being
    // killed into an error that says why.
    std::uint64_t row_bytes = sizeof(std::int64_t) + 3 * sizeof(float);
    for (const auto& column : output_.sensors) row_bytes += column ? sizeof(float) : 0;
    for (const auto& column : output_.aux) row_bytes += column ? sizeof(float) : 0;
    const auto rows = static_cast<std::uint64_t>(output_.size() + more_rows);
    if (rows <= memory_budget_bytes_ / row_bytes) return {};
    char text[400];
    std::snprintf(text, sizeof text,
                  "resampled grid reached %llu rows covering %.1f s, more than the %.0f MB this read may use: "
                  "a clock jump in the recording makes the grid run through the gap, or the rate is too high for "
                  "the span; read a shorter span with a cut (seconds or blocks)",
                  static_cast<unsigned long long>(rows), static_cast<double>(rows) / resample_hz_,
                  static_cast<double>(memory_budget_bytes_) / 1e6);
    return fail(CwaError::out_of_memory(text));
}

double StreamingResampler::sensor_value(std::size_t position, std::size_t channel) const {
    if (!(nan_flags_[position] & carries_sensors_bit)) return missing_value;
    return sensors_[position].lanes[channel];
}

namespace {

// The weights of one grid time, shared by every channel of its row.
struct Interpolator {
    bool flat;        // bracketing times closer than 1e-12: the earlier value stands
    double fraction;  // (grid - T1) / (T2 - T1)
    bool cubic;
    double weight[4];  // Nj / Dj

    // Four-point Lagrange; falls back to linear on a missing neighbour value.
    float value(double y0, double y1, double y2, double y3) const {
        if (cubic && !std::isnan(y0) && !std::isnan(y1) && !std::isnan(y2) && !std::isnan(y3)) {
            return static_cast<float>(((weight[0] * y0 + weight[1] * y1) + weight[2] * y2) + weight[3] * y3);
        }
        return static_cast<float>(flat ? y1 : y1 + fraction * (y2 - y1));
    }
};

}  // namespace

void StreamingResampler::interpolate_row_by_channel(std::size_t row, float* main_out, float* sensor_out) const {
    const std::size_t earlier = batch_.position[row];
    const bool outer = batch_.outer[row];
    const double grid = batch_.grid_time[row];
    const std::size_t points[4] = {outer ? earlier - 1 : earlier, earlier, earlier + 1, outer ? earlier + 2 : earlier + 1};
    double times[4];
    for (int j = 0; j < 4; ++j) times[j] = times_[points[j]];
    Interpolator interp{std::fabs(times[2] - times[1]) < 1e-12, (grid - times[1]) / (times[2] - times[1]), outer, {}};
    for (int j = 0; j < 4 && interp.cubic; ++j) {
        double denominator = 1.0, numerator = 1.0;
        for (int m = 0; m < 4; ++m) {
            if (m == j) continue;
            denominator *= times[j] - times[m];
            numerator *= grid - times[m];
        }
        if (std::fabs(denominator) < 1e-12) interp.cubic = false;
        interp.weight[j] = numerator / denominator;
    }
    for (std::size_t l = 0; l < main_lanes; ++l) {
        main_out[l] = interp.value(main_[points[0]].lanes[l], main_[points[1]].lanes[l], main_[points[2]].lanes[l],
                                   main_[points[3]].lanes[l]);
    }
    for (std::size_t c = 0; c < sensor_channel_count; ++c) {
        double y[4];
        for (int j = 0; j < 4; ++j) y[j] = sensor_value(points[j], c);
        // With the channel absent from both bracketing samples, every rule below gives absent.
        if (std::isnan(y[1]) && std::isnan(y[2])) {
            sensor_out[c] = missing_value;
        } else if (grid == times[1]) {
            // A grid time on a sample takes its optional values as they are, present or absent.
            sensor_out[c] = static_cast<float>(y[1]);
        } else if (grid == times[2]) {
            sensor_out[c] = static_cast<float>(y[2]);
        } else {
            sensor_out[c] = interp.value(y[0], y[1], y[2], y[3]);
        }
    }
}

namespace {

// The missing-value flags of a row's samples: set in any of them, and set in all of them.
struct RowFlags {
    std::uint32_t any;
    std::uint32_t all;
};

inline RowFlags row_flags(const std::uint32_t* flags, bool outer) {
    RowFlags row{flags[0] | flags[1], flags[0] & flags[1]};
    if (outer) {
        row.any |= flags[-1] | flags[2];
        row.all &= flags[-1] & flags[2];
    }
    return row;
}

}  // namespace

Status StreamingResampler::write_batch() {
    const std::size_t rows = batch_.count;
    CWA_CHECK(check_output_fits(rows));
    CWA_CHECK(gap_poll_.tick());
    const ResampleKernel& kernel = active_resample_kernel();
    kernel.compute_weights(batch_, times_.data());
    const bool sensors = choose_combined_rows();

    const std::size_t first_row = output_.size();
    write_grid_stamps(kernel);
    const LaneOutputs out = lane_outputs();
    kernel.combine(batch_, batch_.combine_main, main_.data(), out.main);
    if (sensors) kernel.combine(batch_, batch_.combine_sensors, sensors_.data(), out.sensors);
    interpolate_rows_left_out(sensors, out);
    if (sensors) append_sensor_rows(out, first_row);
    return {};
}

bool StreamingResampler::choose_combined_rows() {
    // A missing value in some but not all of a row's four samples, a linear row, or an exact
    // hit on a sample (optional channels only) needs the rules channel by channel.
    // The sensor lanes are looked at only when some sample of the batch or an earlier row has
    // them: recordings without them pay for the main lanes alone.
    // Most batches touch no missing value and no sensor sample at all; then the cubic rows are
    // exactly the combined ones, judged from one sweep over the samples the batch uses.
    RowBatch& batch = batch_;
    const std::size_t rows = batch.count;
    bool sensor_columns = false;
    for (const auto& column : output_.sensors) sensor_columns = sensor_columns || column.has_value();
    std::uint32_t flags_in_reach = 0;
    const std::uint32_t* window_flags = nan_flags_.data();
    const std::size_t sweep_end = std::min(batch.position[rows - 1] + 3, window_end_);
    for (std::size_t at = batch.position[0] - 1; at < sweep_end; ++at) flags_in_reach |= window_flags[at];
    const bool plain_batch = !sensor_columns && (flags_in_reach & (main_nan_bits | carries_sensors_bit)) == 0;
    std::uint32_t any_of_batch = 0;
    if (plain_batch) std::copy(batch.cubic, batch.cubic + rows, batch.combine_main);
    for (std::size_t row = 0; row < rows && !plain_batch; ++row) {
        const RowFlags flags = row_flags(window_flags + batch.position[row], batch.outer[row]);
        batch.combine_main[row] = batch.cubic[row] && ((flags.any & ~flags.all) & main_nan_bits) == 0;
        any_of_batch |= flags.any;
    }
    const bool sensors = (any_of_batch & carries_sensors_bit) != 0 || sensor_columns;
    if (!sensors) return false;
    for (std::size_t row = 0; row < rows; ++row) {
        const std::size_t earlier = batch.position[row];
        const RowFlags flags = row_flags(window_flags + earlier, batch.outer[row]);
        const double grid = batch.grid_time[row];
        batch.combine_sensors[row] = batch.cubic[row] && (flags.all & carries_sensors_bit) &&
                                     ((flags.any & ~flags.all) & sensor_nan_bits) == 0 && grid != times_[earlier] &&
                                     grid != times_[earlier + 1];
    }
    return true;
}

void StreamingResampler::write_grid_stamps(const ResampleKernel& kernel) {
    const RowBatch& batch = batch_;
    const std::size_t rows = batch.count;
    std::int64_t* stamps = output_.timestamps_us.extend(rows);
    // Grid times of any real recording convert directly; the saturating rule is the rest. The
    // rows of a batch are consecutive grid points, whose times never decrease, so the first and
    // last row decide for all of them.
    if (converts_directly(batch.grid_time[0] * 1000000.0) && converts_directly(batch.grid_time[rows - 1] * 1000000.0)) {
        kernel.grid_stamps(batch.grid_time, rows, stamps);
    } else {
        for (std::size_t row = 0; row < rows; ++row) stamps[row] = seconds_to_us(batch.grid_time[row]);
    }
}

StreamingResampler::LaneOutputs StreamingResampler::lane_outputs() {
    // Channels the output keeps are written in place; the others go to scratch lanes. Sensor
    // rows go to scratch first: a channel's column may not exist until a row has its value.
    const std::size_t rows = batch_.count;
    LaneOutputs out;
    for (std::size_t l = 0; l < record_lanes; ++l) {
        out.main[l] = main_rows_[l];
        out.sensors[l] = sensor_rows_[l];
    }
    for (std::size_t a = 0; a < 3; ++a) out.main[acc_lane + a] = output_.acc[a].extend(rows);
    for (std::size_t c = 0; c < aux_channel_count; ++c) {
        if (output_.aux[c]) out.main[aux_lane + c] = output_.aux[c]->extend(rows);
    }
    return out;
}

void StreamingResampler::interpolate_rows_left_out(bool sensors, const LaneOutputs& out) {
    const RowBatch& batch = batch_;
    const std::size_t rows = batch.count;
    // Without sensor lanes, only rows left out of the combined pass need this; usually none.
    std::size_t first_by_channel = 0;
    if (!sensors) {
        const void* found = std::memchr(batch.combine_main, false, rows);
        first_by_channel = found ? static_cast<std::size_t>(static_cast<const bool*>(found) - batch.combine_main) : rows;
    }
    for (std::size_t row = first_by_channel; row < rows; ++row) {
        const bool main_by_channel = !batch.combine_main[row];
        const bool sensors_by_channel = sensors && !batch.combine_sensors[row];
        if (!main_by_channel && !sensors_by_channel) continue;
        float main_values[record_lanes];
        float sensor_values[sensor_channel_count];
        interpolate_row_by_channel(row, main_values, sensor_values);
        if (main_by_channel) {
            for (std::size_t l = 0; l < main_lanes; ++l) out.main[l][row] = main_values[l];
        }
        if (sensors_by_channel) {
            for (std::size_t c = 0; c < sensor_channel_count; ++c) out.sensors[c][row] = sensor_values[c];
        }
    }
}

void StreamingResampler::append_sensor_rows(const LaneOutputs& out, std::size_t first_row) {
    const std::size_t rows = batch_.count;
    for (std::size_t c = 0; c < sensor_channel_count; ++c) {
        OptionalColumn& column = output_.sensors[c];
        const float* values = out.sensors[c];
        // A present value creates the column, back-filled with NaN for the earlier rows.
        if (!column && std::all_of(values, values + rows, [](float v) { return std::isnan(v); })) continue;
        if (!column) ensure_sensor_column(column, first_row).try_reserve(reserved_rows_);
        float* column_rows = column->extend(rows);
        for (std::size_t row = 0; row < rows; ++row) {
            column_rows[row] = std::isnan(values[row]) ? missing_value : values[row];
        }
    }
}

}  // namespace cwa
