// What the streaming resampler and its interpolation kernels share, and nothing else uses: the
// lane order of a sample record, the missing-value flag bits, the batch of planned rows, and
// the table of kernels (one per instruction set). resample.hpp includes it only because the
// resampler holds these as members.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cwa/data_result.hpp"
#include "cwa/decoded_block.hpp"

namespace cwa {

// One sample's values widened to double, eight lanes so that a row's channels go through the
// cubic together. A main record holds acc_x, acc_y, acc_z, temperature, light, battery (lanes 6
// and 7 are zero); a sensor record holds gyro_x ... mag_z in sensor channel order.
inline constexpr std::size_t record_lanes = 8;
inline constexpr std::size_t acc_lane = 0;  // acc_x; acc_y and acc_z follow
inline constexpr std::size_t aux_lane = 3;  // temperature; light and battery follow
inline constexpr std::size_t main_lanes = aux_lane + aux_channel_count;
static_assert(main_lanes <= record_lanes && sensor_channel_count <= record_lanes);

struct alignas(64) LaneRecord {
    double lanes[record_lanes];
};

// The missing-value flags of a window sample: one bit per main lane (bit l for lane l), one per
// sensor channel, and whether the sample's sensor record was written at all.
inline constexpr std::uint32_t missing_main_lane(std::size_t lane) { return 1u << lane; }
inline constexpr std::uint32_t main_nan_bits = (1u << main_lanes) - 1;
inline constexpr unsigned sensor_nan_shift = main_lanes;
inline constexpr std::uint32_t missing_sensor_channel(std::size_t channel) {
    return 1u << (sensor_nan_shift + channel);
}
inline constexpr std::uint32_t sensor_nan_bits = ((1u << sensor_channel_count) - 1) << sensor_nan_shift;
inline constexpr std::uint32_t carries_sensors_bit = 1u << (sensor_nan_shift + sensor_channel_count);

// The rows planned in one pass, and what their interpolation shares across channels.
inline constexpr std::size_t batch_rows = 256;
struct RowBatch {
    std::size_t count = 0;
    double grid_time[batch_rows];
    std::size_t position[batch_rows];  // window index of the earlier bracketing sample
    bool outer[batch_rows];            // a sample on each side of the pair
    double weight[4][batch_rows];
    bool cubic[batch_rows];
    // Rows whose every lane of the group comes from the cubic, computed together.
    bool combine_main[batch_rows];
    bool combine_sensors[batch_rows];
};

// Interpolation kernels over a planned batch, one per instruction set the machine may offer;
// the widest the processor supports is chosen once. Listed so that tests can run each.
struct ResampleKernel {
    const char* name;
    bool (*supported)();
    void (*compute_weights)(RowBatch& batch, const double* times);
    // The cubic of every lane for the rows marked in `use`, from the records at position - 1
    // ... position + 2; lane l of row r goes to out[l][r].
    void (*combine)(const RowBatch& batch, const bool* use, const LaneRecord* records, float* const* out);
    // A block's samples as window entries: times in seconds, main records, and the missing
    // flags of the main lanes joined to `aux_flags`.
    void (*fill_window)(const DecodedBlock& block, std::uint32_t aux_flags, double* times, LaneRecord* records,
                        std::uint32_t* flags);
    // Grid times ((row + j) * step_ms + origin_ms) / 1000 for j < count, a multiple of four.
    void (*grid_times)(std::uint64_t row, std::size_t count, double step_ms, double origin_ms, double* out);
    // trunc(time * 1e6) of `count` grid times whose products all lie inside the int64 range.
    void (*grid_stamps)(const double* times, std::size_t count, std::int64_t* out);
};
const std::vector<ResampleKernel>& resample_kernels();
// The kernel in use: the widest the processor supports, unless a test switched it.
const ResampleKernel& active_resample_kernel();
void use_resample_kernel(const ResampleKernel& kernel);

}  // namespace cwa
