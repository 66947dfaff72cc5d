// Which kernel of a list runs: the last one the processor supports (lists go narrowest first),
// chosen on first use; tests switch it to run each kernel the machine has.
#pragma once

#include <atomic>
#include <vector>

namespace cwa {

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
