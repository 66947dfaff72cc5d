// Four double-precision lanes, the unit of every sum of the activity methods, and the choice of
// the instruction set that carries them.
//
// Sums run in four interleaved partial sums (item k of a sum, counting from its first, goes to
// partial k % 4), joined as (p0 + p1) + (p2 + p3). The order is fixed, so the bits are the same
// on every machine and with every kernel: the four partials are the four lanes of one vector in
// the compiler's generic vector extension, each lane rounded exactly as a scalar would be.
#pragma once

#include <cmath>
#include <string_view>
#include <vector>

// Wider x86 vector units get their own copies of the loops (CWA_X86_KERNELS), chosen when the
// processor has them, as the reader's own kernels are; the module itself stays baseline.
#include "cwa/kernel_choice.hpp"

namespace kelpmoor::activity {

typedef double Double4 __attribute__((vector_size(32)));
// Four floats loaded from wherever they lie.
typedef float Float4 __attribute__((vector_size(16), aligned(4), may_alias));

// The four partial sums joined, from a vector or from four scalars.
template <class FourLanes>
inline double join(const FourLanes& p) {
    return (p[0] + p[1]) + (p[2] + p[3]);
}

// Vectors travel by reference: the baseline and the wider kernels then agree on how they are
// passed.
[[gnu::always_inline]] inline void load4(const float* at, Double4& out) {
    out = __builtin_convertvector(*reinterpret_cast<const Float4*>(at), Double4);
}

// Each lane's correctly rounded square root. Built from the four results at once: writing
// them lane by lane into a vector makes the compiler store and reload it.
[[gnu::always_inline]] inline void sqrt4(const Double4& x, Double4& out) {
    out = Double4{std::sqrt(x[0]), std::sqrt(x[1]), std::sqrt(x[2]), std::sqrt(x[3])};
}

// The instruction sets a loop is compiled for, narrowest first. "avx2" carries the four lanes
// in one 256-bit register; "avx512" does too, with twice as many registers, so that long lists
// of accumulators stay in them.
enum class Kernel { portable, avx2, avx512 };

// The kernel in use: the widest the processor runs, unless a test chose another.
[[nodiscard]] Kernel active_kernel();
[[nodiscard]] std::string_view kernel_name(Kernel kernel);
// The names of the kernels this processor runs, narrowest first.
[[nodiscard]] std::vector<std::string_view> kernel_names();
// Chooses a kernel by name; false for a name this processor cannot run.
bool use_kernel(std::string_view name);

}  // namespace kelpmoor::activity
