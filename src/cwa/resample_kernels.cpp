// The arithmetic of a planned batch of resampled rows: Lagrange weights and the cubic of every
// lane. Each lane is rounded exactly as one scalar operation would round it and the operations
// keep the order of the row-at-a-time formulas, so every kernel gives the same bits.
#include "cwa/resample_kernels.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "cwa/kernel_choice.hpp"

namespace cwa {

namespace {

using Batch = RowBatch;
using Record = LaneRecord;
static_assert(acc_lane == 0 && aux_lane == 3, "fill_window writes main records as acc x, y, z, then the aux values");

// Vectors of doubles in the compiler's generic vector extension: element-wise operations are
// the IEEE operations of each lane, whatever instructions carry them.
typedef double Double2 __attribute__((vector_size(16)));
typedef double Double4 __attribute__((vector_size(32)));
typedef float Float2 __attribute__((vector_size(8)));
typedef float Float4 __attribute__((vector_size(16)));

typedef std::int64_t Int2 __attribute__((vector_size(16)));
typedef std::int64_t Int4 __attribute__((vector_size(32)));

// The vectors of as many lanes as V: floats, to round all lanes in one instruction (each as a
// scalar conversion rounds it), and 64-bit integers, to build doubles from their bits.
template <class V>
struct lanes_alike;
template <>
struct lanes_alike<Double2> {
    using floats = Float2;
    using ints = Int2;
};
template <>
struct lanes_alike<Double4> {
    using floats = Float4;
    using ints = Int4;
};

// The helpers below are always inlined into a kernel compiled for its vector width, so no call
// passes a vector across a function boundary and the ABI note does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

template <class V>
constexpr std::size_t lanes_of = sizeof(V) / sizeof(double);

template <class V>
[[gnu::always_inline]] inline V load(const double* from) {
    V v;
    std::memcpy(&v, from, sizeof v);
    return v;
}
template <class V>
[[gnu::always_inline]] inline V splat(double x) {
    V v;
    for (std::size_t l = 0; l < lanes_of<V>; ++l) v[l] = x;
    return v;
}

// The times of rows r ... r + V-1 at position - 1 ... position + 2, one vector per point: each
// row's four times are one run in memory (the window keeps a readable time before and after
// it), loaded whole and transposed.
template <class V>
struct PointTimes {
    V before, earlier, later, after;
};
template <class V>
PointTimes<V> point_times(const Batch& batch, std::size_t r, const double* times);

template <>
[[gnu::always_inline]] inline PointTimes<Double2> point_times(const Batch& batch, std::size_t r,
                                                             const double* times) {
    const double* first = times + batch.position[r] - 1;
    const double* second = times + batch.position[r + 1] - 1;
    const Double2 first_low = load<Double2>(first), first_high = load<Double2>(first + 2);
    const Double2 second_low = load<Double2>(second), second_high = load<Double2>(second + 2);
    return {__builtin_shufflevector(first_low, second_low, 0, 2), __builtin_shufflevector(first_low, second_low, 1, 3),
            __builtin_shufflevector(first_high, second_high, 0, 2),
            __builtin_shufflevector(first_high, second_high, 1, 3)};
}

// Only the x86 kernels run four lanes.
template <>
[[maybe_unused, gnu::always_inline]] inline PointTimes<Double4> point_times(const Batch& batch, std::size_t r,
                                                             const double* times) {
    // Row r + k's four times, one vector per row, transposed into one vector per point.
    const Double4 row0 = load<Double4>(times + batch.position[r] - 1);
    const Double4 row1 = load<Double4>(times + batch.position[r + 1] - 1);
    const Double4 row2 = load<Double4>(times + batch.position[r + 2] - 1);
    const Double4 row3 = load<Double4>(times + batch.position[r + 3] - 1);
    const Double4 even01 = __builtin_shufflevector(row0, row1, 0, 4, 2, 6);
    const Double4 odd01 = __builtin_shufflevector(row0, row1, 1, 5, 3, 7);
    const Double4 even23 = __builtin_shufflevector(row2, row3, 0, 4, 2, 6);
    const Double4 odd23 = __builtin_shufflevector(row2, row3, 1, 5, 3, 7);
    return {__builtin_shufflevector(even01, even23, 0, 1, 4, 5), __builtin_shufflevector(odd01, odd23, 0, 1, 4, 5),
            __builtin_shufflevector(even01, even23, 2, 3, 6, 7), __builtin_shufflevector(odd01, odd23, 2, 3, 6, 7)};
}

// Denominators Dj = prod over m != j of (Tj - Tm), numerators Nj = prod of (g - Tm), g the grid
// time, both in ascending m, and the weights Nj / Dj, V lanes of rows at a time. Rows without a
// sample on each side of their pair get weights from whatever times lie there, never used: they
// are not cubic.
template <class V>
[[gnu::always_inline]] inline void compute_weights_body(Batch& batch, const double* times) {
    constexpr std::size_t width = lanes_of<V>;
    const std::size_t rows = batch.count;
    // The lanes past the last row compute on copies of it and are never read.
    for (std::size_t r = rows; r % width != 0; ++r) {
        batch.position[r] = batch.position[rows - 1];
        batch.grid_time[r] = batch.grid_time[rows - 1];
    }
    alignas(64) std::int64_t degenerate[batch_rows];
    for (std::size_t r = 0; r < rows; r += width) {
        const auto [t0, t1, t2, t3] = point_times<V>(batch, r, times);
        const V grid = load<V>(batch.grid_time + r);
        // Tj - Tm and Tm - Tj round to values of opposite sign and equal magnitude, and so do
        // products that differ in the sign of one factor: six differences serve all four
        // denominators, D1 and D3 come out negated, and so do their quotients (-(N / -D) is
        // N / D bit for bit).
        const V t01 = t0 - t1, t02 = t0 - t2, t03 = t0 - t3, t12 = t1 - t2, t13 = t1 - t3, t23 = t2 - t3;
        const V d0 = (t01 * t02) * t03;
        const V d1_negated = (t01 * t12) * t13;
        const V d2 = (t02 * t12) * t23;
        const V d3_negated = (t03 * t13) * t23;
        const V g0 = grid - t0, g1 = grid - t1, g2 = grid - t2, g3 = grid - t3;
        const V g01 = g0 * g1;
        const V w0 = ((g1 * g2) * g3) / d0;
        const V w1 = -(((g0 * g2) * g3) / d1_negated);
        const V w2 = (g01 * g3) / d2;
        const V w3 = -((g01 * g2) / d3_negated);
        std::memcpy(batch.weight[0] + r, &w0, sizeof w0);
        std::memcpy(batch.weight[1] + r, &w1, sizeof w1);
        std::memcpy(batch.weight[2] + r, &w2, sizeof w2);
        std::memcpy(batch.weight[3] + r, &w3, sizeof w3);
        // Points closer than this make the cubic meaningless; the row falls back to linear.
        // Denominators of finite times are never NaN, so the smallest magnitude decides.
        const V size0 = d0 < 0 ? -d0 : d0, size1 = d1_negated < 0 ? -d1_negated : d1_negated;
        const V size2 = d2 < 0 ? -d2 : d2, size3 = d3_negated < 0 ? -d3_negated : d3_negated;
        const V closer01 = size0 < size1 ? size0 : size1, closer23 = size2 < size3 ? size2 : size3;
        const V closest = closer01 < closer23 ? closer01 : closer23;
        const auto tiny = closest < splat<V>(1e-12);
        std::memcpy(degenerate + r, &tiny, sizeof tiny);
    }
    for (std::size_t r = 0; r < rows; ++r) batch.cubic[r] = batch.outer[r] && degenerate[r] == 0;
}

// ((w0 y0 + w1 y1) + w2 y2) + w3 y3 per lane, each product and sum rounded on its own: the
// lanes from `first` on of one row, as floats.
template <class V>
[[gnu::always_inline]] inline typename lanes_alike<V>::floats cubic_of_lanes(const Record* y, std::size_t first,
                                                                         const V& w0, const V& w1, const V& w2,
                                                                         const V& w3) {
    V sum = w0 * load<V>(y[0].lanes + first);
    sum = sum + w1 * load<V>(y[1].lanes + first);
    sum = sum + w2 * load<V>(y[2].lanes + first);
    sum = sum + w3 * load<V>(y[3].lanes + first);
    return __builtin_convertvector(sum, typename lanes_alike<V>::floats);
}

// The six channel lanes of every row marked in `use` (main or sensor records alike: both groups
// have six); lanes 6 and 7 are never stored.
template <class V>
[[gnu::always_inline]] inline void combine_body(const Batch& batch, const bool* use, const Record* records,
                                                float* const* out) {
    float* const c0 = out[0], *const c1 = out[1], *const c2 = out[2];
    float* const c3 = out[3], *const c4 = out[4], *const c5 = out[5];
    const std::size_t rows = batch.count;
    for (std::size_t r = 0; r < rows; ++r) {
        if (!use[r]) continue;
        const Record* y = records + batch.position[r] - 1;
        const V w0 = splat<V>(batch.weight[0][r]), w1 = splat<V>(batch.weight[1][r]);
        const V w2 = splat<V>(batch.weight[2][r]), w3 = splat<V>(batch.weight[3][r]);
        if constexpr (lanes_of<V> == 4) {
            const auto low = cubic_of_lanes<V>(y, 0, w0, w1, w2, w3);
            const auto high = cubic_of_lanes<V>(y, 4, w0, w1, w2, w3);
            c0[r] = low[0], c1[r] = low[1], c2[r] = low[2], c3[r] = low[3];
            c4[r] = high[0], c5[r] = high[1];
        } else {
            const auto first = cubic_of_lanes<V>(y, 0, w0, w1, w2, w3);
            const auto second = cubic_of_lanes<V>(y, 2, w0, w1, w2, w3);
            const auto third = cubic_of_lanes<V>(y, 4, w0, w1, w2, w3);
            c0[r] = first[0], c1[r] = first[1], c2[r] = second[0], c3[r] = second[1];
            c4[r] = third[0], c5[r] = third[1];
        }
    }
}

// A block's samples as window entries: seconds of each timestamp, main records (acc, then
// temperature, light, battery; lanes 6 and 7 zero) and the missing-value flags of the main lanes.
template <class V>
[[gnu::always_inline]] inline void fill_window_body(const DecodedBlock& block, std::uint32_t aux_flags,
                                                    double* times, Record* records, std::uint32_t* flags) {
    constexpr std::size_t width = lanes_of<V>;
    using Int = typename lanes_alike<V>::ints;
    using Float = typename lanes_alike<V>::floats;
    const std::size_t count = block.count;
    const std::int64_t* stamps = block.timestamps_us.data();
    // Counts in [0, 2^52) become doubles exactly by placing them in the significand of 2^52;
    // a block of any real clock lies there whole.
    Int beyond{};
    std::size_t j = 0;
    for (; j + width <= count; j += width) {
        Int us;
        std::memcpy(&us, stamps + j, sizeof us);
        beyond |= us;
    }
    for (; j < count; ++j) beyond[0] |= stamps[j];
    bool exact = true;
    for (std::size_t l = 0; l < width; ++l) exact &= static_cast<std::uint64_t>(beyond[l]) >> 52 == 0;
    j = 0;
    if (exact) {
        const Int exponent = Int{} + std::bit_cast<std::int64_t>(0x1p52);
        for (; j + width <= count; j += width) {
            Int us;
            std::memcpy(&us, stamps + j, sizeof us);
            const Int biased = us | exponent;
            V widened;
            std::memcpy(&widened, &biased, sizeof widened);
            const V seconds = (widened - splat<V>(0x1p52)) / splat<V>(1000000.0);
            std::memcpy(times + j, &seconds, sizeof seconds);
        }
    }
    for (; j < count; ++j) times[j] = static_cast<double>(stamps[j]) / 1000000.0;

    // Decoded values are never NaN, but a block from elsewhere may carry them.
    using Mask = decltype(Float{} != Float{});
    Mask unordered{};
    std::size_t whole = count / width * width;
    for (std::size_t a = 0; a < 3; ++a) {
        for (std::size_t k = 0; k < whole; k += width) {
            Float values;
            std::memcpy(&values, block.acc[a].data() + k, sizeof values);
            unordered |= values != values;
        }
    }
    bool acc_missing = false;
    for (std::size_t l = 0; l < width; ++l) acc_missing |= unordered[l] != 0;
    for (std::size_t a = 0; a < 3; ++a) {
        for (std::size_t k = whole; k < count; ++k) acc_missing |= std::isnan(block.acc[a][k]);
    }
    const double temperature = block.aux.values[0], light = block.aux.values[1], battery = block.aux.values[2];
    j = 0;
    if constexpr (width == 4) {
        const V upper = {light, battery, 0.0, 0.0};
        // Four samples' x, y, z and the temperature transposed into four records' lanes 0-3.
        const V warmth = splat<V>(temperature);
        for (; j + width <= count; j += width) {
            Float x, y, z;
            std::memcpy(&x, block.acc[0].data() + j, sizeof x);
            std::memcpy(&y, block.acc[1].data() + j, sizeof y);
            std::memcpy(&z, block.acc[2].data() + j, sizeof z);
            const V xs = __builtin_convertvector(x, V), ys = __builtin_convertvector(y, V);
            const V zs = __builtin_convertvector(z, V);
            const V xy_even = __builtin_shufflevector(xs, ys, 0, 4, 2, 6), xy_odd = __builtin_shufflevector(xs, ys, 1, 5, 3, 7);
            const V zt_even = __builtin_shufflevector(zs, warmth, 0, 4, 2, 6);
            const V zt_odd = __builtin_shufflevector(zs, warmth, 1, 5, 3, 7);
            const V first = __builtin_shufflevector(xy_even, zt_even, 0, 1, 4, 5);
            const V second = __builtin_shufflevector(xy_odd, zt_odd, 0, 1, 4, 5);
            const V third = __builtin_shufflevector(xy_even, zt_even, 2, 3, 6, 7);
            const V fourth = __builtin_shufflevector(xy_odd, zt_odd, 2, 3, 6, 7);
            std::memcpy(records[j].lanes, &first, sizeof first);
            std::memcpy(records[j + 1].lanes, &second, sizeof second);
            std::memcpy(records[j + 2].lanes, &third, sizeof third);
            std::memcpy(records[j + 3].lanes, &fourth, sizeof fourth);
            for (std::size_t k = 0; k < width; ++k) std::memcpy(records[j + k].lanes + 4, &upper, sizeof upper);
        }
    }
    for (; j < count; ++j) {
        const double lanes[record_lanes] = {block.acc[0][j], block.acc[1][j], block.acc[2][j], temperature,
                                            light, battery, 0.0, 0.0};
        std::memcpy(records[j].lanes, lanes, sizeof lanes);
    }
    if (!acc_missing) {
        std::fill(flags, flags + count, aux_flags);
        return;
    }
    for (std::size_t k = 0; k < count; ++k) {
        const float x = block.acc[0][k], y = block.acc[1][k], z = block.acc[2][k];
        flags[k] = aux_flags | (x != x ? missing_main_lane(acc_lane) : 0u) |
                   (y != y ? missing_main_lane(acc_lane + 1) : 0u) | (z != z ? missing_main_lane(acc_lane + 2) : 0u);
    }
}

// Grid times ((row + j) * step + origin) / 1000 for j < count (a multiple of the width).
// Row numbers stay far below 2^53, so adding j to the converted number is exact.
template <class V>
[[gnu::always_inline]] inline void grid_times_body(std::uint64_t row, std::size_t count, double step, double origin,
                                                   double* out) {
    constexpr std::size_t width = lanes_of<V>;
    V index = splat<V>(static_cast<double>(row));
    for (std::size_t l = 0; l < width; ++l) index[l] += static_cast<double>(l);
    for (std::size_t j = 0; j < count; j += width) {
        const V time = (index * splat<V>(step) + splat<V>(origin)) / splat<V>(1000.0);
        std::memcpy(out + j, &time, sizeof time);
        index += splat<V>(static_cast<double>(width));
    }
}

// Microsecond stamps trunc(time * 1e6) of grid times whose stamps all lie inside the int64
// range (the caller checks). Stamps in [0, 2^52), those of every real recording, are rounded
// to an integer by adding 2^52, stepped down where that rounded up, and read from the
// significand; the grid times of a batch never decrease, so its first and last decide.
template <class V>
[[gnu::always_inline]] inline void grid_stamps_body(const double* times, std::size_t count, std::int64_t* out) {
    constexpr std::size_t width = lanes_of<V>;
    using Int = typename lanes_alike<V>::ints;
    std::size_t row = 0;
    if (times[0] * 1000000.0 >= 0.0 && times[count - 1] * 1000000.0 < 0x1p52) {
        const V shift = splat<V>(0x1p52);
        for (; row + width <= count; row += width) {
            const V us = load<V>(times + row) * splat<V>(1000000.0);
            V whole = (us + shift) - shift;
            whole = whole > us ? whole - splat<V>(1.0) : whole;
            const V placed = whole + shift;
            Int bits;
            std::memcpy(&bits, &placed, sizeof bits);
            bits -= std::bit_cast<std::int64_t>(0x1p52);
            std::memcpy(out + row, &bits, sizeof bits);
        }
    }
    for (; row < count; ++row) out[row] = static_cast<std::int64_t>(times[row] * 1000000.0);
}

// Two lanes: SSE2 on every x86-64, NEON on arm64.
void compute_weights_portable(Batch& batch, const double* times) { compute_weights_body<Double2>(batch, times); }
void combine_portable(const Batch& batch, const bool* use, const Record* records, float* const* out) {
    combine_body<Double2>(batch, use, records, out);
}
void grid_times_portable(std::uint64_t row, std::size_t count, double step, double origin, double* out) {
    grid_times_body<Double2>(row, count, step, origin, out);
}
void grid_stamps_portable(const double* times, std::size_t count, std::int64_t* out) {
    grid_stamps_body<Double2>(times, count, out);
}
void fill_window_portable(const DecodedBlock& block, std::uint32_t aux_flags, double* times, Record* records,
                          std::uint32_t* flags) {
    fill_window_body<Double2>(block, aux_flags, times, records, flags);
}

// Wider vectors only where the processor says it has them: each kernel is compiled for its
// instruction set and chosen at run time, so the module itself stays baseline x86-64. (Eight
// lanes of AVX-512 measured slower than four: the divisions dominate and do not get faster.)
#ifdef CWA_X86_KERNELS

bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
[[gnu::target("avx2")]] void compute_weights_avx2(Batch& batch, const double* times) {
    compute_weights_body<Double4>(batch, times);
}
[[gnu::target("avx2")]] void combine_avx2(const Batch& batch, const bool* use, const Record* records, float* const* out) {
    combine_body<Double4>(batch, use, records, out);
}
[[gnu::target("avx2")]] void grid_times_avx2(std::uint64_t row, std::size_t count, double step, double origin,
                                             double* out) {
    grid_times_body<Double4>(row, count, step, origin, out);
}
[[gnu::target("avx2")]] void grid_stamps_avx2(const double* times, std::size_t count, std::int64_t* out) {
    grid_stamps_body<Double4>(times, count, out);
}
[[gnu::target("avx2")]] void fill_window_avx2(const DecodedBlock& block, std::uint32_t aux_flags, double* times,
                                              Record* records, std::uint32_t* flags) {
    fill_window_body<Double4>(block, aux_flags, times, records, flags);
}
#endif

std::vector<ResampleKernel> make_kernels() {
    std::vector<ResampleKernel> kernels{{"portable", always_supported, compute_weights_portable, combine_portable, fill_window_portable, grid_times_portable, grid_stamps_portable}};
#ifdef CWA_X86_KERNELS
    kernels.push_back({"avx2", has_avx2, compute_weights_avx2, combine_avx2, fill_window_avx2, grid_times_avx2, grid_stamps_avx2});
#endif
    return kernels;
}

}  // namespace

const std::vector<ResampleKernel>& resample_kernels() {
    static const std::vector<ResampleKernel> kernels = make_kernels();
    return kernels;
}

namespace {

KernelChoice<ResampleKernel> kernel_choice;

}  // namespace

const ResampleKernel& active_resample_kernel() { return kernel_choice.active(resample_kernels()); }

void use_resample_kernel(const ResampleKernel& kernel) { kernel_choice.use(kernel); }

}  // namespace cwa
