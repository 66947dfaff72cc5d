// What read_cwa_file and write_cwa_csv share: their read arguments turned into a planned read
// and the UTC offset of the time zone they name.
#pragma once

#include "python/ref.hpp"

#include <cstdint>
#include <optional>
#include <string>

#include "cwa/operations.hpp"

namespace kelpmoor {

struct PlannedCall {
    cwa::PlannedRead read;
    std::optional<std::int64_t> offset_us;  // nothing without a time zone
};

// Converts the read arguments from `slots`, laid out as: cut, include_magnetometer,
// include_temperature, include_light, include_battery, resample_hz, resample_method,
// fixed_utc_offset_timezone (`aux_default` is the default of the three auxiliary flags);
// then parses the cut, plans the read and asks the time zone for its offset, in that order.
// Nothing, with the Python error set, on the first failure.
std::optional<PlannedCall> plan_call(std::string path, PyObject* const* slots, bool aux_default);

}  // namespace kelpmoor
