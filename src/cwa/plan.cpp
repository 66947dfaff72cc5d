#include "cwa/plan.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "cwa/cursor.hpp"
#include "cwa/timing.hpp"

namespace cwa {

namespace {

struct BlockTimeSpan {
    double start_s;  // after the continuity rule
    double end_s;    // natural end, never corrected
    std::size_t block_index;
};

Result<std::vector<BlockTimeSpan>> collect_block_spans(const std::string& path) {
    CWA_TRY(checked, open_checked_cwa(path));
    if (checked.data_block_count == 0) return fail("Start block is beyond file size");
    CWA_CHECK(checked.file.seek(metadata_size));
    std::vector<BlockTimeSpan> spans;
    std::optional<double> previous_end;
    SectorReader reader(checked.file, checked.data_block_count);
    for (std::size_t i = 0; i < checked.data_block_count; ++i) {
        CWA_TRY(sector, reader.next());
        if (!sector) return fail("Unexpected end of CWA data");
        CWA_TRY(meta, packet_meta(sector));
        if (!meta) continue;
        const auto [natural_start, natural_end] = meta->natural_bounds();
        spans.push_back({continuity_start(natural_start, previous_end), natural_end, i});
        previous_end = natural_end;
    }
    if (spans.empty()) return fail("No valid sample data found");
    return spans;
}

Result<ReadPlan> plan_seconds(const std::string& path, const SecondsCut& cut) {
    CWA_TRY(spans, collect_block_spans(path));
    // Cuts count from the first sample's time as the index shows it, truncated to whole
    // microseconds, so that seconds(0, ...) keeps the first sample.
    const double t0 = us_to_seconds(seconds_to_us(spans.front().start_s));
    const std::optional<double> a = cut.start ? std::optional(t0 + *cut.start) : std::nullopt;
    const std::optional<double> b = cut.end ? std::optional(t0 + *cut.end) : std::nullopt;

    const std::size_t m = spans.size();
    std::optional<std::size_t> first, last;
    if (a && b) {
        for (std::size_t k = 0; k < m; ++k) {
            if (*a >= spans[k].end_s) continue;
            if (spans[k].start_s >= *b) break;
            if (!first) first = k;
            last = k;
        }
    } else if (a) {
        for (std::size_t k = 0; k < m; ++k) {
            if (*a >= spans[k].end_s) continue;
            if (!first) first = k;
            last = k;
        }
    } else if (b) {
        if (spans[0].start_s < *b) {
            first = 0;
            last = m - 1;
            for (std::size_t j = 1; j < m; ++j) {
                if (spans[j].start_s >= *b) {
                    last = j - 1;
                    break;
                }
            }
        }
    } else {
        first = 0;
        last = m - 1;
    }
    if (!first) return fail("No samples remain after applying seconds cut");

    // One packet of support on each side, for the continuity chain and the resampler's cubic.
    const std::size_t f = *first == 0 ? 0 : *first - 1;
    const std::size_t l = std::min(*last + 1, m - 1);
    return ReadPlan{spans[f].block_index, spans[l].block_index - spans[f].block_index + 1, a, b};
}

}  // namespace

Result<ReadPlan> resolve_read_plan(const std::string& path, const CutConfig& cut) {
    CWA_CHECK(cut.validate());
    if (const auto* seconds = std::get_if<SecondsCut>(&cut.kind)) return plan_seconds(path, *seconds);
    if (const auto* blocks = std::get_if<BlocksCut>(&cut.kind)) {
        const std::size_t start = blocks->start.value_or(0);
        std::optional<std::size_t> count;
        if (blocks->end) count = *blocks->end - start;
        return ReadPlan{start, count, std::nullopt, std::nullopt};
    }
    return ReadPlan{};
}

Status check_time_range(std::optional<double> start, std::optional<double> end) {
    if ((start && !std::isfinite(*start)) || (end && !std::isfinite(*end))) {
        return fail("time range values must be finite");
    }
    if (start && end && *start >= *end) return fail("range_end_time must be greater than range_start_time");
    return {};
}

}  // namespace cwa
