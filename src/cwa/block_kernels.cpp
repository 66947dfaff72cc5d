// The per-sample loops of a block. Timestamps: x = ((i * span) / n + start) * 1e6, truncated to
// i64 with saturation. Packed samples: three 10-bit fields scaled by a power of two. Every
// kernel rounds each lane as the scalar formula does, in the same order, so the results are the
// same bits whichever kernel the processor runs.
#include "cwa/block_kernels.hpp"

#include <cstring>

#include "cwa/bytes.hpp"
#include "cwa/kernel_choice.hpp"
#include "cwa/timing.hpp"

#ifdef CWA_X86_KERNELS
#include <immintrin.h>
#endif

namespace cwa {

namespace {

// Two lanes in the compiler's generic vector extension: SSE2 on every x86-64, NEON on arm64.
// Element-wise operations are the IEEE operations of each lane.
typedef double Double2 __attribute__((vector_size(16)));

void spread_portable(double start, double span, std::size_t count, std::int64_t* out) {
    if (count == 0) return;
    const auto n = static_cast<double>(count);
    const auto us_of = [&](double i) { return ((i * span) / n + start) * 1000000.0; };
    // Every step of the arithmetic is monotonic in i, so the block's times lie between its
    // first and last, and those two decide whether all convert directly (a NaN fails the test
    // and takes the careful loop).
    if (!converts_directly(us_of(0.0)) || !converts_directly(us_of(static_cast<double>(count - 1)))) {
        for (std::size_t i = 0; i < count; ++i) out[i] = saturating_i64(us_of(static_cast<double>(i)));
        return;
    }
    // Sample indices as doubles: exact far beyond any block. The conversion has no vector form
    // here; it runs beside the divisions of the next lanes.
    Double2 index = {0.0, 1.0};
    std::size_t i = 0;
    for (; i + 2 <= count; i += 2) {
        const Double2 us = ((index * span) / n + start) * 1000000.0;
        out[i] = static_cast<std::int64_t>(us[0]);
        out[i + 1] = static_cast<std::int64_t>(us[1]);
        index += 2.0;
    }
    if (i < count) out[i] = static_cast<std::int64_t>(us_of(static_cast<double>(i)));
}

// The 10-bit two's-complement field of a packed sample whose top bit sits at bit `top`.
inline std::int32_t packed_axis(std::uint32_t word, unsigned top) {
    return static_cast<std::int32_t>(word << (31 - top)) >> 22;
}

// n x 2^e / A equals n x 2^(e - 8 - a) exactly (at most 13 significant bits), so the
// exponent and the accelerometer divisor fold into one power-of-two factor whose bits are
// built directly; the loop then has no division, table or branch and vectorises at any width.
[[gnu::always_inline]] inline void decode_packed3_body(const std::uint8_t* data, std::size_t count,
                                                       unsigned accel_code, float* x, float* y, float* z) {
    const std::uint32_t bias = 127 - 8 - accel_code;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t word = load_u32(data + 4 * i);
        const std::uint32_t scale_bits = ((word >> 30) + bias) << 23;
        float scale;
        std::memcpy(&scale, &scale_bits, sizeof scale);
        x[i] = static_cast<float>(packed_axis(word, 9)) * scale;
        y[i] = static_cast<float>(packed_axis(word, 19)) * scale;
        z[i] = static_cast<float>(packed_axis(word, 29)) * scale;
    }
}

void decode_packed3_portable(const std::uint8_t* data, std::size_t count, unsigned accel_code, float* x, float* y,
                             float* z) {
    decode_packed3_body(data, count, accel_code, x, y, z);
}

#ifdef CWA_X86_KERNELS

bool has_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
}

// Eight lanes, with the conversion to i64 in one instruction and the saturating rule as masks.
// (A reciprocal product proved correctly rounded lane by lane measured no faster than the
// division: the proof costs as much as the division it saves.)
[[gnu::target("avx512f,avx512dq")]] void spread_avx512(double start, double span, std::size_t count,
                                                       std::int64_t* out) {
    const __m512d n = _mm512_set1_pd(static_cast<double>(count));
    const __m512d span_v = _mm512_set1_pd(span);
    const __m512d start_v = _mm512_set1_pd(start);
    const __m512d micro = _mm512_set1_pd(1000000.0);
    const __m512d two_63 = _mm512_set1_pd(9223372036854775808.0);
    const __m512i largest = _mm512_set1_epi64(INT64_MAX);
    const __m512d step = _mm512_set1_pd(8.0);
    __m512d index = _mm512_set_pd(7.0, 6.0, 5.0, 4.0, 3.0, 2.0, 1.0, 0.0);
    for (std::size_t base = 0; base < count; base += 8) {
        const std::size_t left = count - base;
        const __mmask8 lanes = left >= 8 ? __mmask8(0xFF) : __mmask8((1u << left) - 1);
        const __m512d us = _mm512_mul_pd(_mm512_add_pd(_mm512_div_pd(_mm512_mul_pd(index, span_v), n), start_v), micro);
        // Truncation gives INT64_MIN for NaN and every value out of range; the saturating rule
        // wants INT64_MIN only below -2^63, INT64_MAX from 2^63 up and 0 for NaN.
        __m512i whole = _mm512_cvttpd_epi64(us);
        whole = _mm512_mask_mov_epi64(whole, _mm512_cmp_pd_mask(us, two_63, _CMP_GE_OQ), largest);
        whole = _mm512_maskz_mov_epi64(_mm512_cmp_pd_mask(us, us, _CMP_ORD_Q), whole);
        _mm512_mask_storeu_epi64(out + base, lanes, whole);
        index = _mm512_add_pd(index, step);
    }
}

// The same loop compiled for sixteen lanes.
[[gnu::target("avx512f,avx512dq")]] void decode_packed3_avx512(const std::uint8_t* data, std::size_t count,
                                                               unsigned accel_code, float* x, float* y, float* z) {
    decode_packed3_body(data, count, accel_code, x, y, z);
}

#endif

std::vector<BlockKernel> make_kernels() {
    std::vector<BlockKernel> kernels{{"portable", always_supported, spread_portable, decode_packed3_portable}};
#ifdef CWA_X86_KERNELS
    kernels.push_back({"avx512", has_avx512, spread_avx512, decode_packed3_avx512});
#endif
    return kernels;
}

KernelChoice<BlockKernel> kernel_choice;

}  // namespace

const std::vector<BlockKernel>& block_kernels() {
    static const std::vector<BlockKernel> kernels = make_kernels();
    return kernels;
}

const BlockKernel& active_block_kernel() { return kernel_choice.active(block_kernels()); }

void use_block_kernel(const BlockKernel& kernel) { kernel_choice.use(kernel); }

}  // namespace cwa
