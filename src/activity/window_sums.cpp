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

// A run's samples are summed in four interleaved partial sums (sample k of the run, counting
// from its first, goes to partial k % 4), joined as (p0 + p1) + (p2 + p3). The order is fixed,
// so the bits are the same on every machine, and the four partials make independent chains a
// vector unit can carry side by side.
constexpr std::size_t lanes = 4;
using Lanes = std::array<double, lanes>;

inline double join(const Lanes& p) { return (p[0] + p[1]) + (p[2] + p[3]); }

template <bool corrected, bool full>
struct Accumulator {
    Lanes warm{}, enmo{};
    std::array<Lanes, 3> sum{}, square{}, lo, hi;
    Accumulator() {
        constexpr double inf = std::numeric_limits<double>::infinity();
        for (auto& l : lo) l.fill(inf);
        for (auto& h : hi) h.fill(-inf);
    }
    void add(std::size_t lane, const std::array<const float*, 3>& axis, const float* celsius, std::size_t i,
             const Correction& k) {
        const double warm_i = celsius[i];
        warm[lane] += warm_i;
        double norm = 0.0;
        for (std::size_t a = 0; a < 3; ++a) {
            double c = axis[a][i];
            if constexpr (corrected) c = (c + k.offset[a]) * k.scale[a] + (warm_i - k.reference) * k.coefficient[a];
            sum[a][lane] += c;
            square[a][lane] += c * c;
            if constexpr (full) {
                norm += c * c;
                lo[a][lane] = c < lo[a][lane] ? c : lo[a][lane];
                hi[a][lane] = c > hi[a][lane] ? c : hi[a][lane];
            }
        }
        if constexpr (full) enmo[lane] += std::max(std::sqrt(norm) - 1.0, 0.0);
    }
};

template <bool corrected, bool full>
void sum_runs(const Samples& s, std::int64_t width, const Correction& k, Runs& out) {
    const std::array<const float*, 3> axis{s.x.data(), s.y.data(), s.z.data()};
    const float* celsius = s.temperature.data();
    for (std::size_t begin = 0; begin < s.time_us.size();) {
        const std::int64_t id = floor_div(s.time_us[begin], width);
        const std::size_t end = run_end(s.time_us, begin, id, width);
        Accumulator<corrected, full> acc;
        std::size_t i = begin;
        for (; i + lanes <= end; i += lanes)
            for (std::size_t lane = 0; lane < lanes; ++lane) acc.add(lane, axis, celsius, i + lane, k);
        for (std::size_t lane = 0; i < end; ++i, ++lane) acc.add(lane, axis, celsius, i, k);
        const auto n = static_cast<double>(end - begin);
        out.id.push_back(id);
        auto& f = out.field;
        f[count].push_back(n);
        f[Field::temperature].push_back(join(acc.warm) / n);
        for (std::size_t a = 0; a < 3; ++a) {
            const double sum = join(acc.sum[a]);
            f[mx + a].push_back(sum / n);
            // Rounding can leave a still window's spread a hair below zero.
            f[vx + a].push_back(std::max(join(acc.square[a]) - sum * sum / n, 0.0));
            const Lanes& lo = acc.lo[a];
            const Lanes& hi = acc.hi[a];
            f[lox + a].push_back(full ? std::min(std::min(lo[0], lo[1]), std::min(lo[2], lo[3])) : 0.0);
            f[hix + a].push_back(full ? std::max(std::max(hi[0], hi[1]), std::max(hi[2], hi[3])) : 0.0);
        }
        f[Field::enmo].push_back(join(acc.enmo));
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
