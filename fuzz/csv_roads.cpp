// write_cwa_csv on all three roads, into /dev/null: resampled (a rate), filtered (a seconds cut
// with bounds) and streaming (neither). Byte 3 chooses a rate when its top bit is set, byte 4 a
// UTC offset in hours; the other options as in fuzz_support.hpp.
#include <iterator>

#include "cwa/csv.hpp"
#include "cwa/operations.hpp"
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
    const std::int64_t offset_us = (static_cast<std::int64_t>(options.byte(4)) - 128) * 3600000000;

    if (!cwa::check_output_is_not_input(path, output_path)) fuzz::finding("/dev/null taken for the input");
    auto planned = cwa::plan_read(options.request(path, rate));
    if (!planned) return 0;
    (void)cwa::export_csv(*planned, output_path, offset_us);
    return 0;
}
