// The row-at-a-time resampler and the sample-by-sample feeding loop as the module shipped them
// before rows were computed in batches: the yardstick the batched resampler is compared with,
// bit for bit. Kept here, outside the module, so that it never changes with the code it checks.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "cwa/decoded_block.hpp"
#include "cwa/data_result.hpp"
#include "cwa/timing.hpp"

namespace reference {

using cwa::aux_channel_count;
using cwa::sensor_channel_count;

// One recorded sample as the resampler sees it. Absent gyroscope and magnetometer values are NaN.
struct TimedSample {
    std::array<float, 3> acc;
    std::array<float, sensor_channel_count> sensors;
    std::array<float, aux_channel_count> aux;
    double time_s;
};

class ReferenceResampler {
public:
    ReferenceResampler(double resample_hz, std::optional<double> range_start_time,
                       std::optional<double> range_end_time, const cwa::ChannelSelection& channels)
        : range_start_time_(range_start_time),
          range_end_time_(range_end_time),
          output_(channels),
          step_ms_(1000.0 / resample_hz) {}

    void push_sample(const TimedSample& sample) {
        back_slot() = sample;
        push_back_slot();
    }
    TimedSample& back_slot() {
        if (length_ == capacity_) {
            std::vector<TimedSample> grown(capacity_ == 0 ? 8 : capacity_ * 2);
            for (std::size_t j = 0; j < length_; ++j) grown[j] = at(j);
            window_ = std::move(grown);
            capacity_ = window_.size();
            head_ = 0;
        }
        return window_[(head_ + length_) & (capacity_ - 1)];
    }
    void push_back_slot() {
        const double time_s = at(length_).time_s;
        ++length_;
        if (origin_ms_) {
            if (!waiting_ && time_s < grid_time()) return;
        } else if (range_start_time_ && *range_start_time_ > time_s) {
            origin_ms_ = *range_start_time_ * 1000.0;
        } else {
            double origin = time_s * 1000.0;
            while (origin / 1000.0 < time_s) origin = std::nextafter(origin, INFINITY);
            origin_ms_ = origin;
        }
        emit_ready(false);
    }
    void emit_ready(bool at_end) {
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
            if (cursor_ >= 2) {
                drop_front(cursor_ - 1);
                cursor_ = 1;
            }
        }
    }
    bool finished() const { return finished_; }
    cwa::CwaDataResult& output() { return output_; }

private:
    const TimedSample& at(std::size_t j) const { return window_[(head_ + j) & (capacity_ - 1)]; }
    double time_at(std::size_t j) const { return at(j).time_s; }
    void drop_front(std::size_t count) {
        head_ = (head_ + count) & (capacity_ - 1);
        length_ -= count;
    }
    double grid_time() {
        if (!next_time_) next_time_ = (static_cast<double>(emitted_) * step_ms_ + *origin_ms_) / 1000.0;
        return *next_time_;
    }

    struct Interpolator {
        bool flat;
        double fraction;
        bool cubic;
        double weight[4];
        float value(double y0, double y1, double y2, double y3) const {
            if (cubic && !std::isnan(y0) && !std::isnan(y1) && !std::isnan(y2) && !std::isnan(y3)) {
                return static_cast<float>(((weight[0] * y0 + weight[1] * y1) + weight[2] * y2) + weight[3] * y3);
            }
            return static_cast<float>(flat ? y1 : y1 + fraction * (y2 - y1));
        }
    };

    void emit_row(double b, std::size_t i) {
        const std::size_t n = length_;
        const bool has_outer = i >= 1 && i + 2 < n;
        const TimedSample* s[4] = {has_outer ? &at(i - 1) : &at(i), &at(i), &at(i + 1),
                                   has_outer ? &at(i + 2) : &at(i + 1)};
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
        output_.timestamps_us.push_back(cwa::seconds_to_us(b));
        for (std::size_t a = 0; a < 3; ++a) output_.acc[a].push_back(values(&TimedSample::acc, a));
        const std::size_t row = output_.size() - 1;
        for (std::size_t c = 0; c < sensor_channel_count; ++c) {
            if (std::isnan(s[1]->sensors[c]) && std::isnan(s[2]->sensors[c])) {
                if (output_.sensors[c]) output_.sensors[c]->push_back(cwa::missing_value);
                continue;
            }
            float value;
            if (b == s[1]->time_s) {
                value = s[1]->sensors[c];
            } else if (b == s[2]->time_s) {
                value = s[2]->sensors[c];
            } else {
                value = values(&TimedSample::sensors, c);
            }
            cwa::append_sensor_value(output_.sensors[c], std::isnan(value) ? std::nullopt : std::optional(value), row);
        }
        for (std::size_t c = 0; c < aux_channel_count; ++c) {
            if (output_.aux[c]) output_.aux[c]->push_back(values(&TimedSample::aux, c));
        }
    }

    std::optional<double> range_start_time_;
    std::optional<double> range_end_time_;
    std::optional<double> origin_ms_;
    std::vector<TimedSample> window_;
    std::size_t capacity_ = 0;
    std::size_t head_ = 0;
    std::size_t length_ = 0;
    cwa::CwaDataResult output_;
    double step_ms_;
    std::size_t cursor_ = 0;
    std::uint64_t emitted_ = 0;
    std::optional<double> next_time_;
    bool finished_ = false;
    bool waiting_ = false;
};

// The feeding loop of the resampled read over blocks already decoded: samples in range bring
// their channels into the output, every sample is pushed until the grid has passed the range
// end, and reading stops at the first sample at or after the end once it has. Nothing when no
// row came out.
inline std::optional<cwa::CwaDataResult> reference_resampled_read(const std::vector<cwa::DecodedBlock>& blocks,
                                                                  double resample_hz,
                                                                  std::optional<double> range_start_time,
                                                                  std::optional<double> range_end_time,
                                                                  const cwa::ChannelSelection& channels) {
    if (blocks.empty()) return std::nullopt;
    ReferenceResampler resampler(resample_hz, range_start_time, range_end_time, channels);
    bool stop = false;
    for (const cwa::DecodedBlock& block : blocks) {
        if (stop) break;
        cwa::CwaDataResult& output = resampler.output();
        for (std::size_t k = 0; k < block.count; ++k) {
            const double t = cwa::us_to_seconds(block.timestamps_us[k]);
            const bool in_range = !(range_start_time && *range_start_time > t) && !(range_end_time && t >= *range_end_time);
            if (!resampler.finished()) {
                TimedSample& sample = resampler.back_slot();
                for (std::size_t a = 0; a < 3; ++a) sample.acc[a] = block.acc[a][k];
                for (std::size_t c = 0; c < sensor_channel_count; ++c) sample.sensors[c] = block.sensors[c][k];
                sample.aux = block.aux.values;
                sample.time_s = t;
            }
            if (in_range && block.carries_sensors) {
                for (std::size_t c = 0; c < sensor_channel_count; ++c) {
                    if (!std::isnan(block.sensors[c][k]) && !output.sensors[c]) {
                        cwa::ensure_sensor_column(output.sensors[c], output.size());
                    }
                }
            }
            if (!resampler.finished()) resampler.push_back_slot();
            if (resampler.finished() && t >= *range_end_time) {
                stop = true;
                break;
            }
        }
    }
    resampler.emit_ready(true);
    if (resampler.output().size() == 0) return std::nullopt;
    return std::move(resampler.output());
}

}  // namespace reference
