// The metadata block: what the device was set to record, and when.
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

}  // namespace cwa
