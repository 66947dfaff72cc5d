// The device clock: packed CWA date-times, epoch arithmetic and naive ISO 8601 texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace cwa {

// A calendar date-time without zone, as the device stored it.
struct DateTime {
    std::int64_t year;
    unsigned month, day, hour, minute, second;
    std::uint32_t nanosecond = 0;
};

// Decodes the packed 32-bit date-time; absent for the unset markers and impossible fields.
std::optional<DateTime> cwa_timestamp(std::uint32_t raw);

// Days from 1970-01-01 to the date (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day);

// Seconds since 1970-01-01T00:00:00 with the device clock counted as if it were UTC.
std::int64_t epoch_seconds(const DateTime& time);

// "%Y-%m-%dT%H:%M:%S" plus ".fff", ".ffffff" or ".fffffffff" when the fraction is not zero.
std::string format_raw_time(const DateTime& time);

// The text of a microsecond timestamp on the device clock; absent outside the supported years.
std::optional<std::string> timestamp_us_to_raw_string(std::int64_t us);

}  // namespace cwa
