// The per-sample timestamps of a block, one kernel per instruction set the machine may offer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cwa {

// Each kernel writes out[i] = saturating_i64(((i * span) / count + start) * 1e6) for i below
// `count`, every lane rounded exactly as that scalar formula rounds it, so all kernels give the
// same bits. Listed so that tests can run each; the widest the processor supports is chosen once.
struct TimestampKernel {
    const char* name;
    bool (*supported)();
    void (*spread)(double start, double span, std::size_t count, std::int64_t* out);
};
const std::vector<TimestampKernel>& timestamp_kernels();
// The kernel in use: the widest the processor supports, unless a test switched it.
const TimestampKernel& active_timestamp_kernel();
void use_timestamp_kernel(const TimestampKernel& kernel);

}  // namespace cwa
