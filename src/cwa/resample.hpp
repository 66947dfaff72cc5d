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

#include "cwa/decoded_block.hpp"
#include "cwa/error.hpp"
#include "cwa/result.hpp"

namespace cwa {

// One recorded sample as the resampler sees it. Absent gyroscope and magnetometer values are
// NaN, which no decoded value can be.
struct TimedSample {
    std::array<float, 3> acc;
    std::array<float, sensor_channel_count> sensors;
    std::array<float, aux_channel_count> aux;
    double time_s;
};

// Emits rows on the grid time(k) = (k * (1000 / rate) + origin_ms) / 1000 as soon as the
// samples around them have arrived, holding only a few samples at a time.
class StreamingResampler {
public:
    StreamingResampler(double resample_hz, std::optional<double> range_start_time,
                       std::optional<double> range_end_time, const ChannelSelection& channels);

    // Feeds every sample of a decoded block; true once reading may stop, because the grid has
    // passed the range end and a sample at or after the end has been seen.
    bool push_block(const DecodedBlock& block);
    // Emits the rows still held back for a fourth sample; once, after the last block.
    void finish() { emit_ready(true); }

    // A hint of the rows the read will emit: reserved now, and for channels that appear later.
    void reserve_rows(std::size_t rows);

    void push_sample(const TimedSample& sample);
    // The same push without a copy: fill back_slot(), then push_back_slot().
    TimedSample& back_slot();
    void push_back_slot();
    void emit_ready(bool at_end);
    bool finished() const { return finished_; }
    CwaDataResult& output() { return output_; }

private:
    const TimedSample& at(std::size_t j) const { return window_[(head_ + j) & (capacity_ - 1)]; }
    double time_at(std::size_t j) const { return at(j).time_s; }
    void drop_front(std::size_t count);
    // grid_time(emitted): the step is divided out once, and the time recomputed from the row
    // number for every row, never accumulated, so no rounding error builds up.
    double grid_time() {
        if (!next_time_) {
            next_time_ = (static_cast<double>(emitted_) * step_ms_ + *origin_ms_) / 1000.0;
        }
        return *next_time_;
    }
    void emit_row(double b, std::size_t i);
    // Throws std::bad_alloc once the rows would outgrow the machine's memory.
    void check_output_fits() const;

    std::optional<double> range_start_time_;
    std::optional<double> range_end_time_;
    std::optional<double> origin_ms_;
    // Ring buffer: capacity a power of two, doubled when full, never shrunk.
    std::vector<TimedSample> window_;
    std::size_t capacity_ = 0;
    std::size_t head_ = 0;
    std::size_t length_ = 0;
    CwaDataResult output_;
    double step_ms_;  // 1000 / resample_hz, milliseconds per grid point
    std::size_t cursor_ = 0;
    std::uint64_t emitted_ = 0;
    std::optional<double> next_time_;
    bool finished_ = false;
    std::size_t reserved_rows_ = 0;
    // The last call left a bracketed row waiting for the sample after its pair.
    bool waiting_ = false;
};

// The validated rate, or nothing when no rate is given (the method is then not examined).
Result<std::optional<double>> parse_resample_options(std::optional<double> resample_hz, std::string_view method);

Result<CwaDataResult> read_cwa_data_resampled_streaming(const std::string& path,
                                                        std::optional<std::size_t> start_block,
                                                        std::optional<std::size_t> block_count, double resample_hz,
                                                        const ChannelSelection& channels,
                                                        std::optional<double> range_start_time,
                                                        std::optional<double> range_end_time);

}  // namespace cwa
