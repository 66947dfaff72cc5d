#include "cwa/resample.hpp"

#include <cmath>

#include "cwa/cursor.hpp"
#include "cwa/decoded_block.hpp"
#include "cwa/plan.hpp"
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
      resample_hz_(resample_hz) {}

void StreamingResampler::push_sample(const TimedSample& sample) {
    if (length_ == window_.size()) {
        std::vector<TimedSample> grown(window_.empty() ? 8 : window_.size() * 2);
        for (std::size_t j = 0; j < length_; ++j) grown[j] = at(j);
        window_ = std::move(grown);
        head_ = 0;
    }
    window_[(head_ + length_) & (window_.size() - 1)] = sample;
    ++length_;
    if (!origin_ms_) {
        if (range_start_time_ && *range_start_time_ > sample.time_s) {
            origin_ms_ = *range_start_time_ * 1000.0;
        } else {
            // Scaling the first sample's time to milliseconds and back can land one rounding
            // step below it, where no row could ever be served. The origin is raised to the
            // smallest value whose grid point 0 is not before the sample, so the grid starts
            // at the first sample and continues one row per step.
            double origin = sample.time_s * 1000.0;
            while (origin / 1000.0 < sample.time_s) origin = std::nextafter(origin, INFINITY);
            origin_ms_ = origin;
        }
    }
    emit_ready(false);
}

void StreamingResampler::drop_front(std::size_t count) {
    head_ = (head_ + count) & (window_.size() - 1);
    length_ -= count;
}

void StreamingResampler::emit_ready(bool at_end) {
    if (!origin_ms_) return;
    const double step_ms = 1000.0 / resample_hz_;
    for (;;) {
        const double b = (static_cast<double>(emitted_) * step_ms + *origin_ms_) / 1000.0;
        if (range_end_time_ && b >= *range_end_time_) {
            finished_ = true;
            return;
        }
        const std::size_t n = length_;
        std::size_t i = cursor_;
        while (i + 1 < n && b > time_at(i + 1)) ++i;
        cursor_ = i;
        // The cubic of an interior interval needs the sample after the pair; wait for it.
        const bool served = n >= 2 && i + 1 < n && b >= time_at(i) && b <= time_at(i + 1) &&
                            !(i >= 1 && i + 2 >= n && !at_end);
        if (!served) {
            if (i >= 2) {
                drop_front(i - 1);
                cursor_ = 1;
            }
            return;
        }
        emit_row(b, i);
        ++emitted_;
        // Keep the sample before the bracketing pair as the first point of the next cubic.
        if (cursor_ >= 2) {
            drop_front(cursor_ - 1);
            cursor_ = 1;
        }
    }
}

namespace {

struct Interpolator {
    double b;
    double t[4];  // t[0] and t[3] only meaningful when `cubic`
    bool cubic;
    double weight[4];

    double linear(double y1, double y2) const {
        if (std::fabs(t[2] - t[1]) < 1e-12) return y1;
        return y1 + ((b - t[1]) / (t[2] - t[1])) * (y2 - y1);
    }
    // Four-point Lagrange; falls back to linear on a missing neighbour value.
    float value(const float (&y)[4]) const {
        const double y0 = y[0], y1 = y[1], y2 = y[2], y3 = y[3];
        if (cubic && !std::isnan(y0) && !std::isnan(y1) && !std::isnan(y2) && !std::isnan(y3)) {
            return static_cast<float>(((weight[0] * y0 + weight[1] * y1) + weight[2] * y2) + weight[3] * y3);
        }
        return static_cast<float>(linear(y1, y2));
    }
};

}  // namespace

void StreamingResampler::emit_row(double b, std::size_t i) {
    const std::size_t n = length_;
    const bool has_outer = i >= 1 && i + 2 < n;
    const TimedSample* s[4] = {has_outer ? &at(i - 1) : &at(i), &at(i), &at(i + 1), has_outer ? &at(i + 2) : &at(i + 1)};

    Interpolator interp{b, {s[0]->time_s, s[1]->time_s, s[2]->time_s, s[3]->time_s}, has_outer, {}};
    if (has_outer) {
        for (int j = 0; j < 4 && interp.cubic; ++j) {
            double denominator = 1.0, numerator = 1.0;
            for (int m = 0; m < 4; ++m) {
                if (m == j) continue;
                denominator *= interp.t[j] - interp.t[m];
                numerator *= b - interp.t[m];
            }
            if (std::fabs(denominator) < 1e-12) interp.cubic = false;
            interp.weight[j] = numerator / denominator;
        }
    }

    auto values = [&](auto field, std::size_t c) {
        float y[4];
        for (int j = 0; j < 4; ++j) y[j] = (s[j]->*field)[c];
        return interp.value(y);
    };

    output_.timestamps_us.push_back(seconds_to_us(b));
    for (std::size_t a = 0; a < 3; ++a) output_.acc[a].push_back(values(&TimedSample::acc, a));
    const std::size_t row = output_.size() - 1;
    for (std::size_t c = 0; c < sensor_channel_count; ++c) {
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
    bool stop = false;
    while (!stop) {
        CWA_TRY(data_block, walker.next());
        if (!data_block) break;
        CWA_CHECK(decode_block(*data_block, channels.include_magnetometer, cursor.previous_end, block));
        if (!resampler) {
            CWA_CHECK(check_time_range(range_start_time, range_end_time));
            resampler.emplace(resample_hz, range_start_time, range_end_time, channels);
        }
        CwaDataResult& output = resampler->output();
        for (std::size_t k = 0; k < block.count; ++k) {
            const double t = us_to_seconds(block.timestamps_us[k]);
            const bool in_range = !(range_start_time && *range_start_time > t) && !(range_end_time && t >= *range_end_time);
            TimedSample sample{};
            for (std::size_t a = 0; a < 3; ++a) sample.acc[a] = block.acc[a][k];
            for (std::size_t c = 0; c < sensor_channel_count; ++c) {
                sample.sensors[c] = block.sensors[c][k];
                // Only samples inside the range may bring a channel into the output.
                if (in_range && !std::isnan(sample.sensors[c])) ensure_sensor_column(output.sensors[c], output.size());
            }
            sample.aux = block.aux.values;
            sample.time_s = t;
            if (!resampler->finished()) resampler->push_sample(sample);
            if (resampler->finished() && t >= *range_end_time) {
                stop = true;
                break;
            }
        }
    }
    if (!resampler) return fail("No valid sample data found in the specified range");
    resampler->emit_ready(true);
    CwaDataResult& output = resampler->output();
    if (output.size() == 0) return fail("No samples remain after applying time range/resampling");
    return std::move(output);
}

}  // namespace cwa
