// The per-sample loops of a block (timestamps, packed samples), one kernel per instruction set
// the machine may offer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cwa {

// Every lane is rounded exactly as the scalar formula rounds it, so all kernels give the same
// bits. Listed so that tests can run each; the widest the processor supports is chosen once.
struct BlockKernel {
    const char* name;
    bool (*supported)();
    // out[i] = saturating_i64(((i * span) / count + start) * 1e6) for i below `count`.
    void (*spread_timestamps)(double start, double span, std::size_t count, std::int64_t* out);
    // `count` packed 3-axis samples in g: each 10-bit field times 2^exponent, over 2^(8 + accel_code).
    void (*decode_packed3)(const std::uint8_t* data, std::size_t count, unsigned accel_code, float* x, float* y,
                           float* z);
};
const std::vector<BlockKernel>& block_kernels();
// The kernel in use: the widest the processor supports, unless a test switched it.
const BlockKernel& active_block_kernel();
void use_block_kernel(const BlockKernel& kernel);

}  // namespace cwa
