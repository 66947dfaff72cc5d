#include "sphere_sums.hpp"

#include <algorithm>
#include <cmath>

namespace kelpmoor::activity {

SphereSums sphere_sums(const std::array<std::span<const double>, 3>& v, std::span<const double> dt,
                       const Correction& k, bool weighted) {
    SphereSums s;
    for (std::size_t i = 0; i < dt.size(); ++i) {
        const double t = dt[i];
        std::array<double, 3> c{};
        for (std::size_t a = 0; a < 3; ++a) c[a] = (v[a][i] + k.offset[a]) * k.scale[a] + t * k.coefficient[a];
        const double length = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
        const double distance = std::abs(length - 1.0);
        s.distance += distance;
        // Points already on the sphere weigh at most 100, so they cannot dominate without bound.
        const double w = weighted ? 1.0 / std::max(distance, 0.01) : 1.0;
        s.weight[0] += w;
        s.weight[1] += w * t;
        s.weight[2] += w * (t * t);
        for (std::size_t a = 0; a < 3; ++a) {
            const double x = v[a][i];
            const double pulled = w * (c[a] / length);
            s.v[a] += w * x;
            s.vv[a] += w * (x * x);
            s.vdt[a] += w * (x * t);
            s.p[a] += pulled;
            s.pv[a] += pulled * x;
            s.pdt[a] += pulled * t;
        }
    }
    return s;
}

}  // namespace kelpmoor::activity
