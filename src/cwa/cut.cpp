#include "cwa/cut.hpp"

#include <cmath>

namespace cwa {

namespace {

Status validate_seconds_bound(std::optional<double> value) {
    if (!value) return {};
    if (!std::isfinite(*value)) return refuse_argument("seconds cut values must be finite");
    // A plain comparison, so -0.0 is accepted.
    if (*value < 0.0) return refuse_argument("seconds cut values must be >= 0");
    return {};
}

}  // namespace

Status CutConfig::validate() const {
    if (const auto* blocks = std::get_if<BlocksCut>(&kind)) {
        if (blocks->start && blocks->end && *blocks->end <= *blocks->start) {
            return refuse_argument("blocks end must be greater than start");
        }
    } else if (const auto* seconds = std::get_if<SecondsCut>(&kind)) {
        CWA_CHECK(validate_seconds_bound(seconds->start));
        CWA_CHECK(validate_seconds_bound(seconds->end));
        if (seconds->start && seconds->end && *seconds->start >= *seconds->end) {
            return refuse_argument("seconds end must be greater than start");
        }
    }
    return {};
}

}  // namespace cwa
