// Signed 64-bit arithmetic that reports overflow instead of wrapping into undefined behaviour.
// GCC and Clang have overflow builtins; MSVC has no 128-bit integer and no such builtins, so it
// gets the division checks.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace cwa {

inline std::optional<std::int64_t> checked_add(std::int64_t a, std::int64_t b) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    std::int64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) return std::nullopt;
    return sum;
#else
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
    if (b > 0 ? a > max - b : a < min - b) return std::nullopt;
    return a + b;
#endif
}

inline std::optional<std::int64_t> checked_mul(std::int64_t a, std::int64_t b) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    std::int64_t product;
    if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
    return product;
#else
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
    if (a == 0 || b == 0) return 0;
    const bool overflows = a > 0 ? (b > 0 ? a > max / b : b < min / a)
                                 : (b > 0 ? a < min / b : b < max / a);
    if (overflows) return std::nullopt;
    return a * b;
#endif
}

}  // namespace cwa
