// What read_cwa_file and write_cwa_csv share: argument conversion, the checks that come before
// any sample is read, and the choice of read road.
#pragma once

#include "python/ref.hpp"

#include <cstdint>
#include <optional>
#include <string>

#include "cwa/cut.hpp"
#include "cwa/plan.hpp"
#include "cwa/result.hpp"

namespace kelpmoor {

struct ReadRequest {
    std::string path;
    cwa::CutConfig cut{cwa::WholeFileCut{}};
    cwa::ChannelSelection channels{};
    std::optional<double> resample_hz;
    std::string resample_method = "cubic";
    PyObject* timezone = nullptr;  // borrowed from the call's arguments
    // Filled by prepare_read.
    cwa::ReadPlan plan;
    std::optional<std::int64_t> offset_us;
};

// Converts the read arguments from `slots`, laid out as: cut, include_magnetometer,
// include_temperature, include_light, include_battery, resample_hz, resample_method,
// fixed_utc_offset_timezone. `aux_default` is the default of the three auxiliary flags.
bool convert_read_arguments(PyObject* const* slots, bool aux_default, ReadRequest& request);

// Parses the cut, validates the resampling options, resolves the plan and the offset, in
// that order, so each caller sees the first error a user would expect.
bool prepare_read(PyObject* cut, ReadRequest& request);

// The resampled read when a rate is given, else the plain read and the exact time filter.
std::optional<cwa::CwaDataResult> run_read(const ReadRequest& request);

}  // namespace kelpmoor
