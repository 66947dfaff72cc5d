// The window sums of a whole recording, read straight from its data blocks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cwa/error.hpp"
#include "window_sums.hpp"

namespace kelpmoor::activity {

// The runs of `window_sums` over every sample of the recording at `path`, in file order, with
// the samples, clock and temperature the reader gives (the same decoding and continuity rule
// as kelpmoor's reads), and each run summed whole. The recording is walked a data block at a
// time: memory holds one run's samples and the runs' statistics, never the recording. No run
// at all when it holds no sample; the reader's own error when it cannot be read.
struct RecordingRuns {
    Runs runs;
    std::optional<std::int64_t> first_time_us;   // the recording's first sample, as the reader times it
};
[[nodiscard]] cwa::Result<RecordingRuns> recording_window_sums(const std::string& path, std::int64_t width_us,
                                                               const Correction* correction, bool full);

}  // namespace kelpmoor::activity
