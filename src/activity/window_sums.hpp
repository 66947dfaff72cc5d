// Per-window sums of a stretch of samples: the one pass beneath every window statistic of the
// activity methods (still windows, epochs, non-wear steps).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kelpmoor::activity {

// The correction of a sensor's axes: c = (v + offset) * scale + (T - reference) * coefficient.
struct Correction {
    std::array<double, 3> offset{0.0, 0.0, 0.0};
    std::array<double, 3> scale{1.0, 1.0, 1.0};
    std::array<double, 3> coefficient{0.0, 0.0, 0.0};
    double reference = 0.0;
};

struct Samples {
    std::span<const std::int64_t> time_us;  // device clock, microseconds
    std::span<const float> x, y, z, temperature;
};

// The statistics of a run, in the order of the rows handed back to Python.
enum Field : std::size_t { count, temperature, mx, my, mz, vx, vy, vz, enmo, lox, loy, loz, hix, hiy, hiz, field_count };

struct Runs {
    std::vector<std::int64_t> id;                         // window number of each run
    std::array<std::vector<double>, field_count> field;   // one value per run each
};

// Runs of consecutive samples in one window of `width_us` (windows start at whole multiples of
// the width; a clock set back starts a new run): per run the count, mean temperature, per axis
// mean and sum of squared deviations, and with `full` the sum of max(|c| - 1, 0) and each
// axis' minimum and maximum. `correction`, when given, is applied to every sample first.
// Every sum runs in double precision in one fixed order (four interleaved partial sums per
// run, see lanes.hpp), so a run's statistics have the same bits on every machine.
// `width_us` must be positive.
[[nodiscard]] Runs window_sums(const Samples& samples, std::int64_t width_us, const Correction* correction, bool full);

// The same sums appended to `out`, for samples that arrive in pieces. Unless `complete`, the
// last run may go on in the next piece: it is left out, and the return value is where it
// begins (the caller hands those samples in again with the next piece, so a run is summed
// whole, exactly as in one call). With `complete`, every run is summed and the return value
// is the number of samples.
std::size_t append_window_sums(const Samples& samples, std::int64_t width_us, const Correction* correction,
                               bool full, bool complete, Runs& out);

}  // namespace kelpmoor::activity
