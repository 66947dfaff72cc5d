// The module's operations, each from plain arguments to a finished result: the Python boundary
// and every fuzz target call these and nothing below them, so what is fuzzed is what users run.
// A read is planned first and run second: the caller may have checks of its own in between
// (the boundary resolves the time zone there), and their errors then follow those of the plan.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cwa/cut.hpp"
#include "cwa/datetime.hpp"
#include "cwa/error.hpp"
#include "cwa/data_timing.hpp"
#include "cwa/header.hpp"
#include "cwa/plan.hpp"
#include "cwa/data_result.hpp"

namespace cwa {

// A read as the caller asks for it.
struct ReadRequest {
    std::string path;
    CutConfig cut{WholeFileCut{}};
    ChannelSelection channels{};
    std::optional<double> resample_hz;
    std::string resample_method = "cubic";
};

// A request whose cut and rate passed their checks, with the blocks and time range it covers.
struct PlannedRead {
    std::string path;
    ChannelSelection channels;
    std::optional<double> resample_hz;  // validated; nothing for the samples as recorded
    ReadPlan plan;
};

// Checks the cut, then the rate (both refused as invalid arguments), then plans the blocks,
// in that order, so each caller sees the first error a user would expect.
Result<PlannedRead> plan_read(ReadRequest request);

// The planned read's columns: resampled onto a regular grid when a rate is given, else every
// sample in the time range. `utc_offset_us`, when given, is subtracted from every timestamp.
Result<CwaDataResult> read_recording(const PlannedRead& read, std::optional<std::int64_t> utc_offset_us);

// The planned read written to a CSV file, the offset subtracted from every timestamp (0 for
// none). A read without a rate or a time range streams block by block; the others are read
// whole first, so the output is created only once the read has succeeded.
Status export_csv(const PlannedRead& read, const std::string& output_path, std::int64_t utc_offset_us);

// The metadata block beside the timing that the packet headers show.
struct RecordingMetadata {
    CwaHeader header;
    DataTiming timing;
};

// The header is checked before any data block is read.
Result<RecordingMetadata> read_metadata(const std::string& path);

// Whether the samples span and rate agree with what the header claims.
struct SamplingReport {
    std::optional<DateTime> header_start;
    std::optional<DateTime> header_end;
    std::optional<double> header_duration_s;
    std::optional<std::int64_t> data_first_us;
    std::optional<std::int64_t> data_last_us;
    std::optional<double> data_duration_s;
    double header_rate_hz;
    std::optional<double> data_rate_hz;
};

Result<SamplingReport> sampling_consistency_report(const std::string& path);

}  // namespace cwa
