#include "cwa/plan.hpp"

#include <algorithm>
#include <cmath>

#include "cwa/block_walker.hpp"
#include "cwa/timing.hpp"

namespace cwa {

namespace {

// The packet time spans of a seconds cut, taken in file order: the first and last packets
// that overlap the cut's range plus one packet on each side, chosen as the walk goes so that no list
// of every packet's span is kept.
class SpanSelector {
public:
    explicit SpanSelector(const SecondsCut& cut) : cut_(cut) {}

    // `start_s` after the continuity rule, `end_s` the natural end (spans are half-open).
    void add(double start_s, double end_s, std::size_t block_index) {
        if (count_ == 0) {
            // Cuts count from the first sample's time as the index shows it, truncated to
            // whole microseconds, so that seconds(0, ...) keeps the first sample.
            const double t0 = us_to_seconds(seconds_to_us(start_s));
            if (cut_.start) range_start_ = t0 + *cut_.start;
            if (cut_.end) range_end_ = t0 + *cut_.end;
        }
        if (last_ && count_ == last_index_ + 1) after_last_ = block_index;
        if (!stopped_) {
            if (range_start_ && *range_start_ >= end_s) {
                // ends at or before the range start
            } else if (range_end_ && start_s >= *range_end_) {
                stopped_ = true;
            } else {
                if (!first_) first_ = count_ == 0 ? block_index : previous_block_;
                last_ = block_index;
                last_index_ = count_;
                after_last_ = block_index;
            }
        }
        previous_block_ = block_index;
        ++count_;
    }

    bool saw_data() const { return count_ > 0; }
    std::optional<double> range_start() const { return range_start_; }
    std::optional<double> range_end() const { return range_end_; }

    // The widened (first block, last block), or nothing when no packet overlaps.
    std::optional<std::pair<std::size_t, std::size_t>> blocks() const {
        if (!first_) return std::nullopt;
        return std::pair(*first_, after_last_);
    }

private:
    SecondsCut cut_;
    // The cut as absolute times on the device clock, fixed by the first packet.
    std::optional<double> range_start_, range_end_;
    std::size_t count_ = 0;
    std::size_t previous_block_ = 0;
    std::optional<std::size_t> first_;  // block of the packet before the first overlap
    std::optional<std::size_t> last_;   // block of the last overlapping packet
    std::size_t last_index_ = 0;
    std::size_t after_last_ = 0;  // block of the packet after the last overlap, else the last
    bool stopped_ = false;
};

Result<ReadPlan> plan_seconds(const std::string& path, const SecondsCut& cut) {
    CWA_TRY(checked, open_checked_cwa(path));
    if (checked.data_block_count == 0) return fail("Start block is beyond file size");
    CWA_CHECK(checked.file.seek(metadata_size));

    SpanSelector selector(cut);
    std::optional<double> previous_end;
    // Every sector is read even once the range is covered: a damaged packet anywhere fails.
    SectorReader reader(checked.file, checked.data_block_count);
    for (std::size_t i = 0; i < checked.data_block_count; ++i) {
        CWA_TRY(sector, reader.next());
        if (!sector) return fail("Unexpected end of CWA data");
        CWA_TRY(meta, packet_meta(sector));
        if (!meta) continue;
        const auto [natural_start, natural_end] = meta->natural_bounds();
        selector.add(continuity_start(natural_start, natural_end, previous_end), natural_end, i);
        previous_end = natural_end;
    }
    if (!selector.saw_data()) return fail("No valid sample data found");
    const auto blocks = selector.blocks();
    if (!blocks) return fail("No samples remain after applying seconds cut");
    return ReadPlan{blocks->first, blocks->second - blocks->first + 1, selector.range_start(), selector.range_end()};
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
    // Bounds planned from a validated cut are always finite. The check is for other callers of
    // the filter and the resampled read, where a NaN bound would quietly disable the comparison.
    if ((start && !std::isfinite(*start)) || (end && !std::isfinite(*end))) {
        return fail("time range values must be finite");
    }
    if (start && end && *start >= *end) return fail("range_end_time must be greater than range_start_time");
    return {};
}

}  // namespace cwa
