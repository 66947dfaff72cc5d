#include "cwa/operations.hpp"

#include <utility>

#include "cwa/csv.hpp"
#include "cwa/read.hpp"
#include "cwa/resample_options.hpp"
#include "cwa/resampled_read.hpp"

namespace cwa {

Result<PlannedRead> plan_read(ReadRequest request) {
    CWA_CHECK(request.cut.validate());
    CWA_TRY(rate, parse_resample_options(request.resample_hz, request.resample_method));
    CWA_TRY(plan, resolve_read_plan(request.path, request.cut));
    return PlannedRead{std::move(request.path), request.channels, rate, plan};
}

namespace {

// The resampled road when a rate is given, else the plain road and the exact time filter.
Result<CwaDataResult> read_columns(const PlannedRead& read) {
    const ReadPlan& plan = read.plan;
    if (read.resample_hz) {
        return read_cwa_data_resampled_streaming(read.path, plan.start_block, plan.block_count, *read.resample_hz,
                                                 read.channels, plan.range_start_time, plan.range_end_time);
    }
    CWA_TRY(data, read_cwa_data(read.path, plan.start_block, plan.block_count, read.channels));
    return filter_data_by_time_range(std::move(data), plan.range_start_time, plan.range_end_time);
}

}  // namespace

Result<CwaDataResult> read_recording(const PlannedRead& read, std::optional<std::int64_t> utc_offset_us) {
    CWA_TRY(data, read_columns(read));
    if (utc_offset_us) apply_utc_offset(data.timestamps_us, *utc_offset_us);
    return data;
}

Status export_csv(const PlannedRead& read, const std::string& output_path, std::int64_t utc_offset_us) {
    const ReadPlan& plan = read.plan;
    CWA_CHECK(check_time_range(plan.range_start_time, plan.range_end_time));
    CWA_CHECK(check_output_is_not_input(read.path, output_path));
    if (!read.resample_hz && !plan.range_start_time && !plan.range_end_time) {
        return write_cwa_csv_data(read.path, output_path, plan.start_block, plan.block_count, read.channels,
                                  utc_offset_us);
    }
    CWA_TRY(data, read_columns(read));
    return write_data_result_csv(output_path, data, read.channels, utc_offset_us);
}

Result<RecordingMetadata> read_metadata(const std::string& path) {
    CWA_TRY(header, read_cwa_header(path));
    // The scan opens the file again.
    CWA_TRY(timing, scan_data_timing(path));
    return RecordingMetadata{std::move(header), timing};
}

Result<SamplingReport> sampling_consistency_report(const std::string& path) {
    CWA_TRY(read, read_metadata(path));
    const CwaHeader& header = read.header;
    const DataTiming& timing = read.timing;
    SamplingReport report{header.logging_start_time, header.logging_end_time, std::nullopt,
                          timing.first_sample_us,    timing.last_sample_us,   std::nullopt,
                          header.sample_rate_hz,     std::nullopt};
    if (header.logging_start_time && header.logging_end_time) {
        const std::int64_t seconds =
            epoch_seconds(*header.logging_end_time) - epoch_seconds(*header.logging_start_time);
        report.header_duration_s = static_cast<double>(seconds * 1000000) / 1000000.0;
    }
    if (timing.first_sample_us && timing.last_sample_us) {
        // Saturated extremes must not overflow the difference.
        const auto difference = static_cast<std::int64_t>(static_cast<std::uint64_t>(*timing.last_sample_us) -
                                                          static_cast<std::uint64_t>(*timing.first_sample_us));
        report.data_duration_s = static_cast<double>(difference) / 1000000.0;
    }
    if (report.data_duration_s && timing.sample_count >= 2 && *report.data_duration_s > 0.0) {
        report.data_rate_hz = static_cast<double>(timing.sample_count - 1) / *report.data_duration_s;
    }
    return report;
}

}  // namespace cwa
