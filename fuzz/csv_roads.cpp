// write_cwa_csv on all three roads, into /dev/null: resampled (a rate), filtered (a seconds cut
// with bounds) and streaming (neither). Byte 3 chooses a rate when its top bit is set, byte 4 a
// UTC offset in hours; the other options as in fuzz_support.hpp.
#include <iterator>

#include "cwa/csv.hpp"
#include "cwa/plan.hpp"
#include "cwa/read.hpp"
#include "cwa/resample.hpp"
#include "fuzz_support.hpp"

namespace {

constexpr double rates_hz[] = {1.0, 25.0, 30.0, 100.0};
constexpr double max_rows = 50000;
const std::string output_path = "/dev/null";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::Options options(data, size, 5);
    std::optional<double> rate;
    if (options.byte(3) & 0x80) rate = rates_hz[options.byte(3) % std::size(rates_hz)];
    if (rate && fuzz::resampled_rows_bound(data, size, *rate) > max_rows) return 0;
    const std::string& path = fuzz::write_recording(data, size);
    const cwa::ChannelSelection channels = options.channels();
    const std::int64_t offset_us = (static_cast<std::int64_t>(options.byte(4)) - 128) * 3600000000;

    auto plan = cwa::resolve_read_plan(path, options.cut());
    if (!plan) return 0;
    if (!cwa::check_time_range(plan->range_start_time, plan->range_end_time)) return 0;
    if (!cwa::check_output_is_not_input(path, output_path)) fuzz::finding("/dev/null taken for the input");
    if (!rate && !plan->range_start_time && !plan->range_end_time) {
        (void)cwa::write_cwa_csv_data(path, output_path, plan->start_block, plan->block_count, channels, offset_us);
        return 0;
    }
    auto read = [&]() -> cwa::Result<cwa::CwaDataResult> {
        if (rate) {
            return cwa::read_cwa_data_resampled_streaming(path, plan->start_block, plan->block_count, *rate, channels,
                                                          plan->range_start_time, plan->range_end_time);
        }
        CWA_TRY(all, cwa::read_cwa_data(path, plan->start_block, plan->block_count, channels));
        return cwa::filter_data_by_time_range(std::move(all), plan->range_start_time, plan->range_end_time);
    }();
    if (!read) return 0;
    if (!cwa::write_data_result_csv(output_path, *read, channels, offset_us)) fuzz::finding("writing to /dev/null failed");
    return 0;
}
