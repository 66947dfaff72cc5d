#include "cwa/resample.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "cwa/cursor.hpp"
#include "cwa/decoded_block.hpp"
#include "cwa/plan.hpp"
#include "cwa/platform/memory.hpp"
#include "cwa/timing.hpp"

namespace cwa {

Result<std::optional<double>> parse_resample_options(std::optional<double> resample_hz, std::string_view method) {
    if (!resample_hz) return std::nullopt;
    const double rate = *resample_hz;
    if (!std::isfinite(rate) || rate <= 0.0) return fail("resample_hz must be a finite value > 0");
    if (rate > 10000.0) return fail("resample_hz must be <= 10000");
    if (method != "cubic") {
        return fail(CwaError::message("Unsupported resample_method '" + std::string(method) + "'. Supported: cubic"));
    }
    return rate;
}

StreamingResampler::StreamingResampler(double resample_hz, std::optional<double> range_start_time,
                                       std::optional<double> range_end_time, const ChannelSelection& channels)
    : range_start_time_(range_start_time),
      range_end_time_(range_end_time),
      output_(channels),
      step_ms_(1000.0 / resample_hz) {}

TimedSample& StreamingResampler::back_slot() {
    if (length_ == capacity_) {
        std::vector<TimedSample> grown(capacity_ == 0 ? 8 : capacity_ * 2);
        for (std::size_t j = 0; j < length_; ++j) grown[j] = at(j);
        window_ = std::move(grown);
        capacity_ = window_.size();
        head_ = 0;
    }
    return window_[(head_ + length_) & (capacity_ - 1)];
}

void StreamingResampler::push_sample(const TimedSample& sample) {
    back_slot() = sample;
    push_back_slot();
}

void StreamingResampler::push_back_slot() {
    const double time_s = at(length_).time_s;
    ++length_;
    if (origin_ms_) {
        // A sample before the next grid time cannot complete a row unless a row waits for its
        // fourth point; the search and trimming that are skipped here give the same result at
        // the next call, so most pushes of a coarser grid cost only the comparison.
        if (!waiting_ && time_s < grid_time()) return;
    } else if (range_start_time_ && *range_start_time_ > time_s) {
        origin_ms_ = *range_start_time_ * 1000.0;
    } else {
        // Scaling the first sample's time to milliseconds and back can land one rounding step
        // below it, where no row could ever be served. The origin is raised to the smallest
        // value whose grid point 0 is not before the sample, so the grid starts at the first
        // sample and continues one row per step.
        double origin = time_s * 1000.0;
        while (origin / 1000.0 < time_s) origin = std::nextafter(origin, INFINITY);
        origin_ms_ = origin;
    }
    emit_ready(false);
}

void StreamingResampler::drop_front(std::size_t count) {
    head_ = (head_ + count) & (capacity_ - 1);
    length_ -= count;
}

void StreamingResampler::emit_ready(bool at_end) {
    if (!origin_ms_) return;
    for (;;) {
        const double b = grid_time();
        if (range_end_time_ && b >= *range_end_time_) {
            finished_ = true;
            return;
        }
        const std::size_t n = length_;
        std::size_t i = cursor_;
        while (i + 1 < n && b > time_at(i + 1)) ++i;
        cursor_ = i;
        // The cubic of an interior interval needs the sample after the pair; wait for it.
        const bool bracketed = n >= 2 && i + 1 < n && b >= time_at(i) && b <= time_at(i + 1);
        waiting_ = bracketed && i >= 1 && i + 2 >= n && !at_end;
        if (!bracketed || waiting_) {
            if (i >= 2) {
                drop_front(i - 1);
                cursor_ = 1;
            }
            return;
        }
        emit_row(b, i);
        ++emitted_;
        next_time_.reset();
        // Keep the sample before the bracketing pair as the first point of the next cubic.
        if (cursor_ >= 2) {
            drop_front(cursor_ - 1);
            cursor_ = 1;
        }
    }
}

void StreamingResampler::check_output_fits() const {
    // The grid runs through gaps in the clock, so one damaged packet timestamp decades away
    // would ask for billions of rows; refusing at half the machine's memory turns what would be
    // the process being killed into a MemoryError.
    static const std::uint64_t limit = platform::usable_memory_bytes() / 2;
    std::uint64_t row_bytes = sizeof(std::int64_t) + 3 * sizeof(float);
    for (const auto& column : output_.sensors) row_bytes += column ? sizeof(float) : 0;
    for (const auto& column : output_.aux) row_bytes += column ? sizeof(float) : 0;
    if (static_cast<std::uint64_t>(output_.size()) * row_bytes > limit) throw std::bad_alloc();
}

namespace {

// The weights of one grid time, shared by every channel of its row.
struct Interpolator {
    bool flat;        // bracketing times closer than 1e-12: the earlier value stands
    double fraction;  // (b - T1) / (T2 - T1)
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

void StreamingResampler::emit_row(double b, std::size_t i) {
    const std::size_t n = length_;
    const bool has_outer = i >= 1 && i + 2 < n;
    const TimedSample* s[4] = {has_outer ? &at(i - 1) : &at(i), &at(i), &at(i + 1), has_outer ? &at(i + 2) : &at(i + 1)};

    const double t[4] = {s[0]->time_s, s[1]->time_s, s[2]->time_s, s[3]->time_s};
    Interpolator interp{std::fabs(t[2] - t[1]) < 1e-12, (b - t[1]) / (t[2] - t[1]), has_outer, {}};
    for (int j = 0; j < 4 && interp.cubic; ++j) {
        double denominator = 1.0, numerator = 1.0;
        for (int m = 0; m < 4; ++m) {
            if (m == j) continue;
            denominator *= t[j] - t[m];
            numerator *= b - t[m];
        }
        if (std::fabs(denominator) < 1e-12) interp.cubic = false;
        interp.weight[j] = numerator / denominator;
    }

    auto values = [&](auto field, std::size_t c) {
        return interp.value((s[0]->*field)[c], (s[1]->*field)[c], (s[2]->*field)[c], (s[3]->*field)[c]);
    };

    if ((output_.size() & 0xFFFF) == 0) check_output_fits();
    output_.timestamps_us.push_back(seconds_to_us(b));
    for (std::size_t a = 0; a < 3; ++a) output_.acc[a].push_back(values(&TimedSample::acc, a));
    const std::size_t row = output_.size() - 1;
    for (std::size_t c = 0; c < sensor_channel_count; ++c) {
        // With the channel absent from both bracketing samples, every rule below gives absent.
        if (std::isnan(s[1]->sensors[c]) && std::isnan(s[2]->sensors[c])) {
            if (output_.sensors[c]) output_.sensors[c]->push_back(missing_value);
            continue;
        }
        // A grid time on a sample takes its optional values as they are, present or absent.
        float value;
        if (b == s[1]->time_s) {
            value = s[1]->sensors[c];
        } else if (b == s[2]->time_s) {
            value = s[2]->sensors[c];
        } else {
            value = values(&TimedSample::sensors, c);
        }
        append_sensor_value(output_.sensors[c], std::isnan(value) ? std::nullopt : std::optional(value), row);
    }
    for (std::size_t c = 0; c < aux_channel_count; ++c) {
        if (output_.aux[c]) output_.aux[c]->push_back(values(&TimedSample::aux, c));
    }
}

void StreamingResampler::reserve_rows(std::size_t rows) {
    reserved_rows_ = rows;
    output_.timestamps_us.try_reserve(rows);
    output_.for_each_column([&](FloatColumn& column) { column.try_reserve(rows); });
}

bool StreamingResampler::push_block(const DecodedBlock& block) {
    for (std::size_t k = 0; k < block.count; ++k) {
        const double t = us_to_seconds(block.timestamps_us[k]);
        const bool in_range = !(range_start_time_ && *range_start_time_ > t) && !(range_end_time_ && t >= *range_end_time_);
        if (!finished_) {
            // Built in place in the window: the sample is copied once, from the block.
            TimedSample& sample = back_slot();
            for (std::size_t a = 0; a < 3; ++a) sample.acc[a] = block.acc[a][k];
            for (std::size_t c = 0; c < sensor_channel_count; ++c) sample.sensors[c] = block.sensors[c][k];
            sample.aux = block.aux.values;
            sample.time_s = t;
        }
        // Only samples inside the range may bring a channel into the output.
        if (in_range && block.carries_sensors) {
            for (std::size_t c = 0; c < sensor_channel_count; ++c) {
                if (!std::isnan(block.sensors[c][k]) && !output_.sensors[c]) {
                    ensure_sensor_column(output_.sensors[c], output_.size()).try_reserve(reserved_rows_);
                }
            }
        }
        if (!finished_) push_back_slot();
        if (finished_ && t >= *range_end_time_) return true;
    }
    return false;
}

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
    BlockWalker walker(cursor);
    for (;;) {
        CWA_TRY(data_block, walker.next());
        if (!data_block) break;
        CWA_CHECK(decode_block(*data_block, channels.include_magnetometer, cursor.previous_end, block));
        if (!resampler) {
            CWA_CHECK(check_time_range(range_start_time, range_end_time));
            resampler.emplace(resample_hz, range_start_time, range_end_time, channels);
            resampler->reserve_rows(estimate_rows(*data_block, cursor.end_block - cursor.start_block, resample_hz,
                                                  range_start_time, range_end_time));
        }
        if (resampler->push_block(block)) break;
    }
    if (!resampler) return fail("No valid sample data found in the specified range");
    resampler->finish();
    CwaDataResult& output = resampler->output();
    if (output.size() == 0) return fail("No samples remain after applying time range/resampling");
    output.timestamps_us.shrink_to_fit();
    output.for_each_column([](FloatColumn& column) { column.shrink_to_fit(); });
    return std::move(output);
}

}  // namespace cwa
