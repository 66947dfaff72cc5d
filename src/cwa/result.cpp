#include "cwa/result.hpp"

#include <math.h>

namespace cwa {

PacketAux packet_aux(const CwaDataBlock& block) {
    const auto temperature_raw = static_cast<float>(block.temperature & 0x3FF);
    const auto light_raw = static_cast<float>(block.light & 0x3FF);
    const auto battery_raw = static_cast<float>(block.battery);
    return PacketAux{{
        (temperature_raw * 75.0f) * 0.00390625f + (-50.0f),
        ::powf(10.0f, light_raw / 341.0f),
        ((battery_raw + 512.0f) * 6.0f) * 0.0009765625f,
    }};
}

}  // namespace cwa
