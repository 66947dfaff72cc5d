// The streaming resampler: samples in, rows on a regular grid out, holding only a few samples.
//
// How the pieces fit. The resampled road (resampled_read.cpp) decodes a block at a time and
// pushes it here. push_block appends the block's samples to a columnar window (times, records
// of lanes, missing-value flags); emit_ready then plans, row by row, every grid time the window
// can already serve (its bracketing pair, whether a sample lies on each side, when to hold a
// row back for a fourth sample, where to trim the window) into a RowBatch; write_batch turns a
// batch into output rows. The arithmetic of a batch (weights, the cubic of all lanes at once,
// window filling, grid times and stamps) is in resample_kernels.cpp, one kernel per instruction
// set, all giving the same bits; resample_kernels.hpp is what the two files share. Rows that
// the all-lanes cubic cannot serve (a missing neighbour value, a linear row, an exact hit on a
// sample) are worked out channel by channel here.
//
// The rules themselves, without any of the batching, are stated readably by the row-at-a-time
// resampler of the native checks (tests/native/reference_resampler.hpp), which every kernel is
// checked against bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "cwa/cancel.hpp"
#include "cwa/data_result.hpp"
#include "cwa/decoded_block.hpp"
#include "cwa/error.hpp"
#include "cwa/resample_kernels.hpp"

namespace cwa {

// The refusal point of the resampler's output: half of what this process can use.
std::uint64_t default_resample_memory_budget();

// Emits rows on the grid time(k) = (k * (1000 / rate) + origin_ms) / 1000 as soon as the
// samples around them have arrived, holding only a few samples at a time. Samples arrive a
// block at a time; the rows a block completes are planned one by one (grid time, bracketing
// pair, hold-back and trimming exactly as a row-at-a-time resampler decides them) and then
// interpolated together, every channel of a row in one pass over four sample records.
class StreamingResampler {
public:
    StreamingResampler(double resample_hz, std::optional<double> range_start_time,
                       std::optional<double> range_end_time, const ChannelSelection& channels,
                       std::uint64_t memory_budget_bytes = default_resample_memory_budget());

    // A hint of the rows the read will emit: reserved now, and for channels that appear later.
    void reserve_rows(std::size_t rows);
    // Feeds every sample of a decoded block; true once reading may stop, because the grid has
    // passed the range end and a sample at or after the end has been seen.
    Result<bool> push_block(const DecodedBlock& block);
    // Emits the rows still held back for a fourth sample; once, after the last block.
    Status finish() { return emit_ready(true); }
    bool finished() const { return finished_; }
    CwaDataResult& output() { return output_; }

private:
    void append_samples(const DecodedBlock& block);
    double grid_time(std::uint64_t row) {
        if (row - ahead_first_ >= grid_ahead) compute_grid_ahead(row);
        return ahead_[row - ahead_first_];
    }
    [[gnu::noinline]] void compute_grid_ahead(std::uint64_t row);
    Status emit_ready(bool at_end);
    // The planned batch as output rows, in the steps below.
    Status write_batch();
    // Marks the rows every lane of a group can take from the all-lanes cubic; whether the
    // sensor lanes take part in this batch at all.
    bool choose_combined_rows();
    void write_grid_stamps(const ResampleKernel& kernel);
    // Where each lane's rows go: the output's columns, or scratch for lanes it does not keep.
    struct LaneOutputs {
        float* main[record_lanes];
        float* sensors[record_lanes];
    };
    LaneOutputs lane_outputs();
    void interpolate_rows_left_out(bool sensors, const LaneOutputs& out);
    void append_sensor_rows(const LaneOutputs& out, std::size_t first_row);
    // The row at `row` of the batch worked out one channel at a time, for the rows that the
    // combined pass cannot serve: linear rows, missing values, exact hits.
    void interpolate_row_by_channel(std::size_t row, float* main_out, float* sensor_out) const;
    double sensor_value(std::size_t position, std::size_t channel) const;
    Status check_output_fits(std::size_t more_rows) const;
    void add_channels_of_samples(const DecodedBlock& block, std::size_t sample_limit);

    std::optional<double> range_start_time_;
    std::optional<double> range_end_time_;
    std::optional<double> origin_ms_;
    double resample_hz_;
    double step_ms_;  // 1000 / resample_hz, milliseconds per grid point
    std::uint64_t memory_budget_bytes_;
    CwaDataResult output_;
    std::size_t reserved_rows_ = 0;

    // Columnar window over buffer positions [window_start_, window_end_); positions stay put
    // until a block is appended, which moves the window to the front when the buffer is full.
    std::vector<double> times_;
    std::vector<LaneRecord> main_;
    std::vector<LaneRecord> sensors_;
    std::vector<std::uint32_t> nan_flags_;
    static constexpr std::size_t window_front = 1;
    static constexpr std::size_t window_tail = 2;
    std::size_t window_start_ = window_front;
    std::size_t window_end_ = window_front;
    std::size_t cursor_ = window_front;  // where the search for the next grid time starts

    std::uint64_t next_row_ = 0;  // the grid row planned next; advanced by emit_ready alone
    // Grid times computed ahead, for rows ahead_first_ ... ahead_first_ + grid_ahead - 1.
    static constexpr std::size_t grid_ahead = 32;
    double ahead_[grid_ahead];
    std::uint64_t ahead_first_ = UINT64_MAX - grid_ahead;

    // The sample whose arrival let the last planned row out (see push_block).
    std::size_t last_row_needs_ = 0;
    bool finished_ = false;
    CancelPoll gap_poll_{1u << 14};  // batches: a clock gap can ask for billions of rows
    RowBatch batch_;
    // Scratch lanes for the channels a batch computes but the output does not keep.
    // Lanes lie 1 KiB + 64 bytes apart: at exactly 1 KiB, every fourth lane's stores would
    // share their low address bits with each other and with the records being loaded, and the
    // processor would stall them as possible overlaps.
    static constexpr std::size_t lane_stride = batch_rows + 16;
    float main_rows_[record_lanes][lane_stride];
    float sensor_rows_[record_lanes][lane_stride];
};

}  // namespace cwa
