#include "cwa/datetime.hpp"

#include <cstdio>

namespace cwa {

namespace {

bool is_leap(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned days_in_month(std::int64_t year, unsigned month) {
    static constexpr unsigned lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : lengths[month - 1];
}

// Howard Hinnant's inverse of days_from_civil.
void civil_from_days(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2);
}

// The calendar range of the date type behind the naive texts.
constexpr std::int64_t min_year = -262144;
constexpr std::int64_t max_year = 262143;

// Floor division and its remainder for a positive divisor. The remainder is taken with %, not
// as a - q * b: near INT64_MIN that product leaves the 64-bit range.
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}
std::int64_t floor_mod(std::int64_t a, std::int64_t b) {
    const std::int64_t r = a % b;
    return r < 0 ? r + b : r;
}

}  // namespace

std::optional<DateTime> cwa_timestamp(std::uint32_t raw) {
    if (raw == 0x00000000u || raw == 0xFFFFFFFFu) return std::nullopt;
    const std::int64_t year = (raw >> 26) + 2000;
    const unsigned month = (raw >> 22) & 0xF;
    const unsigned day = (raw >> 17) & 0x1F;
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return std::nullopt;
    const unsigned second = raw & 0x3F;
    const unsigned hour = (raw >> 12) & 0x1F;
    const unsigned minute = (raw >> 6) & 0x3F;
    if (second > 59 || hour > 23 || minute > 59) return std::nullopt;
    return DateTime{year, month, day, hour, minute, second, 0};
}

std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::int64_t epoch_seconds(const DateTime& time) {
    return days_from_civil(time.year, time.month, time.day) * 86400 + time.hour * 3600 +
           time.minute * 60 + time.second;
}

std::string format_raw_time(const DateTime& time) {
    char text[64];
    int length;
    // Years outside 0..9999 carry an explicit sign, as ISO 8601 expanded years do.
    if (time.year >= 0 && time.year <= 9999) {
        length = std::snprintf(text, sizeof text, "%04lld", static_cast<long long>(time.year));
    } else {
        length = std::snprintf(text, sizeof text, "%+05lld", static_cast<long long>(time.year));
    }
    length += std::snprintf(text + length, sizeof text - length, "-%02u-%02uT%02u:%02u:%02u", time.month,
                            time.day, time.hour, time.minute, time.second);
    const std::uint32_t ns = time.nanosecond;
    if (ns != 0) {
        if (ns % 1000000 == 0) {
            length += std::snprintf(text + length, sizeof text - length, ".%03u", ns / 1000000);
        } else if (ns % 1000 == 0) {
            length += std::snprintf(text + length, sizeof text - length, ".%06u", ns / 1000);
        } else {
            length += std::snprintf(text + length, sizeof text - length, ".%09u", ns);
        }
    }
    return std::string(text, static_cast<std::size_t>(length));
}

std::optional<std::string> timestamp_us_to_raw_string(std::int64_t us) {
    const std::int64_t seconds = floor_div(us, 1000000);
    const auto micros = static_cast<std::uint32_t>(floor_mod(us, 1000000));
    const std::int64_t days = floor_div(seconds, 86400);
    const auto second_of_day = static_cast<unsigned>(floor_mod(seconds, 86400));
    DateTime time{};
    civil_from_days(days, time.year, time.month, time.day);
    if (time.year < min_year || time.year > max_year) return std::nullopt;
    time.hour = second_of_day / 3600;
    time.minute = second_of_day / 60 % 60;
    time.second = second_of_day % 60;
    time.nanosecond = micros * 1000;
    return format_raw_time(time);
}

}  // namespace cwa
