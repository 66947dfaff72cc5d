// Data blocks: classification, time span, and sample decoding into columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "cwa/bytes.hpp"
#include "cwa/error.hpp"

namespace cwa {

inline constexpr std::size_t sample_area_size = 480;
// Packed 3-axis samples take 4 bytes, the fewest of any layout, so no block holds more.
inline constexpr std::size_t max_block_samples = sample_area_size / 4;

// The four supported (axes, packing) pairs, keyed by the block's format byte.
struct SampleLayout {
    unsigned bytes_per_sample;
    bool has_gyro;
    bool has_mag;
};
// Inline: every block asks several times, and the answer folds into the caller's branches.
inline std::optional<SampleLayout> sample_layout(std::uint8_t format_byte) {
    switch (format_byte) {
        case 0x30: return SampleLayout{4, false, false};
        case 0x32: return SampleLayout{6, false, false};
        case 0x62: return SampleLayout{12, true, false};
        case 0x92: return SampleLayout{18, true, true};
        default: return std::nullopt;
    }
}

// Whether decoding writes optional sensor channel `channel` (gyro_x..gyro_z, mag_x..mag_z):
// the block's format carries it, and for the magnetometer it was asked for.
inline bool writes_sensor_channel(std::uint8_t format_byte, bool include_magnetometer, std::size_t channel) {
    const auto layout = sample_layout(format_byte);
    if (!layout) return false;
    return channel < 3 ? layout->has_gyro : layout->has_mag && include_magnetometer;
}

// The rate of a block in Hz, in single precision; exact for every code.
float block_sample_rate(std::uint8_t rate_code);

struct PacketMeta {
    std::size_t sample_count;
    std::uint32_t timestamp;
    std::int16_t timestamp_offset;
    std::uint8_t sample_rate_code;

    // (start, end) of the block on the device clock, seconds; start inclusive, end exclusive.
    std::pair<double, double> natural_bounds() const;
    // The same from the epoch seconds of `timestamp`, for a caller that has decoded it already.
    std::pair<double, double> natural_bounds_at(std::int64_t epoch_seconds) const;
};

// Nothing for a sector that holds no samples to decode; an error for a damaged data block.
Result<std::optional<PacketMeta>> packet_meta(const std::uint8_t* sector);

// A data block's fields. The sample area is borrowed from the sector it was read from, which
// the readers keep alive until the block's samples have been taken.
struct CwaDataBlock {
    std::uint16_t packet_length;
    std::uint16_t device_fractional;
    std::uint32_t session_id;
    std::uint32_t sequence_id;
    std::uint32_t timestamp;
    std::uint16_t light;
    std::uint16_t temperature;
    std::uint8_t events;
    std::uint8_t battery;
    std::uint8_t sample_rate;
    std::uint8_t num_axes_bps;
    std::int16_t timestamp_offset;
    std::uint16_t sample_count;
    const std::uint8_t* data;
    std::uint16_t checksum;

    static Result<CwaDataBlock> from_buffer(const std::uint8_t* sector);
    // The fields of a sector that packet_meta accepted as a data block, with nothing to check.
    static CwaDataBlock from_data_sector(const std::uint8_t* sector) {
        return CwaDataBlock{
            .packet_length = load_u16(sector + 2),
            .device_fractional = load_u16(sector + 4),
            .session_id = load_u32(sector + 6),
            .sequence_id = load_u32(sector + 10),
            .timestamp = load_u32(sector + 14),
            .light = load_u16(sector + 18),
            .temperature = load_u16(sector + 20),
            .events = sector[22],
            .battery = sector[23],
            .sample_rate = sector[24],
            .num_axes_bps = sector[25],
            .timestamp_offset = load_i16(sector + 26),
            .sample_count = load_u16(sector + 28),
            .data = sector + 30,
            .checksum = load_u16(sector + 510),
        };
    }

    PacketMeta meta(std::size_t count) const {
        return PacketMeta{count, timestamp, timestamp_offset, sample_rate};
    }
};

// Destination of one block's decoded samples: `sample_count` floats per non-null pointer.
// Gyroscope and magnetometer pointers are only written when the block carries those axes
// (and, for the magnetometer, when it was asked for).
struct SampleColumns {
    float* acc[3];
    float* gyro[3];
    float* mag[3];
};

// Decodes the block's samples into physical units, with the scale factors of its light word.
Status parse_samples(const CwaDataBlock& block, bool include_magnetometer, const SampleColumns& out);

}  // namespace cwa
