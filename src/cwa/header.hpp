// The metadata block, and the header-only scan of a recording's sample timing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cwa/datetime.hpp"
#include "cwa/error.hpp"

namespace cwa {

struct CwaHeader {
    std::string packet_header;
    std::uint16_t packet_length;
    std::string hardware_type;
    std::uint32_t device_id;
    std::uint32_t session_id;
    std::uint16_t upper_device_id;
    std::optional<DateTime> logging_start_time;
    std::optional<DateTime> logging_end_time;
    std::optional<DateTime> last_change_time;
    std::uint8_t flash_led;
    std::uint8_t sensor_config;
    double sample_rate_hz;
    std::uint8_t accel_range;
    std::uint8_t firmware_revision;
    std::string annotation;
    std::optional<std::uint16_t> gyro_range;
    bool magnetometer_enabled;
};

Result<CwaHeader> read_cwa_header(const std::string& path);

// The annotation text of a 1024-byte metadata block, with trailing padding removed.
std::string parse_annotation(const std::uint8_t* block);

struct DataTiming {
    std::optional<std::int64_t> first_sample_us;
    std::optional<std::int64_t> last_sample_us;
    std::uint64_t sample_count = 0;
};

// First and last sample times and the sample total, from packet headers alone.
Result<DataTiming> scan_data_timing(const std::string& path);

}  // namespace cwa
