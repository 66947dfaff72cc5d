#include "window_sums.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kelpmoor::activity {

namespace {

constexpr std::int64_t floor_div(std::int64_t value, std::int64_t width) {
    const std::int64_t q = value / width;
    return (value % width != 0 && value < 0) ? q - 1 : q;
}

// One past the last sample of the run that starts at `begin`. The window's start is compared
// in unsigned arithmetic, which cannot overflow for any clock reading.
std::size_t run_end(std::span<const std::int64_t> time, std::size_t begin, std::int64_t id, std::int64_t width) {
    const auto start = static_cast<std::uint64_t>(id) * static_cast<std::uint64_t>(width);
    const auto span = static_cast<std::uint64_t>(width);
    std::size_t end = begin + 1;
    while (end < time.size() && time[end] >= time[end - 1] && static_cast<std::uint64_t>(time[end]) - start < span)
        ++end;
    return end;
}

template <bool corrected, bool full>
void sum_runs(const Samples& s, std::int64_t width, const Correction& k, Runs& out) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::array<const float*, 3> axis{s.x.data(), s.y.data(), s.z.data()};
    const float* celsius = s.temperature.data();
    for (std::size_t begin = 0; begin < s.time_us.size();) {
        const std::int64_t id = floor_div(s.time_us[begin], width);
        const std::size_t end = run_end(s.time_us, begin, id, width);
        double warm_sum = 0.0, enmo = 0.0;
        std::array<double, 3> sum{}, square{}, lo{inf, inf, inf}, hi{-inf, -inf, -inf};
        for (std::size_t i = begin; i < end; ++i) {
            const double warm = celsius[i];
            warm_sum += warm;
            double norm = 0.0;
            for (std::size_t a = 0; a < 3; ++a) {
                double c = axis[a][i];
                if constexpr (corrected) c = (c + k.offset[a]) * k.scale[a] + (warm - k.reference) * k.coefficient[a];
                sum[a] += c;
                square[a] += c * c;
                if constexpr (full) {
                    norm += c * c;
                    lo[a] = c < lo[a] ? c : lo[a];
                    hi[a] = c > hi[a] ? c : hi[a];
                }
            }
            if constexpr (full) enmo += std::max(std::sqrt(norm) - 1.0, 0.0);
        }
        const auto n = static_cast<double>(end - begin);
        out.id.push_back(id);
        auto& f = out.field;
        f[count].push_back(n);
        f[Field::temperature].push_back(warm_sum / n);
        for (std::size_t a = 0; a < 3; ++a) {
            f[mx + a].push_back(sum[a] / n);
            // Rounding can leave a still window's spread a hair below zero.
            f[vx + a].push_back(std::max(square[a] - sum[a] * sum[a] / n, 0.0));
            f[lox + a].push_back(full ? lo[a] : 0.0);
            f[hix + a].push_back(full ? hi[a] : 0.0);
        }
        f[Field::enmo].push_back(enmo);
        begin = end;
    }
}

}  // namespace

Runs window_sums(const Samples& samples, std::int64_t width_us, const Correction* correction, bool full) {
    Runs out;
    const Correction identity;
    const Correction& k = correction ? *correction : identity;
    if (correction)
        full ? sum_runs<true, true>(samples, width_us, k, out) : sum_runs<true, false>(samples, width_us, k, out);
    else
        full ? sum_runs<false, true>(samples, width_us, k, out) : sum_runs<false, false>(samples, width_us, k, out);
    return out;
}

}  // namespace kelpmoor::activity
