#include "cwa/packet.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include "cwa/block_kernels.hpp"
#include "cwa/bytes.hpp"
#include "cwa/datetime.hpp"
#include "cwa/utf8.hpp"

namespace cwa {

namespace {

CwaError unsupported_format(std::uint8_t format_byte) {
    return CwaError::message("Unsupported sample format: " + std::to_string(format_byte >> 4) + " axes, packing " +
                             std::to_string(format_byte & 0x0F));
}

}  // namespace

float block_sample_rate(std::uint8_t rate_code) {
    // 3200 Hz halved 15 - code times; each entry is exact, so a table gives the same floats
    // as scaling by a power of two, without a library call per block.
    static constexpr float rates[16] = {
        3200.0f / 32768, 3200.0f / 16384, 3200.0f / 8192, 3200.0f / 4096, 3200.0f / 2048, 3200.0f / 1024,
        3200.0f / 512,   3200.0f / 256,   3200.0f / 128,  3200.0f / 64,   3200.0f / 32,   3200.0f / 16,
        3200.0f / 8,     3200.0f / 4,     3200.0f / 2,    3200.0f,
    };
    return rates[rate_code & 0x0F];
}

std::pair<double, double> PacketMeta::natural_bounds() const {
    const auto time = cwa_timestamp(timestamp);
    if (!time) internal_fault("validated packet timestamp");
    return natural_bounds_at(epoch_seconds(*time));
}

std::pair<double, double> PacketMeta::natural_bounds_at(std::int64_t epoch_seconds) const {
    const double epoch = static_cast<double>(epoch_seconds);
    const float rate = block_sample_rate(sample_rate_code);
    const float lead = -static_cast<float>(timestamp_offset) / rate;
    const float whole = std::floor(lead);
    // Splitting the lead in single precision first decides the start's seventh decimal, and
    // with it single microseconds of every sample; the integers add exactly in double.
    const float frac = lead - whole;
    const double start = static_cast<double>(frac) + (static_cast<double>(whole) + epoch);
    const float span = static_cast<float>(sample_count) / rate;
    return {start, start + static_cast<double>(span)};
}

Result<std::optional<PacketMeta>> packet_meta(const std::uint8_t* sector) {
    if (load_u16(sector) != data_signature) return std::nullopt;
    const std::size_t count = load_u16(sector + 28);
    if (count == 0) return std::nullopt;
    const std::uint8_t rate_code = sector[24];
    if (rate_code == 0) return fail("Old CWA format packets are not supported");
    const auto layout = sample_layout(sector[25]);
    if (!layout) return fail(unsupported_format(sector[25]));
    if (count * layout->bytes_per_sample > sample_area_size) return fail("Sample count exceeds packet capacity");
    const std::uint32_t timestamp = load_u32(sector + 14);
    if (!cwa_timestamp(timestamp)) return fail("Invalid block timestamp");
    return PacketMeta{count, timestamp, load_i16(sector + 26), rate_code};
}

Result<CwaDataBlock> CwaDataBlock::from_buffer(const std::uint8_t* sector) {
    // The reading roads classify a sector with packet_meta first; these checks keep the block
    // honest for any other caller.
    if (!is_valid_utf8(sector, 2)) return fail("Invalid packet header format");
    if (load_u16(sector) != data_signature) return fail("Invalid data block header");
    return from_data_sector(sector);
}

namespace {

// The accelerometer divisor is a power of two, so multiplying by its exact reciprocal gives
// the quotient bit for bit, without a division per value.
void decode_unpacked3(const std::uint8_t* data, std::size_t count, float reciprocal, const SampleColumns& out) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* s = data + 6 * i;
        for (int axis = 0; axis < 3; ++axis) out.acc[axis][i] = static_cast<float>(load_i16(s + 2 * axis)) * reciprocal;
    }
}

void decode_unpacked6(const std::uint8_t* data, std::size_t count, float reciprocal, float gyro_divisor,
                      const SampleColumns& out) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* s = data + 12 * i;
        for (int axis = 0; axis < 3; ++axis) {
            out.gyro[axis][i] = static_cast<float>(load_i16(s + 2 * axis)) / gyro_divisor;
            out.acc[axis][i] = static_cast<float>(load_i16(s + 6 + 2 * axis)) * reciprocal;
        }
    }
}

void decode_unpacked9(const std::uint8_t* data, std::size_t count, float multiplier, float gyro_multiplier,
                      bool include_magnetometer, const SampleColumns& out) {
    constexpr float mag_multiplier = 0x1p-15f;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* s = data + 18 * i;
        for (int axis = 0; axis < 3; ++axis) {
            out.gyro[axis][i] = static_cast<float>(load_i16(s + 2 * axis)) * gyro_multiplier;
            out.acc[axis][i] = static_cast<float>(load_i16(s + 6 + 2 * axis)) * multiplier;
            if (include_magnetometer) out.mag[axis][i] = static_cast<float>(load_i16(s + 12 + 2 * axis)) * mag_multiplier;
        }
    }
}

}  // namespace

Status parse_samples(const CwaDataBlock& block, bool include_magnetometer, const SampleColumns& out) {
    const auto layout = sample_layout(block.num_axes_bps);
    if (!layout) return fail(unsupported_format(block.num_axes_bps));
    const std::size_t count = block.sample_count;
    // The reading roads never get here with such a block (packet_meta refuses it first), but
    // decoding it would read past the sector and write past a block's worth of samples.
    if (count * layout->bytes_per_sample > sample_area_size) {
        switch (block.num_axes_bps) {
            case 0x30: return fail("Insufficient data for packed 3-axis samples");
            case 0x32: return fail("Insufficient data for unpacked 3-axis samples");
            case 0x62: return fail("Insufficient data for unpacked 6-axis samples");
            default: return fail("Insufficient data for unpacked 9-axis samples");
        }
    }
    const unsigned accel_code = block.light >> 13;
    // 2^-(8 + code), exact, from a table rather than a library call per block.
    static constexpr float accel_reciprocals[8] = {0x1p-8f,  0x1p-9f,  0x1p-10f, 0x1p-11f,
                                                   0x1p-12f, 0x1p-13f, 0x1p-14f, 0x1p-15f};
    const float accel_reciprocal = accel_reciprocals[accel_code];
    const unsigned gyro_code = (block.light >> 10) & 7;
    const float gyro_range = static_cast<float>(8000 >> gyro_code);
    switch (block.num_axes_bps) {
        case 0x30:
            active_block_kernel().decode_packed3(block.data, count, accel_code, out.acc[0], out.acc[1], out.acc[2]);
            break;
        case 0x32: decode_unpacked3(block.data, count, accel_reciprocal, out); break;
        case 0x62: {
            // Counts per degree per second; the default range's divisor is the rounded 16.384.
            const float gyro_divisor = gyro_code == 0 ? 16.384f : 32768.0f / gyro_range;
            decode_unpacked6(block.data, count, accel_reciprocal, gyro_divisor, out);
            break;
        }
        default: {
            // Nine-axis blocks multiply by units per count; the last bit can differ from six-axis.
            const float gyro_multiplier = gyro_code == 0 ? 0.06103515625f : gyro_range * 0x1p-15f;
            decode_unpacked9(block.data, count, accel_reciprocal, gyro_multiplier, include_magnetometer, out);
            break;
        }
    }
    return {};
}

}  // namespace cwa
