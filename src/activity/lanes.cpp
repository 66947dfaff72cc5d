#include "lanes.hpp"

#include "cwa/kernel_choice.hpp"

namespace kelpmoor::activity {

namespace {

#ifdef CWA_X86_KERNELS
bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

bool has_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
}
#endif

struct Entry {
    Kernel kernel;
    const char* name;
    bool (*supported)();
};

const std::vector<Entry>& entries() {
    static const std::vector<Entry> list{
        {Kernel::portable, "portable", cwa::always_supported},
#ifdef CWA_X86_KERNELS
        {Kernel::avx2, "avx2", has_avx2},
        {Kernel::avx512, "avx512", has_avx512},
#endif
    };
    return list;
}

cwa::KernelChoice<Entry> choice;

}  // namespace

Kernel active_kernel() { return choice.active(entries()).kernel; }

std::string_view kernel_name(Kernel kernel) {
    for (const Entry& entry : entries())
        if (entry.kernel == kernel) return entry.name;
    return "portable";
}

std::vector<std::string_view> kernel_names() {
    std::vector<std::string_view> names;
    for (const Entry& entry : entries())
        if (entry.supported()) names.emplace_back(entry.name);
    return names;
}

bool use_kernel(std::string_view name) {
    for (const Entry& entry : entries()) {
        if (name == entry.name && entry.supported()) {
            choice.use(entry);
            return true;
        }
    }
    return false;
}

}  // namespace kelpmoor::activity
