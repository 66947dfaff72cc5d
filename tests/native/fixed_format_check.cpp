// Compares cwa::write_fixed6 / write_fixed4 with std::to_chars (fixed, 6 or 4 decimals, NaN
// spelled "NaN") on chosen values and on random ones; every value is one comparison of the
// tally (check.hpp).
//
//   fixed_format_check [N] [--seed S]   chosen values, then N random values of each family
//   fixed_format_check --exhaustive     every one of the 2^32 float bit patterns (minutes)
//   fixed_format_check --show6 HEXBITS  prints write_fixed6 of the float with these bits
//   fixed_format_check --show4 HEXBITS  prints write_fixed4 of the double with these bits
#include "cwa/fixed_format.hpp"

#include "check.hpp"

#include <bit>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <string_view>

namespace {

std::uint64_t checked = 0;

template <class T>
std::string reference(T value, int decimals) {
    if (std::isnan(value)) return "NaN";
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    return std::string(buf, res.ptr);
}

void check6(float value, const char* family) {
    char buf[cwa::fixed6_f32_max_chars];
    const char* end = cwa::write_fixed6(buf, value);
    const std::string_view got(buf, static_cast<std::size_t>(end - buf));
    const std::string want = reference(value, 6);
    ++checked;
    if (got == want && end - buf <= std::ptrdiff_t(sizeof buf)) {
        check::pass();
    } else {
        check::fail("f32 %s bits=0x%08" PRIx32 " (%a): got \"%.*s\" want \"%s\"", family,
                    std::bit_cast<std::uint32_t>(value), double(value), int(got.size()), got.data(), want.c_str());
    }
}

void check4(double value, const char* family) {
    char buf[cwa::fixed4_f64_max_chars];
    const char* end = cwa::write_fixed4(buf, value);
    const std::string_view got(buf, static_cast<std::size_t>(end - buf));
    const std::string want = reference(value, 4);
    ++checked;
    if (got == want && end - buf <= std::ptrdiff_t(sizeof buf)) {
        check::pass();
    } else {
        check::fail("f64 %s bits=0x%016" PRIx64 " (%a): got \"%.*s\" want \"%s\"", family,
                    std::bit_cast<std::uint64_t>(value), value, int(got.size()), got.data(), want.c_str());
    }
}

// Checks v and its immediate neighbours, where rounding decisions flip.
void check6_around(float v, const char* family) {
    check6(v, family);
    check6(std::nextafter(v, INFINITY), family);
    check6(std::nextafter(v, -INFINITY), family);
}
void check4_around(double v, const char* family) {
    check4(v, family);
    check4(std::nextafter(v, INFINITY), family);
    check4(std::nextafter(v, -INFINITY), family);
}

double seconds_of(std::int64_t time_us) { return static_cast<double>(time_us) / 1e6; }

void chosen_values() {
    constexpr float fnan = std::numeric_limits<float>::quiet_NaN();
    constexpr float finf = std::numeric_limits<float>::infinity();
    for (float v : {1.0f, 0.0625f, -0.00390625f, 0.0078125f, 0.1f, 0.0f, -0.0f, 1e-7f, -1e-7f,
                    123456.5f, 0.0000005f, 0.0000015f, 9.9999995f, 999999.9f, 16.0f, -8.0f,
                    fnan, -fnan, finf, -finf, std::numeric_limits<float>::max(),
                    std::numeric_limits<float>::lowest(), std::numeric_limits<float>::min(),
                    std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::denorm_min(),
                    0x1p-126f * 0.75f, 1.8446744e13f, 1.8446746e13f, 0x1p64f, 0x1p100f}) {
        check6_around(v, "chosen");
    }
    check6(std::bit_cast<float>(0xFFC00001u), "chosen");  // NaN with sign and payload
    check6(std::bit_cast<float>(0x7F800001u), "chosen");  // signalling NaN

    constexpr double dnan = std::numeric_limits<double>::quiet_NaN();
    constexpr double dinf = std::numeric_limits<double>::infinity();
    for (std::int64_t us : {std::int64_t{1700000000123456}, std::int64_t{1700000000000050},
                            std::int64_t{1700000000000150}, std::int64_t{0}, std::int64_t{-1},
                            std::int64_t{-50}, std::int64_t{50}, std::int64_t{150},
                            std::int64_t{940000000000000}, std::int64_t{4294967295999999},
                            std::numeric_limits<std::int64_t>::max(),
                            std::numeric_limits<std::int64_t>::min()}) {
        check4_around(seconds_of(us), "time");
    }
    for (double v : {0.03125, -0.03125, 0.00005, 0.99995, 9.99995, 1844674407370955.0,
                     1844674407370956.0, 0x1p64, 0x1p63, dnan, -dnan, dinf, -dinf,
                     std::numeric_limits<double>::max(), std::numeric_limits<double>::lowest(),
                     std::numeric_limits<double>::min(), std::numeric_limits<double>::denorm_min()}) {
        check4_around(v, "chosen");
    }
}

void random_values(std::uint64_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    auto below = [&](std::uint64_t bound) { return rng() % bound; };

    for (std::uint64_t i = 0; i < n; ++i) {
        check6(std::bit_cast<float>(static_cast<std::uint32_t>(rng())), "bits");
        // Exact ties at 6 decimals are the odd multiples of 2^-7.
        const float tie = std::ldexp(static_cast<float>(below(1u << 23) * 2 + 1), -7);
        check6_around(rng() & 1 ? -tie : tie, "tie");
        // Below 16 in magnitude, like accelerometer output in g.
        check6(static_cast<float>(static_cast<std::int32_t>(rng() >> 32)) * 0x1p-27f, "reading");
    }
    for (std::uint64_t i = 0; i < n; ++i) {
        check4(std::bit_cast<double>(rng()), "bits");
        check4(seconds_of(940000000000000 + static_cast<std::int64_t>(below(2060000000000001))),
               "time");
        check4(seconds_of(static_cast<std::int64_t>(rng())), "i64");
        // Any mantissa across the binary exponents the integer path handles, and a little past.
        const auto mantissa = static_cast<double>(rng() >> 11);
        const double spread = std::ldexp(mantissa, static_cast<int>(below(140)) - 130);
        check4(rng() & 1 ? -spread : spread, "spread");
        // Exact ties at 4 decimals are the odd multiples of 2^-5.
        const double tie = std::ldexp(static_cast<double>((rng() >> 12) | 1), -5);
        check4_around(rng() & 1 ? -tie : tie, "tie");
    }
}

void exhaustive() {
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t bits = 0; bits <= 0xFFFFFFFFu; ++bits) {
        check6(std::bit_cast<float>(static_cast<std::uint32_t>(bits)), "exhaustive");
        if ((bits & 0x0FFFFFFF) == 0x0FFFFFFF) {
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            std::printf("  through 0x%08" PRIx64 ": %.0f s\n", bits, took.count());
            std::fflush(stdout);
        }
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("exhaustive f32: %" PRIu64 " values in %.0f s\n", checked, took.count());
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t n = 2'000'000;
    std::uint64_t seed = 20240917;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--exhaustive") {
            exhaustive();
            return check::summary("fixed format");
        } else if ((arg == "--show6" || arg == "--show4") && has_value) {
            const std::uint64_t bits = std::strtoull(argv[++i], nullptr, 16);
            char buf[cwa::fixed4_f64_max_chars];
            const char* end = arg == "--show6"
                ? cwa::write_fixed6(buf, std::bit_cast<float>(static_cast<std::uint32_t>(bits)))
                : cwa::write_fixed4(buf, std::bit_cast<double>(bits));
            std::printf("%.*s\n", int(end - buf), buf);
            return 0;
        } else if (arg == "--seed" && has_value) {
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else {
            n = std::strtoull(argv[i], nullptr, 10);
        }
    }
    chosen_values();
    const std::uint64_t chosen = checked;
    random_values(n, seed);
    std::printf("fixed format: %" PRIu64 " chosen and %" PRIu64 " random values (N=%" PRIu64 ", seed %" PRIu64
                ") against std::to_chars\n",
                chosen, checked - chosen, n, seed);
    return check::summary("fixed format");
}
