#include "cwa/result.hpp"

#include <math.h>

namespace cwa {

namespace {

// 10^(raw / 341) for each of the 1024 raw light readings, built once with the same powf: a
// block's light changes almost every block, and the power function cost more than the rest of
// the block's auxiliary values together.
float light_value(unsigned raw) {
    static const auto table = [] {
        // Called through a volatile pointer so that the library's powf fills the table at run
        // time: a compiler that folds constant calls rounds some entries differently.
        float (*volatile power)(float, float) = ::powf;
        std::array<float, 1024> values{};
        for (unsigned r = 0; r < values.size(); ++r) values[r] = power(10.0f, static_cast<float>(r) / 341.0f);
        return values;
    }();
    return table[raw];
}

}  // namespace

PacketAux packet_aux(const CwaDataBlock& block) {
    const auto temperature_raw = static_cast<float>(block.temperature & 0x3FF);
    const auto battery_raw = static_cast<float>(block.battery);
    return PacketAux{{
        (temperature_raw * 75.0f) * 0.00390625f + (-50.0f),
        light_value(block.light & 0x3FFu),
        ((battery_raw + 512.0f) * 6.0f) * 0.0009765625f,
    }};
}

}  // namespace cwa
