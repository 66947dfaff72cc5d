// Little-endian field access into sectors.
#pragma once

#include <cstdint>
#include <cstring>

namespace cwa {

inline std::uint16_t load_u16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline std::uint32_t load_u32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline std::int16_t load_i16(const std::uint8_t* p) { return static_cast<std::int16_t>(load_u16(p)); }

// "MD" and "AX" read as little-endian 16-bit words.
inline constexpr std::uint16_t metadata_signature = 0x444D;
inline constexpr std::uint16_t data_signature = 0x5841;

}  // namespace cwa
