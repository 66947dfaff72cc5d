// Every block kernel this processor can run against the scalar formulas, bit for bit, over
// randomized blocks. Timestamps: sample counts from 1 to well past a block, spans of every sign
// and size, starts near the saturation bounds, infinities and NaN. Packed samples: random words
// (every exponent and field value), all eight accelerometer scales, counts 1 to 120. Every
// sample and guard word is one comparison of the tally (check.hpp).
//
//     block_kernels_check [--cases N] [--seed S]
#include "cwa/block_kernels.hpp"

#include "check.hpp"

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The formula written out once more, one sample at a time, with the saturating rule spelled
// out rather than shared with the module.
std::int64_t expected(double start, double span, std::size_t count, std::size_t i) {
    const double us = ((static_cast<double>(i) * span) / static_cast<double>(count) + start) * 1000000.0;
    if (us != us) return 0;
    if (us >= 0x1p63) return INT64_MAX;
    if (us < -0x1p63) return INT64_MIN;
    return static_cast<std::int64_t>(us);
}

// A packed sample's axis as written out: the 10-bit two's-complement field times 2^exponent,
// converted to float and divided by the accelerometer's counts per g.
float expected_axis(std::uint32_t word, unsigned shift, unsigned accel_code) {
    int field = static_cast<int>((word >> shift) & 0x3FF);
    if (field >= 512) field -= 1024;
    const int counts = field * (1 << (word >> 30));
    return static_cast<float>(counts) / static_cast<float>(1 << (8 + accel_code));
}

struct Generator {
    std::mt19937_64 bits;

    double uniform(double low, double high) { return std::uniform_real_distribution<double>(low, high)(bits); }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(bits() % n); }
    // Any double at all, NaN and infinities included.
    double any() { return std::bit_cast<double>(bits()); }

    std::size_t count() {
        switch (below(4)) {
            case 0: return 1 + below(8);
            case 1: return 1 + below(120);
            case 2: return 120 - below(3);
            default: return 1 + below(5000);
        }
    }
    // A block's span as a clock gives it (samples over a rate), joined or not, and the extremes.
    double span(std::size_t count) {
        const double rate = 3200.0 / std::ldexp(1.0, static_cast<int>(below(16)));
        switch (below(9)) {
            case 0: return static_cast<double>(count) / rate;
            case 1: return static_cast<double>(count) / rate + uniform(-0.999, 0.999);
            case 2: return -uniform(0, 1e6);
            case 3: return 0.0;
            case 4: return std::ldexp(uniform(-1, 1), static_cast<int>(below(2100)) - 1074);
            case 5: return std::ldexp(static_cast<double>(below(1 << 20)), static_cast<int>(below(80)) - 40);
            case 6: {
                static constexpr double special[] = {inf, -inf, nan, -0.0, 5e-324, 1e308, -1e308, 0x1p1023};
                return special[below(std::size(special))];
            }
            default: return any();
        }
    }
    double start() {
        switch (below(7)) {
            case 0: return uniform(946684800.0, 2966371199.0);  // the years a clock can state
            case 1: return std::floor(uniform(946684800.0, 2966371199.0)) + 0.5;
            case 2: return (below(2) ? 1 : -1) * 9223372036854.775808 + uniform(-2e-3, 2e-3);  // µs near ±2^63
            case 3: return (below(2) ? 1 : -1) * std::ldexp(1.0, 63) / 1e6 * (1 + uniform(-1e-15, 1e-15));
            case 4: {
                static constexpr double special[] = {inf, -inf, nan, 0.0, -0.0, 1e300, -1e300};
                return special[below(std::size(special))];
            }
            case 5: return uniform(-1e13, 1e13);
            default: return any();
        }
    }
};

// Quotients that land on or right beside a rounding boundary: dividends n * q for q a double
// with few significant bits, nudged by one unit, where a reciprocal is most often wrong.
void boundary_cases(Generator& gen, std::vector<double>& spans, std::vector<std::size_t>& counts) {
    for (int k = 0; k < 2000; ++k) {
        const std::size_t n = 1 + gen.below(120);
        const double q = std::ldexp(static_cast<double>(1 + gen.below(1 << 12)), static_cast<int>(gen.below(60)) - 30);
        double span = static_cast<double>(n) * q;
        if (gen.below(2)) span = std::nextafter(span, gen.below(2) ? inf : -inf);
        spans.push_back(gen.below(2) ? span : -span);
        counts.push_back(n);
    }
}

void compare(const cwa::BlockKernel& kernel, double start, double span, std::size_t count,
             std::vector<std::int64_t>& out) {
    // Guard words past the end: a kernel must not write beyond `count`.
    constexpr std::int64_t guard = 0x5A5A5A5A5A5A5A5A;
    out.assign(count + 8, guard);
    kernel.spread_timestamps(start, span, count, out.data());
    for (std::size_t i = 0; i < count + 8; ++i) {
        const std::int64_t want = i < count ? expected(start, span, count, i) : guard;
        if (out[i] == want) {
            check::pass();
        } else {
            check::fail("%s: start %a span %a count %zu sample %zu: got %" PRId64 " want %" PRId64, kernel.name, start,
                        span, count, i, out[i], want);
        }
    }
}

void compare_packed(const cwa::BlockKernel& kernel, Generator& gen, std::size_t blocks) {
    std::vector<std::uint8_t> data(480);
    float out[3][128];
    const std::uint64_t failed_before = check::tally.failed;
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t count = 1 + gen.below(120);
        const auto accel_code = static_cast<unsigned>(gen.below(8));
        for (auto& byte : data) byte = static_cast<std::uint8_t>(gen.bits());
        for (auto& axis : out) std::fill(std::begin(axis), std::end(axis), -7.0f);  // guards past `count`
        kernel.decode_packed3(data.data(), count, accel_code, out[0], out[1], out[2]);
        for (std::size_t i = 0; i < 128; ++i) {
            std::uint32_t word;
            std::memcpy(&word, data.data() + 4 * (i % 120), sizeof word);
            for (unsigned axis = 0; axis < 3; ++axis) {
                const float want = i < count ? expected_axis(word, 10 * axis, accel_code) : -7.0f;
                if (std::bit_cast<std::uint32_t>(out[axis][i]) == std::bit_cast<std::uint32_t>(want)) {
                    check::pass();
                } else {
                    check::fail("%s: packed word %08x scale %u axis %u sample %zu of %zu: got %a want %a", kernel.name,
                                word, accel_code, axis, i, count, static_cast<double>(out[axis][i]),
                                static_cast<double>(want));
                }
            }
        }
    }
    std::printf("kernel %s: %zu packed blocks, %llu mismatches\n", kernel.name, blocks,
                static_cast<unsigned long long>(check::tally.failed - failed_before));
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t cases = 200000;
    std::uint64_t seed = 20261209;
    for (int a = 1; a + 1 < argc; a += 2) {
        if (std::strcmp(argv[a], "--cases") == 0) cases = std::strtoull(argv[a + 1], nullptr, 10);
        if (std::strcmp(argv[a], "--seed") == 0) seed = std::strtoull(argv[a + 1], nullptr, 10);
    }
    Generator gen{std::mt19937_64(seed)};
    std::vector<double> starts, spans;
    std::vector<std::size_t> counts;
    for (std::size_t c = 0; c < cases; ++c) {
        counts.push_back(gen.count());
        spans.push_back(gen.span(counts.back()));
        starts.push_back(gen.start());
    }
    boundary_cases(gen, spans, counts);
    while (starts.size() < spans.size()) starts.push_back(gen.start());

    std::vector<std::int64_t> out;
    std::size_t samples = 0;
    for (std::size_t c = 0; c < spans.size(); ++c) samples += counts[c];
    for (const cwa::BlockKernel& kernel : cwa::block_kernels()) {
        if (!kernel.supported()) {
            std::printf("kernel %s: not supported here\n", kernel.name);
            continue;
        }
        const std::uint64_t failed_before = check::tally.failed;
        for (std::size_t c = 0; c < spans.size(); ++c) compare(kernel, starts[c], spans[c], counts[c], out);
        std::printf("kernel %s: %zu timestamp blocks, %zu samples, %llu mismatches\n", kernel.name, spans.size(),
                    samples, static_cast<unsigned long long>(check::tally.failed - failed_before));
        Generator packed{std::mt19937_64(seed + 1)};
        compare_packed(kernel, packed, cases / 4);
    }
    return check::summary("block kernels");
}
