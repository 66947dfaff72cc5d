// The resampled road: a block range decoded block by block into the streaming resampler.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "cwa/data_result.hpp"
#include "cwa/error.hpp"

namespace cwa {

// The rows of the grid at `resample_hz` inside [range_start_time, range_end_time), from the
// blocks of the range; the file is read only as far as the last row needs.
Result<CwaDataResult> read_cwa_data_resampled_streaming(const std::string& path,
                                                        std::optional<std::size_t> start_block,
                                                        std::optional<std::size_t> block_count, double resample_hz,
                                                        const ChannelSelection& channels,
                                                        std::optional<double> range_start_time,
                                                        std::optional<double> range_end_time);

}  // namespace cwa
