// The streaming resampled read at a few rates, under every kind of cut: read_cwa_file with a
// rate. Byte 3 chooses the rate; the other options as in fuzz_support.hpp.
#include <cmath>
#include <iterator>

#include "cwa/operations.hpp"
#include "cwa/resample_options.hpp"
#include "cwa/timing.hpp"
#include "fuzz_support.hpp"

namespace {

constexpr double rates_hz[] = {1.0, 7.5, 25.0, 30.0, 50.0, 100.0, 0.3, 1000.0 / 3.0};
constexpr double max_rows = 200000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::Options options(data, size, 4);
    const double rate = rates_hz[options.byte(3) % std::size(rates_hz)];
    if (fuzz::resampled_rows_bound(data, size, rate) > max_rows) return 0;
    const std::string& path = fuzz::write_recording(data, size);
    auto checked_rate = cwa::parse_resample_options(rate, "cubic");
    if (!checked_rate || !*checked_rate) fuzz::finding("a listed rate was refused");
    auto planned = cwa::plan_read(options.request(path, rate));
    if (!planned) return 0;
    auto grid = cwa::read_recording(*planned, std::nullopt);
    if (!grid) return 0;
    fuzz::check_columns(*grid, planned->channels);
    if (grid->size() == 0) fuzz::finding("an empty grid returned as success");
    // Rows keep a tenth of the row spacing apart and stay inside the range.
    const auto& times = grid->timestamps_us;
    const double spacing_us = 1e6 / rate;
    for (std::size_t k = 1; k < times.size(); ++k) {
        if (static_cast<double>(times[k] - times[k - 1]) < spacing_us * 0.9) fuzz::finding("grid rows out of order");
    }
    const std::optional<double> range_end = planned->plan.range_end_time;
    if (range_end && cwa::us_to_seconds(times[times.size() - 1]) >= *range_end + 1e-6) {
        fuzz::finding("grid row after the range end");
    }
    return 0;
}
