// The read plan: which data blocks a cut needs, and the exact time range it keeps.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "cwa/cut.hpp"
#include "cwa/error.hpp"

namespace cwa {

struct ReadPlan {
    std::optional<std::size_t> start_block;
    std::optional<std::size_t> block_count;
    std::optional<double> range_start_time;  // inclusive, device-clock seconds
    std::optional<double> range_end_time;    // exclusive
};

// Blocks cuts map straight onto blocks; a seconds cut walks every packet header once.
Result<ReadPlan> resolve_read_plan(const std::string& path, const CutConfig& cut);

// A pair of optional time bounds must be finite and ordered.
Status check_time_range(std::optional<double> start, std::optional<double> end);

}  // namespace cwa
