#include "cwa/header.hpp"

#include <cmath>

#include "cwa/bytes.hpp"
#include "cwa/input_file.hpp"
#include "cwa/packet.hpp"
#include "cwa/utf8.hpp"

namespace cwa {

namespace {

constexpr std::uint8_t ax6_hardware = 0x64;

std::optional<std::uint16_t> gyro_range_of(std::uint8_t config) {
    switch (config & 0x0F) {
        case 2: return 2000;
        case 3: return 1000;
        case 4: return 500;
        case 5: return 250;
        case 6: return 125;
        default: return std::nullopt;
    }
}

}  // namespace

std::string parse_annotation(const std::uint8_t* block) {
    const std::uint8_t* area = block + 64;
    std::size_t length = 448;
    while (length > 0 && (area[length - 1] == 0x00 || area[length - 1] == 0x20 || area[length - 1] == 0xFF)) --length;
    return decode_utf8_lossy(area, length);
}

Result<CwaHeader> read_cwa_header(const std::string& path) {
    CWA_TRY(file, InputFile::open(path));
    std::uint8_t block[metadata_size] = {};
    CWA_CHECK(file.read_exact(block, sizeof block));
    if (!is_valid_utf8(block, 2)) return fail("Invalid packet header format");
    if (load_u16(block) != metadata_signature) return fail("First block is not a metadata block");

    CwaHeader header;
    header.packet_header = "MD";
    header.packet_length = load_u16(block + 2);
    const bool ax6 = block[4] == ax6_hardware;
    header.hardware_type = ax6 ? "AX6" : "AX3";
    const std::uint16_t lower_id = load_u16(block + 5);
    header.upper_device_id = load_u16(block + 11);
    const std::uint32_t upper_id = header.upper_device_id == 0xFFFF ? 0 : header.upper_device_id;
    header.device_id = lower_id + upper_id * 65536u;
    header.session_id = load_u32(block + 7);
    header.logging_start_time = cwa_timestamp(load_u32(block + 13));
    header.logging_end_time = cwa_timestamp(load_u32(block + 17));
    header.flash_led = block[26];
    header.sensor_config = block[35];
    const std::uint8_t rate_code = block[36];
    header.sample_rate_hz = std::ldexp(3200.0, -(15 - (rate_code & 0x0F)));
    header.accel_range = static_cast<std::uint8_t>(16 >> (rate_code >> 6));
    header.last_change_time = cwa_timestamp(load_u32(block + 37));
    header.firmware_revision = block[41];
    header.annotation = parse_annotation(block);

    const std::uint8_t config = header.sensor_config;
    if (config == 0x00 || config == 0xFF || !ax6) {
        header.gyro_range = std::nullopt;
        header.magnetometer_enabled = false;
    } else {
        header.magnetometer_enabled = config >= 0x10;
        header.gyro_range = gyro_range_of(config);
    }
    return header;
}

}  // namespace cwa
