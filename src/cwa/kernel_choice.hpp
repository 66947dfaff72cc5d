// Which kernel of a list runs: the last one the processor supports (lists go narrowest first),
// chosen on first use; tests switch it to run each kernel the machine has.
#pragma once

#include <atomic>
#include <vector>

// Kernels for wider x86 vector units are compiled, each for its instruction set, wherever the
// compiler can target them; the module itself stays baseline.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define CWA_X86_KERNELS 1
#endif

namespace cwa {

// The `supported` test of a list's first kernel, which every processor runs.
inline bool always_supported() { return true; }

template <class Kernel>
class KernelChoice {
public:
    const Kernel& active(const std::vector<Kernel>& kernels) {
        const Kernel* kernel = chosen_.load(std::memory_order_relaxed);
        if (!kernel) {
            for (const Kernel& candidate : kernels) {
                if (candidate.supported()) kernel = &candidate;
            }
            chosen_.store(kernel, std::memory_order_relaxed);
        }
        return *kernel;
    }
    void use(const Kernel& kernel) { chosen_.store(&kernel, std::memory_order_relaxed); }

private:
    std::atomic<const Kernel*> chosen_{nullptr};
};

}  // namespace cwa
