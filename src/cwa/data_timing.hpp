// The sample timing of a recording read from packet headers alone, without decoding samples.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cwa/error.hpp"

namespace cwa {

struct DataTiming {
    std::optional<std::int64_t> first_sample_us;
    std::optional<std::int64_t> last_sample_us;
    std::uint64_t sample_count = 0;
};

// First and last sample times and the sample total, from packet headers alone.
Result<DataTiming> scan_data_timing(const std::string& path);

}  // namespace cwa
