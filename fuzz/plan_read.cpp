// The read plan under every kind of cut, then the plain read of its blocks and the exact time
// filter: read_cwa_file without a rate. Options: fuzz_support.hpp (Options::cut, channels).
#include "cwa/plan.hpp"
#include "cwa/read.hpp"
#include "cwa/timing.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::Options options(data, size, 3);
    const std::string& path = fuzz::write_recording(data, size);
    const cwa::ChannelSelection channels = options.channels();
    auto plan = cwa::resolve_read_plan(path, options.cut());
    if (!plan) return 0;
    if (!cwa::check_time_range(plan->range_start_time, plan->range_end_time)) return 0;
    auto read = cwa::read_cwa_data(path, plan->start_block, plan->block_count, channels);
    if (!read) return 0;
    fuzz::check_columns(*read, channels);
    const std::size_t read_rows = read->size();
    auto kept = cwa::filter_data_by_time_range(std::move(*read), plan->range_start_time, plan->range_end_time);
    if (!kept) return 0;
    fuzz::check_columns(*kept, channels);
    if (kept->size() == 0 || kept->size() > read_rows) fuzz::finding("filter row count");
    for (std::size_t i = 0; i < kept->size(); ++i) {
        const double t = cwa::us_to_seconds(kept->timestamps_us[i]);
        if ((plan->range_start_time && t < *plan->range_start_time) ||
            (plan->range_end_time && t >= *plan->range_end_time)) {
            fuzz::finding("filter kept a sample outside the range");
        }
    }
    cwa::apply_utc_offset(kept->timestamps_us, static_cast<std::int64_t>(options.byte(1)) * -3600000000);
    return 0;
}
