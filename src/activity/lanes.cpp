#include "lanes.hpp"

#include <array>
#include <atomic>

namespace kelpmoor::activity {

namespace {

bool supported(Kernel kernel) {
    switch (kernel) {
        case Kernel::portable:
            return true;
#ifdef ACTIVITY_X86_KERNELS
        case Kernel::avx2:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2");
        case Kernel::avx512:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
#endif
        default:
            return false;
    }
}

constexpr std::array all{Kernel::portable, Kernel::avx2, Kernel::avx512};

// -1 until first use; then the chosen kernel.
std::atomic<int> chosen{-1};

}  // namespace

Kernel active_kernel() {
    int choice = chosen.load(std::memory_order_relaxed);
    if (choice < 0) {
        for (Kernel kernel : all)
            if (supported(kernel)) choice = static_cast<int>(kernel);
        chosen.store(choice, std::memory_order_relaxed);
    }
    return static_cast<Kernel>(choice);
}

std::string_view kernel_name(Kernel kernel) {
    switch (kernel) {
        case Kernel::avx2:
            return "avx2";
        case Kernel::avx512:
            return "avx512";
        default:
            return "portable";
    }
}

std::vector<std::string_view> kernel_names() {
    std::vector<std::string_view> names;
    for (Kernel kernel : all)
        if (supported(kernel)) names.push_back(kernel_name(kernel));
    return names;
}

bool use_kernel(std::string_view name) {
    for (Kernel kernel : all) {
        if (name == kernel_name(kernel) && supported(kernel)) {
            chosen.store(static_cast<int>(kernel), std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

}  // namespace kelpmoor::activity
