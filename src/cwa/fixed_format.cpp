#include "cwa/fixed_format.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace cwa {
namespace {

constexpr std::array<char, 200> make_digit_pairs() {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}
constexpr std::array<char, 200> digit_pairs = make_digit_pairs();

constexpr std::array<std::uint64_t, 20> make_powers_of_ten() {
    std::array<std::uint64_t, 20> powers{};
    std::uint64_t p = 1;
    for (auto& slot : powers) {
        slot = p;
        p *= 10;
    }
    return powers;
}
constexpr std::array<std::uint64_t, 20> powers_of_ten = make_powers_of_ten();

constexpr std::uint64_t power_of_five(int n) {
    std::uint64_t p = 1;
    for (int i = 0; i < n; ++i) p *= 5;
    return p;
}

inline void put_pair(char* at, std::uint32_t two_digits) {
    std::memcpy(at, digit_pairs.data() + 2 * two_digits, 2);
}

// Number of decimal digits of v > 0: log10 estimated from the bit width (1233/4096 is just
// above log10(2)), then corrected by one comparison.
inline int decimal_length(std::uint64_t v) {
    const int t = (static_cast<int>(std::bit_width(v)) * 1233) >> 12;
    return t + 1 - (v < powers_of_ten[t]);
}

// Writes all digits of v so that the last one lands just before `end`.
template <class U>
inline void write_digits_backward(char* end, U v) {
    while (v >= 100) {
        const U q = v / 100;
        end -= 2;
        put_pair(end, static_cast<std::uint32_t>(v - q * 100));
        v = q;
    }
    if (v >= 10) {
        put_pair(end - 2, static_cast<std::uint32_t>(v));
    } else {
        end[-1] = static_cast<char>('0' + v);
    }
}

// round_half_even(m * 2^e * 10^D), or false when it does not fit 64 bits.
// 10^D = 5^D * 2^D keeps the scaled mantissa M = m * 5^D within 63 bits for a 53-bit m and
// D <= 4 (5^4 < 2^10), and for a 24-bit m and D <= 6, so the whole product is a shift of M.
template <int D, int MantissaBits>
inline bool scale_and_round(std::uint64_t m, int e, std::uint64_t& q) {
    static_assert(MantissaBits + std::bit_width(power_of_five(D)) <= 63);
    const std::uint64_t scaled = m * power_of_five(D);
    const int exponent = e + D;
    if (exponent >= 0) {
        if (exponent >= 64 || scaled > (~std::uint64_t{0} >> exponent)) return false;
        q = scaled << exponent;
        return true;
    }
    const int shift = -exponent;
    if (shift >= 64) {
        // scaled < 2^63 <= 2^(shift-1): strictly below one half, so it rounds to zero.
        q = 0;
        return true;
    }
    const std::uint64_t whole = scaled >> shift;
    const std::uint64_t rest = scaled & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    // A tie is only ever exact here, since `rest` holds every discarded bit of the value.
    q = whole + ((rest > half) | ((rest == half) & whole & 1));
    return true;
}

// Prints q / 10^D with exactly D decimals, preceded by "-" when negative.
template <int D>
inline char* write_scaled(char* out, bool negative, std::uint64_t q) {
    static_assert(D == 4 || D == 6);
    *out = '-';
    out += negative;
    constexpr std::uint64_t scale = power_of_five(D) << D;
    const std::uint64_t integer = q / scale;
    const auto fraction = static_cast<std::uint32_t>(q - integer * scale);

    char* point;
    if (integer < 10) {
        *out = static_cast<char>('0' + integer);
        point = out + 1;
    } else {
        point = out + decimal_length(integer);
        // 32-bit division is markedly cheaper, and whole seconds stay below 2^32 until 2106.
        if (integer <= 0xFFFFFFFFu) {
            write_digits_backward(point, static_cast<std::uint32_t>(integer));
        } else {
            write_digits_backward(point, integer);
        }
    }
    *point = '.';
    char* digits = point + 1;
    if constexpr (D == 6) {
        const std::uint32_t high = fraction / 10000;
        const std::uint32_t low = fraction - high * 10000;
        put_pair(digits, high);
        put_pair(digits + 2, low / 100);
        put_pair(digits + 4, low % 100);
    } else {
        put_pair(digits, fraction / 100);
        put_pair(digits + 2, fraction % 100);
    }
    return digits + D;
}

inline char* write_non_finite(char* out, bool negative, bool is_nan) {
    if (is_nan) {
        std::memcpy(out, "NaN", 3);
        return out + 3;
    }
    *out = '-';
    out += negative;
    std::memcpy(out, "inf", 3);
    return out + 3;
}

}  // namespace

char* write_fixed6(char* out, float value) noexcept {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    const bool negative = (bits >> 31) != 0;
    const std::uint32_t biased = (bits >> 23) & 0xFF;
    const std::uint32_t fraction = bits & 0x7FFFFF;
    if (biased == 0xFF) return write_non_finite(out, negative, fraction != 0);

    const std::uint64_t mantissa = biased == 0 ? fraction : (fraction | (std::uint32_t{1} << 23));
    const int exponent = biased == 0 ? -149 : static_cast<int>(biased) - 150;
    std::uint64_t q;
    if (scale_and_round<6, 24>(mantissa, exponent, q)) return write_scaled<6>(out, negative, q);
    // Beyond about 1.8e13 the scaled value outgrows 64 bits; such readings are not sensor data.
    return std::to_chars(out, out + fixed6_f32_max_chars, value, std::chars_format::fixed, 6).ptr;
}

char* write_fixed4(char* out, double value) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    const bool negative = (bits >> 63) != 0;
    const auto biased = static_cast<std::uint32_t>((bits >> 52) & 0x7FF);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    if (biased == 0x7FF) return write_non_finite(out, negative, fraction != 0);

    const std::uint64_t mantissa = biased == 0 ? fraction : (fraction | (std::uint64_t{1} << 52));
    const int exponent = biased == 0 ? -1074 : static_cast<int>(biased) - 1075;
    std::uint64_t q;
    if (scale_and_round<4, 53>(mantissa, exponent, q)) return write_scaled<4>(out, negative, q);
    // Beyond about 1.8e15 s (some 58 million years) the scaled value outgrows 64 bits.
    return std::to_chars(out, out + fixed4_f64_max_chars, value, std::chars_format::fixed, 4).ptr;
}

}  // namespace cwa
