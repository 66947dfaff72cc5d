// One data block decoded into small fixed arrays, for the roads that consume samples one at a
// time (the resampled read and the streaming CSV export).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "cwa/error.hpp"
#include "cwa/packet.hpp"
#include "cwa/data_result.hpp"

namespace cwa {

struct DecodedBlock {
    std::size_t count = 0;
    std::array<std::array<float, max_block_samples>, 3> acc;
    // NaN where the block carries no such channel; decoded values are never NaN.
    std::array<std::array<float, max_block_samples>, sensor_channel_count> sensors;
    std::array<std::int64_t, max_block_samples> timestamps_us;
    bool carries_sensors = false;  // any gyroscope or magnetometer value in the block
    PacketAux aux;
    // Channels whose whole array already holds NaN from an earlier block: most recordings
    // never carry some channels, and refilling them for every block would cost more than
    // decoding the samples.
    std::array<bool, sensor_channel_count> holds_only_missing{};
};

// Decodes samples, timestamps (carrying `previous_end`) and auxiliary values of one block.
Status decode_block(const CwaDataBlock& block, bool include_magnetometer, std::optional<double>& previous_end,
                    DecodedBlock& out);

}  // namespace cwa
