#include "cwa/resample_options.hpp"

#include <cmath>
#include <string>

namespace cwa {

Result<std::optional<double>> parse_resample_options(std::optional<double> resample_hz, std::string_view method) {
    if (!resample_hz) return std::nullopt;
    const double rate = *resample_hz;
    if (!std::isfinite(rate) || rate <= 0.0) return refuse_argument("resample_hz must be a finite value > 0");
    if (rate > 10000.0) return refuse_argument("resample_hz must be <= 10000");
    if (method != "cubic") {
        return fail(CwaError::invalid_argument("Unsupported resample_method '" + std::string(method) +
                                               "'. Supported: cubic"));
    }
    return rate;
}

}  // namespace cwa
