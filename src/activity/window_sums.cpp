#include "window_sums.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "lanes.hpp"

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

// The statistics of one run in four lanes: lane k holds the run's samples k, k + 4, ...
// Two ways to carry them, with the same operations in every lane and so the same bits: one
// vector per statistic for the wider kernels, where a run's fourteen vectors fit the registers,
// and four scalars per statistic for the baseline, which has too few registers for them.
template <bool corrected, bool full>
struct VectorLanes {
    static constexpr double inf = std::numeric_limits<double>::infinity();
    Double4 warm{}, enmo{};
    Double4 sum[3]{}, square[3]{};
    Double4 lo[3]{Double4{} + inf, Double4{} + inf, Double4{} + inf};
    Double4 hi[3]{Double4{} - inf, Double4{} - inf, Double4{} - inf};

    // Four consecutive samples of the run, one to each lane.
    [[gnu::always_inline]] void add4(const float* const (&at)[4], const Correction& k) { add(at, k, true); }

    // The run's last `count` (1 to 3) samples, into lanes 0 to count - 1.
    [[gnu::always_inline]] void add_tail(const float* const (&at)[4], std::size_t count, const Correction& k) {
        // Padded to a full step with copies of the last sample; the padding lanes are left out
        // of every statistic.
        float tail[4][4];
        for (std::size_t l = 0; l < 4; ++l)
            for (std::size_t a = 0; a < 4; ++a) tail[a][l] = at[a][std::min(l, count - 1)];
        const Double4 lane{0.0, 1.0, 2.0, 3.0};
        add({tail[0], tail[1], tail[2], tail[3]}, k, lane < static_cast<double>(count));
    }

    template <class Mask>
    [[gnu::always_inline]] void add(const float* const (&at)[4], const Correction& k, const Mask& used) {
        Double4 v[3], celsius;
        for (std::size_t a = 0; a < 3; ++a) load4(at[a], v[a]);
        load4(at[3], celsius);
        warm = used ? warm + celsius : warm;
        Double4 norm{};
        for (std::size_t a = 0; a < 3; ++a) {
            Double4 c = v[a];
            if constexpr (corrected) c = (c + k.offset[a]) * k.scale[a] + (celsius - k.reference) * k.coefficient[a];
            sum[a] = used ? sum[a] + c : sum[a];
            square[a] = used ? square[a] + c * c : square[a];
            if constexpr (full) {
                norm += c * c;
                lo[a] = used && c < lo[a] ? c : lo[a];
                hi[a] = used && c > hi[a] ? c : hi[a];
            }
        }
        if constexpr (full) {
            Double4 length;
            sqrt4(norm, length);
            const Double4 excess = length - 1.0;
            // max(excess, 0), as std::max has it: a NaN stays.
            enmo = used ? enmo + (excess < 0.0 ? Double4{} : excess) : enmo;
        }
    }
};

template <bool corrected, bool full>
struct ScalarLanes {
    using Four = std::array<double, 4>;
    static constexpr double inf = std::numeric_limits<double>::infinity();
    Four warm{}, enmo{};
    std::array<Four, 3> sum{}, square{};
    std::array<Four, 3> lo{Four{inf, inf, inf, inf}, Four{inf, inf, inf, inf}, Four{inf, inf, inf, inf}};
    std::array<Four, 3> hi{Four{-inf, -inf, -inf, -inf}, Four{-inf, -inf, -inf, -inf}, Four{-inf, -inf, -inf, -inf}};

    [[gnu::always_inline]] void add4(const float* const (&at)[4], const Correction& k) {
        for (std::size_t lane = 0; lane < 4; ++lane) add(lane, at, k);
    }
    [[gnu::always_inline]] void add_tail(const float* const (&at)[4], std::size_t count, const Correction& k) {
        for (std::size_t lane = 0; lane < count; ++lane) add(lane, at, k);
    }

    [[gnu::always_inline]] void add(std::size_t lane, const float* const (&at)[4], const Correction& k) {
        const double celsius = at[3][lane];
        warm[lane] += celsius;
        double norm = 0.0;
        for (std::size_t a = 0; a < 3; ++a) {
            double c = at[a][lane];
            if constexpr (corrected) c = (c + k.offset[a]) * k.scale[a] + (celsius - k.reference) * k.coefficient[a];
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

template <template <bool, bool> class Lanes, bool corrected, bool full>
[[gnu::always_inline]] inline std::size_t sum_runs_body(const Samples& s, std::int64_t width, const Correction& k,
                                                        bool complete, Runs& out) {
    const float *x = s.x.data(), *y = s.y.data(), *z = s.z.data(), *celsius = s.temperature.data();
    const std::size_t size = s.time_us.size();
    for (std::size_t begin = 0; begin < size;) {
        const std::int64_t id = floor_div(s.time_us[begin], width);
        const std::size_t end = run_end(s.time_us, begin, id, width);
        if (end == size && !complete) return begin;
        Lanes<corrected, full> acc;
        std::size_t i = begin;
        for (; i + 4 <= end; i += 4) acc.add4({x + i, y + i, z + i, celsius + i}, k);
        if (i < end) acc.add_tail({x + i, y + i, z + i, celsius + i}, end - i, k);
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
            const auto &lo = acc.lo[a], &hi = acc.hi[a];
            f[lox + a].push_back(full ? std::min(std::min(lo[0], lo[1]), std::min(lo[2], lo[3])) : 0.0);
            f[hix + a].push_back(full ? std::max(std::max(hi[0], hi[1]), std::max(hi[2], hi[3])) : 0.0);
        }
        f[Field::enmo].push_back(join(acc.enmo));
        begin = end;
    }
    return size;
}

template <template <bool, bool> class Lanes>
[[gnu::always_inline]] inline std::size_t dispatch_body(const Samples& s, std::int64_t width,
                                                        const Correction* correction, bool full, bool complete,
                                                        Runs& out) {
    const Correction identity;
    const Correction& k = correction ? *correction : identity;
    if (correction)
        return full ? sum_runs_body<Lanes, true, true>(s, width, k, complete, out)
                    : sum_runs_body<Lanes, true, false>(s, width, k, complete, out);
    return full ? sum_runs_body<Lanes, false, true>(s, width, k, complete, out)
                : sum_runs_body<Lanes, false, false>(s, width, k, complete, out);
}

std::size_t sum_runs_portable(const Samples& s, std::int64_t width, const Correction* correction, bool full,
                              bool complete, Runs& out) {
    return dispatch_body<ScalarLanes>(s, width, correction, full, complete, out);
}

#ifdef CWA_X86_KERNELS
[[gnu::target("avx2")]] std::size_t sum_runs_avx2(const Samples& s, std::int64_t width, const Correction* correction,
                                                  bool full, bool complete, Runs& out) {
    return dispatch_body<VectorLanes>(s, width, correction, full, complete, out);
}

[[gnu::target("avx512f,avx512vl")]] std::size_t sum_runs_avx512(const Samples& s, std::int64_t width,
                                                                const Correction* correction, bool full,
                                                                bool complete, Runs& out) {
    return dispatch_body<VectorLanes>(s, width, correction, full, complete, out);
}
#endif

}  // namespace

std::size_t append_window_sums(const Samples& samples, std::int64_t width_us, const Correction* correction,
                               bool full, bool complete, Runs& out) {
    switch (active_kernel()) {
#ifdef CWA_X86_KERNELS
        case Kernel::avx2:
            return sum_runs_avx2(samples, width_us, correction, full, complete, out);
        case Kernel::avx512:
            return sum_runs_avx512(samples, width_us, correction, full, complete, out);
#endif
        default:
            return sum_runs_portable(samples, width_us, correction, full, complete, out);
    }
}

Runs window_sums(const Samples& samples, std::int64_t width_us, const Correction* correction, bool full) {
    Runs out;
    append_window_sums(samples, width_us, correction, full, true, out);
    return out;
}

}  // namespace kelpmoor::activity
