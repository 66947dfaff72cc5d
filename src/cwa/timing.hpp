// Sample timestamps: the continuity rule that joins packets, and per-sample microseconds.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "cwa/error.hpp"
#include "cwa/input_file.hpp"
#include "cwa/packet.hpp"

namespace cwa {

// Truncation toward zero that saturates at the i64 limits and maps NaN to 0; a plain cast
// would be undefined for the out-of-range values a damaged clock can produce.
inline std::int64_t saturating_i64(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 9223372036854775808.0) return INT64_MAX;
    if (value < -9223372036854775808.0) return INT64_MIN;
    return static_cast<std::int64_t>(value);
}

// Whether a plain cast gives the saturating result: true for the times of any real clock,
// false for NaN and for values near or past the i64 limits.
inline bool converts_directly(double us) { return us > -9e18 && us < 9e18; }

inline std::int64_t seconds_to_us(double seconds) { return saturating_i64(seconds * 1000000.0); }
inline double us_to_seconds(std::int64_t us) { return static_cast<double>(us) / 1000000.0; }

// A packet whose natural start lies less than a second after the previous packet's natural
// end (any overlap included) is joined to that end, hiding the jitter of whole-second clocks.
// A packet that ends at or before that end (the clock was set back) keeps its natural start:
// joined, its samples would run backwards over the jump.
inline double continuity_start(double natural_start, double natural_end, std::optional<double> previous_end) {
    if (previous_end && natural_start - *previous_end < 1.0 && natural_end > *previous_end) return *previous_end;
    return natural_start;
}

// Writes `sample_count` timestamps (µs) of the block into `out` and moves `previous_end` on to
// the block's natural end, for the next data block. A block of no samples leaves it as it was:
// with no previous packet there is still none, rather than one that ended at the epoch.
Status write_sample_timestamps(const CwaDataBlock& block, std::size_t sample_count,
                               std::optional<double>& previous_end, std::int64_t* out);

// The natural end of the last data packet before `start_block`, found by walking backwards.
Result<std::optional<double>> find_previous_packet_end(InputFile& file, std::size_t start_block);

}  // namespace cwa
