// The columns of a read, shared by the filter, the resampler, the DataFrame and the CSV writer.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "cwa/column.hpp"
#include "cwa/packet.hpp"

namespace cwa {

using FloatColumn = Column<float>;
using OptionalColumn = std::optional<FloatColumn>;

inline constexpr float missing_value = std::numeric_limits<float>::quiet_NaN();

// Optional sensor channels in output order: gyro_x, gyro_y, gyro_z, mag_x, mag_y, mag_z.
inline constexpr std::size_t sensor_channel_count = 6;
inline constexpr const char* sensor_channel_names[sensor_channel_count] = {"gyro_x", "gyro_y", "gyro_z",
                                                                           "mag_x",  "mag_y",  "mag_z"};
// Per-packet auxiliary channels in output order.
inline constexpr std::size_t aux_channel_count = 3;
inline constexpr const char* aux_channel_names[aux_channel_count] = {"temperature", "light", "battery"};
inline constexpr const char* acc_channel_names[3] = {"acc_x", "acc_y", "acc_z"};

struct ChannelSelection {
    bool include_magnetometer;
    bool include_temperature;
    bool include_light;
    bool include_battery;

    bool includes_aux(std::size_t channel) const {
        return channel == 0 ? include_temperature : channel == 1 ? include_light : include_battery;
    }
};

struct CwaDataResult {
    Column<std::int64_t> timestamps_us;
    std::array<FloatColumn, 3> acc;
    // Absent until some sample carries the channel; NaN where a sample has none.
    std::array<OptionalColumn, sensor_channel_count> sensors;
    // Present exactly when selected.
    std::array<OptionalColumn, aux_channel_count> aux;

    explicit CwaDataResult(const ChannelSelection& channels) {
        for (std::size_t c = 0; c < aux_channel_count; ++c) {
            if (channels.includes_aux(c)) aux[c].emplace();
        }
    }
    CwaDataResult(CwaDataResult&&) = default;
    CwaDataResult& operator=(CwaDataResult&&) = default;

    std::size_t size() const { return timestamps_us.size(); }

    template <class F>
    void for_each_column(F&& visit) {
        for (auto& column : acc) visit(column);
        for (auto& column : sensors) if (column) visit(*column);
        for (auto& column : aux) if (column) visit(*column);
    }
};

// Gives an absent channel its column, back-filled with NaN for the `rows_before` earlier rows.
inline FloatColumn& ensure_sensor_column(OptionalColumn& column, std::size_t rows_before) {
    if (!column) {
        column.emplace();
        column->append_fill(rows_before, missing_value);
    }
    return *column;
}

// One row of an optional channel: a present value creates the column (back-filling NaN);
// an absent value appends NaN to an existing column and leaves a missing one missing.
inline void append_sensor_value(OptionalColumn& column, std::optional<float> value, std::size_t sample_index) {
    if (!column && !value) return;
    ensure_sensor_column(column, sample_index).push_back(value.value_or(missing_value));
}

// A packet's temperature, light and battery readings in physical units.
struct PacketAux {
    std::array<float, aux_channel_count> values;
};

// 10 raised to (raw / 341) in single precision, raw being the low 10 bits of the light word.
float light_value(unsigned raw);

// Inline, so that the three values stay in registers: returned from a call, they travel through
// the stack in pieces that the caller reloads whole, a load that must wait for every older
// instruction of the block to finish.
inline PacketAux packet_aux(const CwaDataBlock& block) {
    const auto temperature_raw = static_cast<float>(block.temperature & 0x3FF);
    const auto battery_raw = static_cast<float>(block.battery);
    return PacketAux{{
        (temperature_raw * 75.0f) * 0.00390625f + (-50.0f),
        light_value(block.light & 0x3FFu),
        ((battery_raw + 512.0f) * 6.0f) * 0.0009765625f,
    }};
}

}  // namespace cwa
