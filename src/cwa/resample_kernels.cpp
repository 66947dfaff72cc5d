// The arithmetic of a planned batch of resampled rows: Lagrange weights and the cubic of every
// lane. Each lane is rounded exactly as one scalar operation would round it and the operations
// keep the order of the row-at-a-time formulas, so every kernel gives the same bits.
#include "cwa/resample.hpp"

#include <atomic>
#include <cmath>

namespace cwa {

namespace {

using Batch = StreamingResampler::RowBatch;
using Record = StreamingResampler::LaneRecord;

// Denominators Dj = prod over m != j of (Tj - Tm), numerators Nj = prod of (b - Tm), both in
// ascending m, and the weights Nj / Dj. The times are gathered first so that the arithmetic
// runs over plain arrays.
[[gnu::always_inline]] inline void compute_weights_body(Batch& batch, const double* times) {
    const std::size_t rows = batch.count;
    double t0[StreamingResampler::batch_rows], t1[StreamingResampler::batch_rows], t2[StreamingResampler::batch_rows], t3[StreamingResampler::batch_rows];
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t p = batch.position[r];
        t1[r] = times[p];
        t2[r] = times[p + 1];
        t0[r] = batch.outer[r] ? times[p - 1] : t1[r];
        t3[r] = batch.outer[r] ? times[p + 2] : t2[r];
    }
    for (std::size_t r = 0; r < rows; ++r) {
        const double b = batch.grid_time[r];
        const double d0 = ((t0[r] - t1[r]) * (t0[r] - t2[r])) * (t0[r] - t3[r]);
        const double d1 = ((t1[r] - t0[r]) * (t1[r] - t2[r])) * (t1[r] - t3[r]);
        const double d2 = ((t2[r] - t0[r]) * (t2[r] - t1[r])) * (t2[r] - t3[r]);
        const double d3 = ((t3[r] - t0[r]) * (t3[r] - t1[r])) * (t3[r] - t2[r]);
        const double e0 = b - t0[r], e1 = b - t1[r], e2 = b - t2[r], e3 = b - t3[r];
        batch.weight[0][r] = ((e1 * e2) * e3) / d0;
        batch.weight[1][r] = ((e0 * e2) * e3) / d1;
        batch.weight[2][r] = ((e0 * e1) * e3) / d2;
        batch.weight[3][r] = ((e0 * e1) * e2) / d3;
        // Points closer than this make the cubic meaningless; the row falls back to linear.
        batch.cubic[r] = batch.outer[r] && !(std::fabs(d0) < 1e-12) && !(std::fabs(d1) < 1e-12) &&
                         !(std::fabs(d2) < 1e-12) && !(std::fabs(d3) < 1e-12);
    }
}

// ((w0 y0 + w1 y1) + w2 y2) + w3 y3 per lane, each product and sum rounded on its own.
[[gnu::always_inline]] inline void combine_body(const Batch& batch, const bool* use, const Record* records,
                                                float* const* out) {
    for (std::size_t r = 0; r < batch.count; ++r) {
        if (!use[r]) continue;
        const Record* y = records + batch.position[r] - 1;
        const double w0 = batch.weight[0][r], w1 = batch.weight[1][r];
        const double w2 = batch.weight[2][r], w3 = batch.weight[3][r];
        float value[StreamingResampler::lane_count];
        for (std::size_t l = 0; l < StreamingResampler::lane_count; ++l) {
            double sum = w0 * y[0].lanes[l];
            sum = sum + w1 * y[1].lanes[l];
            sum = sum + w2 * y[2].lanes[l];
            sum = sum + w3 * y[3].lanes[l];
            value[l] = static_cast<float>(sum);
        }
        for (std::size_t l = 0; l < StreamingResampler::lane_count; ++l) out[l][r] = value[l];
    }
}

bool always() { return true; }

void compute_weights_portable(Batch& batch, const double* times) { compute_weights_body(batch, times); }
void combine_portable(const Batch& batch, const bool* use, const Record* records, float* const* out) {
    combine_body(batch, use, records, out);
}

std::vector<ResampleKernel> make_kernels() {
    return {ResampleKernel{"portable", always, compute_weights_portable, combine_portable}};
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
