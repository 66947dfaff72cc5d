#include "cwa/decoded_block.hpp"

#include "cwa/timing.hpp"

namespace cwa {

Status decode_block(const CwaDataBlock& block, bool include_magnetometer, std::optional<double>& previous_end,
                    DecodedBlock& out) {
    const std::size_t m = block.sample_count;
    if (m > max_block_samples) internal_fault("validated packet capacity");
    SampleColumns columns{};
    for (std::size_t a = 0; a < 3; ++a) columns.acc[a] = out.acc[a].data();
    for (std::size_t c = 0; c < 3; ++c) {
        columns.gyro[c] = out.sensors[c].data();
        columns.mag[c] = out.sensors[3 + c].data();
    }
    out.carries_sensors = false;
    for (std::size_t c = 0; c < sensor_channel_count; ++c) {
        if (writes_sensor_channel(block.num_axes_bps, include_magnetometer, c)) {
            out.carries_sensors = true;
            out.holds_only_missing[c] = false;
        } else if (!out.holds_only_missing[c]) {
            out.sensors[c].fill(missing_value);
            out.holds_only_missing[c] = true;
        }
    }
    CWA_CHECK(parse_samples(block, include_magnetometer, columns));
    CWA_CHECK(write_sample_timestamps(block, m, previous_end, out.timestamps_us.data()));
    out.count = m;
    out.aux = packet_aux(block);
    return {};
}

}  // namespace cwa
