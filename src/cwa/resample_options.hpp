// The checks of a requested resampling rate and method.
#pragma once

#include <optional>
#include <string_view>

#include "cwa/error.hpp"

namespace cwa {

// The validated rate, or nothing when no rate is given (the method is then not examined).
// Refusals are invalid arguments.
Result<std::optional<double>> parse_resample_options(std::optional<double> resample_hz, std::string_view method);

}  // namespace cwa
