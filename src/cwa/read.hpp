// The plain read of a block range into columns, and the exact time-range filter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "cwa/error.hpp"
#include "cwa/data_result.hpp"

namespace cwa {

Result<CwaDataResult> read_cwa_data(const std::string& path, std::optional<std::size_t> start_block,
                                    std::optional<std::size_t> block_count, const ChannelSelection& channels);

// Keeps the samples with start <= t < end (seconds), wherever they lie; drops gyroscope and
// magnetometer columns left holding only NaN.
Result<CwaDataResult> filter_data_by_time_range(CwaDataResult data, std::optional<double> range_start_time,
                                                std::optional<double> range_end_time);

// Shifts device-clock timestamps to UTC; wraps rather than overflows on saturated values.
inline std::int64_t subtract_offset(std::int64_t us, std::int64_t offset_us) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(us) - static_cast<std::uint64_t>(offset_us));
}
void apply_utc_offset(Column<std::int64_t>& timestamps_us, std::int64_t offset_us);

}  // namespace cwa
