// Resampling onto a regular grid: option checks, the streaming cubic resampler, and the read
// that feeds it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cwa/cancel.hpp"
#include "cwa/decoded_block.hpp"
#include "cwa/error.hpp"
#include "cwa/data_result.hpp"

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

    // One sample's values widened to double, eight lanes so that a row's channels go through
    // the cubic together. Main records: acc_x..acc_z, temperature, light, battery; sensor
    // records: gyro_x..mag_z, written only for samples of blocks that carry them.
    struct alignas(64) LaneRecord {
        double lanes[8];
    };
    static constexpr std::size_t lane_count = 8;

    // The rows planned in one pass, and what their interpolation shares across channels.
    static constexpr std::size_t batch_rows = 256;
    struct RowBatch {
        std::size_t count = 0;
        double grid_time[batch_rows];
        std::size_t position[batch_rows];  // window index of the earlier bracketing sample
        bool outer[batch_rows];            // a sample on each side of the pair
        double weight[4][batch_rows];
        bool cubic[batch_rows];
        // Rows whose every lane of the group comes from the cubic, computed together.
        bool combine_main[batch_rows];
        bool combine_sensors[batch_rows];
    };

private:
    // NaN flags of a sample: one bit per main lane, one per sensor lane, and whether its
    // sensor record was written.
    static constexpr std::uint32_t main_nan_bits = 0x3F;
    static constexpr unsigned sensor_nan_shift = 6;
    static constexpr std::uint32_t sensor_nan_bits = 0x3F << sensor_nan_shift;
    static constexpr std::uint32_t carries_sensors_bit = 1u << 12;

    void append_samples(const DecodedBlock& block);
    double grid_time(std::uint64_t row) {
        if (row - ahead_first_ >= grid_ahead) compute_grid_ahead(row);
        return ahead_[row - ahead_first_];
    }
    [[gnu::noinline]] void compute_grid_ahead(std::uint64_t row);
    Status emit_ready(bool at_end);
    Status write_batch();
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

    std::uint64_t emitted_ = 0;
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
    float main_rows_[lane_count][lane_stride];
    float sensor_rows_[lane_count][lane_stride];
};

// Interpolation kernels over a planned batch, one per instruction set the machine may offer;
// the widest the processor supports is chosen once. Listed so that tests can run each.
struct ResampleKernel {
    const char* name;
    bool (*supported)();
    void (*compute_weights)(StreamingResampler::RowBatch& batch, const double* times);
    // The cubic of every lane for the rows marked in `use`, from the records at position - 1
    // ... position + 2; lane l of row r goes to out[l][r].
    void (*combine)(const StreamingResampler::RowBatch& batch, const bool* use,
                    const StreamingResampler::LaneRecord* records, float* const* out);
    // A block's samples as window entries: times in seconds, main records, and the missing
    // flags of the main lanes joined to `aux_flags`.
    void (*fill_window)(const DecodedBlock& block, std::uint32_t aux_flags, double* times,
                        StreamingResampler::LaneRecord* records, std::uint32_t* flags);
    // Grid times ((row + j) * step_ms + origin_ms) / 1000 for j < count, a multiple of four.
    void (*grid_times)(std::uint64_t row, std::size_t count, double step_ms, double origin_ms, double* out);
    // trunc(time * 1e6) of `count` grid times whose products all lie inside the int64 range.
    void (*grid_stamps)(const double* times, std::size_t count, std::int64_t* out);
};
const std::vector<ResampleKernel>& resample_kernels();
// The kernel in use: the widest the processor supports, unless a test switched it.
const ResampleKernel& active_resample_kernel();
void use_resample_kernel(const ResampleKernel& kernel);

// The validated rate, or nothing when no rate is given (the method is then not examined).
Result<std::optional<double>> parse_resample_options(std::optional<double> resample_hz, std::string_view method);

Result<CwaDataResult> read_cwa_data_resampled_streaming(const std::string& path,
                                                        std::optional<std::size_t> start_block,
                                                        std::optional<std::size_t> block_count, double resample_hz,
                                                        const ChannelSelection& channels,
                                                        std::optional<double> range_start_time,
                                                        std::optional<double> range_end_time);

}  // namespace cwa
