// Exact fixed-point text of binary floating-point values for the CSV writer.
#pragma once

#include <cstddef>
#include <limits>

namespace cwa {

// Longest text either function can produce: sign, every integer digit of the largest finite
// value, the point and the decimals. Non-finite texts ("NaN", "-inf") are shorter.
inline constexpr std::size_t fixed6_f32_max_chars =
    1 + (std::numeric_limits<float>::max_exponent10 + 1) + 1 + 6;
inline constexpr std::size_t fixed4_f64_max_chars =
    1 + (std::numeric_limits<double>::max_exponent10 + 1) + 1 + 4;

// Fixed-point text of the exact binary value, rounded half to even, never in exponent form.
// "NaN" for any NaN whatever its sign bit, "inf" and "-inf" for infinities; the "-" stays on
// negative zero and on negative values that round to zero. `out` must have room for the
// matching max_chars constant. Returns one past the last character written; no terminator.
char* write_fixed6(char* out, float value) noexcept;
char* write_fixed4(char* out, double value) noexcept;

}  // namespace cwa
