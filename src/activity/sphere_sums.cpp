#include "sphere_sums.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "lanes.hpp"

namespace kelpmoor::activity {

namespace {

// The sums of one round, window i in lane i % 4 (see lanes.hpp).
struct Lanes {
    Double4 weight[3]{}, v[3]{}, vv[3]{}, vdt[3]{}, p[3]{}, pv[3]{}, pdt[3]{}, distance{};
};

template <bool weighted, class Mask>
[[gnu::always_inline]] inline void add(Lanes& s, const Double4 (&v)[3], const Double4& t, const Correction& k,
                                       const Mask& used) {
    Double4 c[3];
    for (std::size_t a = 0; a < 3; ++a) c[a] = (v[a] + k.offset[a]) * k.scale[a] + t * k.coefficient[a];
    const Double4 square = c[0] * c[0] + c[1] * c[1] + c[2] * c[2];
    Double4 length;
    sqrt4(square, length);
    const Double4 off = length - 1.0;
    const Double4 distance = off < 0.0 ? -off : off;
    const auto put = [&](Double4& sum, const Double4& term) { sum = used ? sum + term : sum; };
    put(s.distance, distance);
    // Points already on the sphere weigh at most 100, so they cannot dominate without bound.
    Double4 w = Double4{} + 1.0;
    if constexpr (weighted) w = 1.0 / (distance < 0.01 ? Double4{} + 0.01 : distance);
    put(s.weight[0], w);
    put(s.weight[1], w * t);
    put(s.weight[2], w * (t * t));
    // One division per window: each axis' closest point c / |c|, weighted, is c times w / |c|.
    const Double4 pull = w / length;
    for (std::size_t a = 0; a < 3; ++a) {
        const Double4& x = v[a];
        const Double4 pulled = c[a] * pull;
        put(s.v[a], w * x);
        put(s.vv[a], w * (x * x));
        put(s.vdt[a], w * (x * t));
        put(s.p[a], pulled);
        put(s.pv[a], pulled * x);
        put(s.pdt[a], pulled * t);
    }
}

[[gnu::always_inline]] inline void load(const double* at, Double4& out) { std::memcpy(&out, at, sizeof out); }

template <bool weighted>
[[gnu::always_inline]] inline SphereSums sum_body(const std::array<std::span<const double>, 3>& v,
                                                  std::span<const double> dt, const Correction& k) {
    Lanes s;
    const std::size_t n = dt.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        Double4 axes[3], t;
        for (std::size_t a = 0; a < 3; ++a) load(v[a].data() + i, axes[a]);
        load(dt.data() + i, t);
        add<weighted>(s, axes, t, k, true);
    }
    if (i < n) {
        // The last windows, padded with copies of the last; the padding lanes add nothing.
        Double4 axes[3], t;
        for (int l = 0; l < 4; ++l) {
            const std::size_t at = std::min(i + static_cast<std::size_t>(l), n - 1);
            for (std::size_t a = 0; a < 3; ++a) axes[a][l] = v[a][at];
            t[l] = dt[at];
        }
        const Double4 lane{0.0, 1.0, 2.0, 3.0};
        add<weighted>(s, axes, t, k, lane < static_cast<double>(n - i));
    }
    SphereSums out;
    for (std::size_t j = 0; j < 3; ++j) {
        out.weight[j] = join(s.weight[j]);
        out.v[j] = join(s.v[j]);
        out.vv[j] = join(s.vv[j]);
        out.vdt[j] = join(s.vdt[j]);
        out.p[j] = join(s.p[j]);
        out.pv[j] = join(s.pv[j]);
        out.pdt[j] = join(s.pdt[j]);
    }
    out.distance = join(s.distance);
    return out;
}

[[gnu::always_inline]] inline SphereSums dispatch_body(const std::array<std::span<const double>, 3>& v,
                                                       std::span<const double> dt, const Correction& k,
                                                       bool weighted) {
    return weighted ? sum_body<true>(v, dt, k) : sum_body<false>(v, dt, k);
}

SphereSums sums_portable(const std::array<std::span<const double>, 3>& v, std::span<const double> dt,
                         const Correction& k, bool weighted) {
    return dispatch_body(v, dt, k, weighted);
}

#ifdef CWA_X86_KERNELS
[[gnu::target("avx2")]] SphereSums sums_avx2(const std::array<std::span<const double>, 3>& v,
                                             std::span<const double> dt, const Correction& k, bool weighted) {
    return dispatch_body(v, dt, k, weighted);
}

[[gnu::target("avx512f,avx512vl")]] SphereSums sums_avx512(const std::array<std::span<const double>, 3>& v,
                                                           std::span<const double> dt, const Correction& k,
                                                           bool weighted) {
    return dispatch_body(v, dt, k, weighted);
}
#endif

}  // namespace

SphereSums sphere_sums(const std::array<std::span<const double>, 3>& v, std::span<const double> dt,
                       const Correction& k, bool weighted) {
    switch (active_kernel()) {
#ifdef CWA_X86_KERNELS
        case Kernel::avx2:
            return sums_avx2(v, dt, k, weighted);
        case Kernel::avx512:
            return sums_avx512(v, dt, k, weighted);
#endif
        default:
            return sums_portable(v, dt, k, weighted);
    }
}

}  // namespace kelpmoor::activity
