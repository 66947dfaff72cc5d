// The read plan under every kind of cut, then the plain read of its blocks and the exact time
// filter: read_cwa_file without a rate. Options: fuzz_support.hpp (Options::cut, channels).
#include "cwa/operations.hpp"
#include "cwa/read.hpp"
#include "cwa/timing.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::Options options(data, size, 3);
    const std::string& path = fuzz::write_recording(data, size);
    auto planned = cwa::plan_read(options.request(path));
    if (!planned) return 0;
    auto kept = cwa::read_recording(*planned, std::nullopt);
    if (!kept) return 0;
    fuzz::check_columns(*kept, planned->channels);
    if (kept->size() == 0) fuzz::finding("an empty read returned as success");
    const cwa::ReadPlan& plan = planned->plan;
    for (std::size_t i = 0; i < kept->size(); ++i) {
        const double t = cwa::us_to_seconds(kept->timestamps_us[i]);
        if ((plan.range_start_time && t < *plan.range_start_time) ||
            (plan.range_end_time && t >= *plan.range_end_time)) {
            fuzz::finding("filter kept a sample outside the range");
        }
    }
    // The UTC shift wraps rather than overflows on saturated timestamps.
    cwa::apply_utc_offset(kept->timestamps_us, static_cast<std::int64_t>(options.byte(1)) * -3600000000);
    return 0;
}
