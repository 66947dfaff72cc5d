// The weighted sums of one round of the calibration fit: still-window means corrected, pulled
// onto the unit sphere, and summed for each axis' least-squares line.
#pragma once

#include <array>
#include <span>

#include "window_sums.hpp"

namespace kelpmoor::activity {

struct SphereSums {
    // Weights w are 1 / max(| |c| - 1 |, 0.01), or 1 in an unweighted round; dt is the window's
    // temperature minus the reference, v the uncorrected mean, p = c / |c| the closest point.
    std::array<double, 3> weight{};            // sum w, sum w dt, sum w dt^2
    std::array<double, 3> v{}, vv{}, vdt{};    // per axis: sum w v, sum w v^2, sum w v dt
    std::array<double, 3> p{}, pv{}, pdt{};    // per axis: sum w p, sum w p v, sum w p dt
    double distance = 0.0;                     // sum | |c| - 1 |, unweighted
};

// One pass over the windows, each corrected by `correction` (its reference is already taken
// out of dt), summed in the fixed order of four interleaved partial sums (lanes.hpp), so every
// kernel gives the same bits. All spans are equally long.
[[nodiscard]] SphereSums sphere_sums(const std::array<std::span<const double>, 3>& v, std::span<const double> dt,
                                     const Correction& correction, bool weighted);

}  // namespace kelpmoor::activity
