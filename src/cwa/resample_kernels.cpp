// The arithmetic of a planned batch of resampled rows: Lagrange weights and the cubic of every
// lane. Each lane is rounded exactly as one scalar operation would round it and the operations
// keep the order of the row-at-a-time formulas, so every kernel gives the same bits.
#include "cwa/resample.hpp"

#include <atomic>
#include <cmath>
#include <cstring>

namespace cwa {

namespace {

using Batch = StreamingResampler::RowBatch;
using Record = StreamingResampler::LaneRecord;
constexpr std::size_t batch_rows = StreamingResampler::batch_rows;
constexpr std::size_t record_lanes = StreamingResampler::lane_count;

// Vectors of doubles in the compiler's generic vector extension: element-wise operations are
// the IEEE operations of each lane, whatever instructions carry them.
typedef double Double2 __attribute__((vector_size(16)));
typedef double Double4 __attribute__((vector_size(32)));
typedef float Float2 __attribute__((vector_size(8)));
typedef float Float4 __attribute__((vector_size(16)));

// The float vector of as many lanes as V: one rounding instruction for all of them, each lane
// rounded as a scalar conversion rounds it.
template <class V>
struct floats_of;
template <>
struct floats_of<Double2> {
    using type = Float2;
};
template <>
struct floats_of<Double4> {
    using type = Float4;
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

// Denominators Dj = prod over m != j of (Tj - Tm), numerators Nj = prod of (b - Tm), both in
// ascending m, and the weights Nj / Dj. The times are gathered first so that the arithmetic
// runs over plain arrays, V lanes of rows at a time.
template <class V>
[[gnu::always_inline]] inline void compute_weights_body(Batch& batch, const double* times) {
    constexpr std::size_t width = lanes_of<V>;
    const std::size_t rows = batch.count;
    alignas(64) double t0[batch_rows], t1[batch_rows], t2[batch_rows], t3[batch_rows];
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t p = batch.position[r];
        t1[r] = times[p];
        t2[r] = times[p + 1];
        t0[r] = batch.outer[r] ? times[p - 1] : t1[r];
        t3[r] = batch.outer[r] ? times[p + 2] : t2[r];
    }
    // The lanes past the last row compute on copies of it and are never read.
    for (std::size_t r = rows; r % width != 0; ++r) {
        t0[r] = t0[rows - 1], t1[r] = t1[rows - 1], t2[r] = t2[rows - 1], t3[r] = t3[rows - 1];
        batch.grid_time[r] = batch.grid_time[rows - 1];
    }
    alignas(64) std::int64_t degenerate[batch_rows];
    for (std::size_t r = 0; r < rows; r += width) {
        const V a = load<V>(t0 + r), b1 = load<V>(t1 + r), c = load<V>(t2 + r), d = load<V>(t3 + r);
        const V b = load<V>(batch.grid_time + r);
        const V d0 = ((a - b1) * (a - c)) * (a - d);
        const V d1 = ((b1 - a) * (b1 - c)) * (b1 - d);
        const V d2 = ((c - a) * (c - b1)) * (c - d);
        const V d3 = ((d - a) * (d - b1)) * (d - c);
        const V e0 = b - a, e1 = b - b1, e2 = b - c, e3 = b - d;
        const V w0 = ((e1 * e2) * e3) / d0;
        const V w1 = ((e0 * e2) * e3) / d1;
        const V w2 = ((e0 * e1) * e3) / d2;
        const V w3 = ((e0 * e1) * e2) / d3;
        std::memcpy(batch.weight[0] + r, &w0, sizeof w0);
        std::memcpy(batch.weight[1] + r, &w1, sizeof w1);
        std::memcpy(batch.weight[2] + r, &w2, sizeof w2);
        std::memcpy(batch.weight[3] + r, &w3, sizeof w3);
        // Points closer than this make the cubic meaningless; the row falls back to linear.
        const V above = splat<V>(1e-12), below = splat<V>(-1e-12);
        const auto tiny = ((d0 < above) & (d0 > below)) | ((d1 < above) & (d1 > below)) |
                          ((d2 < above) & (d2 > below)) | ((d3 < above) & (d3 > below));
        std::memcpy(degenerate + r, &tiny, sizeof tiny);
    }
    for (std::size_t r = 0; r < rows; ++r) batch.cubic[r] = batch.outer[r] && degenerate[r] == 0;
}

// ((w0 y0 + w1 y1) + w2 y2) + w3 y3 per lane, each product and sum rounded on its own.
template <class V>
[[gnu::always_inline]] inline void combine_body(const Batch& batch, const bool* use, const Record* records,
                                                float* const* out) {
    constexpr std::size_t width = lanes_of<V>;
    // Six lanes carry channels; the vectors cover them and as few unused lanes as they must,
    // whose results are not stored.
    constexpr std::size_t channels = 6;
    constexpr std::size_t lanes = (channels + width - 1) / width * width;
    float* columns[record_lanes];
    for (std::size_t l = 0; l < record_lanes; ++l) columns[l] = out[l];
    const std::size_t rows = batch.count;
    for (std::size_t r = 0; r < rows; ++r) {
        if (!use[r]) continue;
        const Record* y = records + batch.position[r] - 1;
        const V w0 = splat<V>(batch.weight[0][r]), w1 = splat<V>(batch.weight[1][r]);
        const V w2 = splat<V>(batch.weight[2][r]), w3 = splat<V>(batch.weight[3][r]);
        for (std::size_t l = 0; l < lanes; l += width) {
            V sum = w0 * load<V>(y[0].lanes + l);
            sum = sum + w1 * load<V>(y[1].lanes + l);
            sum = sum + w2 * load<V>(y[2].lanes + l);
            sum = sum + w3 * load<V>(y[3].lanes + l);
            const auto rounded = __builtin_convertvector(sum, typename floats_of<V>::type);
            for (std::size_t k = 0; k < width; ++k) {
                if (l + k < channels) columns[l + k][r] = rounded[k];
            }
        }
    }
}

bool always() { return true; }

// Two lanes: SSE2 on every x86-64, NEON on arm64.
void compute_weights_portable(Batch& batch, const double* times) { compute_weights_body<Double2>(batch, times); }
void combine_portable(const Batch& batch, const bool* use, const Record* records, float* const* out) {
    combine_body<Double2>(batch, use, records, out);
}

// Wider vectors only where the processor says it has them: each kernel is compiled for its
// instruction set and chosen at run time, so the module itself stays baseline x86-64. (Eight
// lanes of AVX-512 measured slower than four: the divisions dominate and do not get faster.)
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define CWA_X86_KERNELS 1

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
#endif

std::vector<ResampleKernel> make_kernels() {
    std::vector<ResampleKernel> kernels{{"portable", always, compute_weights_portable, combine_portable}};
#ifdef CWA_X86_KERNELS
    kernels.push_back({"avx2", has_avx2, compute_weights_avx2, combine_avx2});
#endif
    return kernels;
}

}  // namespace

const std::vector<ResampleKernel>& resample_kernels() {
    static const std::vector<ResampleKernel> kernels = make_kernels();
    return kernels;
}

namespace {

// Chosen once, the first time a resampler needs it; kernels listed later are wider.
std::atomic<const ResampleKernel*> chosen_kernel{nullptr};

}  // namespace

const ResampleKernel& active_resample_kernel() {
    const ResampleKernel* kernel = chosen_kernel.load(std::memory_order_relaxed);
    if (!kernel) {
        for (const ResampleKernel& candidate : resample_kernels()) {
            if (candidate.supported()) kernel = &candidate;
        }
        chosen_kernel.store(kernel, std::memory_order_relaxed);
    }
    return *kernel;
}

void use_resample_kernel(const ResampleKernel& kernel) { chosen_kernel.store(&kernel, std::memory_order_relaxed); }

}  // namespace cwa
