#include "recording_sums.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "cwa/block_walker.hpp"
#include "cwa/data_result.hpp"
#include "cwa/timing.hpp"

namespace kelpmoor::activity {

namespace {

// Samples waiting to be summed: blocks are decoded into these columns until about this many
// wait (a few hundred KiB, so they are summed while still in the processor's cache).
constexpr std::size_t batch_samples = std::size_t{1} << 14;

// The decoded columns of a stretch of the recording, front to back. Blocks are decoded in
// place, as the plain read decodes them into its columns: same functions, same bits.
class Pending {
public:
    Pending() { grow(batch_samples + cwa::max_block_samples); }

    cwa::Status append(const cwa::CwaDataBlock& block, std::optional<double>& previous_end) {
        const std::size_t m = block.sample_count;
        if (m > cwa::max_block_samples) cwa::internal_fault("validated packet capacity");
        if (size_ + m > time_.size()) grow(2 * (size_ + m));
        cwa::SampleColumns columns{};
        for (std::size_t a = 0; a < 3; ++a) columns.acc[a] = axis_[a].data() + size_;
        // A 6- or 9-axis block writes its gyroscope too; the first stage does not use it.
        for (std::size_t c = 0; c < 3; ++c) columns.gyro[c] = columns.mag[c] = unused_->at(c).data();
        CWA_CHECK(cwa::parse_samples(block, false, columns));
        CWA_CHECK(cwa::write_sample_timestamps(block, m, previous_end, time_.data() + size_));
        std::fill_n(celsius_.data() + size_, m, cwa::packet_aux(block).values[0]);
        size_ += m;
        return {};
    }

    std::size_t size() const { return size_; }

    Samples samples() const {
        return {{time_.data(), size_}, {axis_[0].data(), size_}, {axis_[1].data(), size_}, {axis_[2].data(), size_},
                {celsius_.data(), size_}};
    }

    // Forgets the first `count` samples, keeping the rest in order.
    void drop_front(std::size_t count) {
        const std::size_t rest = size_ - count;
        std::memmove(time_.data(), time_.data() + count, rest * sizeof(std::int64_t));
        for (auto* column : floats()) std::memmove(column->data(), column->data() + count, rest * sizeof(float));
        size_ = rest;
    }

private:
    void grow(std::size_t capacity) {
        time_.resize(capacity);
        for (auto* column : floats()) column->resize(capacity);
    }
    std::array<std::vector<float>*, 4> floats() { return {&axis_[0], &axis_[1], &axis_[2], &celsius_}; }

    std::size_t size_ = 0;
    std::vector<std::int64_t> time_;
    std::array<std::vector<float>, 3> axis_;
    std::vector<float> celsius_;
    std::unique_ptr<std::array<std::array<float, cwa::max_block_samples>, 3>> unused_ =
        std::make_unique<std::array<std::array<float, cwa::max_block_samples>, 3>>();
};

}  // namespace

cwa::Result<RecordingRuns> recording_window_sums(const std::string& path, std::int64_t width_us,
                                                 const Correction* correction, bool full) {
    RecordingRuns out;
    CWA_TRY(checked, cwa::open_checked_cwa(path));
    // A header alone holds no sample (a block range would refuse to start beyond it).
    if (checked.data_block_count == 0) return out;
    // The whole recording from its first data block: nothing before it to continue from.
    CWA_CHECK(checked.file.seek(cwa::data_block_offset(0)));
    cwa::DataBlockCursor cursor{std::move(checked.file), 0, checked.data_block_count, std::nullopt};
    cwa::BlockWalker walker(cursor);
    Pending pending;
    // A run longer than a batch (a wide window at a high rate) is summed once it ends: the
    // next attempt waits until the pending samples have doubled, so no run is scanned more
    // than a few times.
    std::size_t sum_at = batch_samples;
    for (;;) {
        CWA_TRY(block, walker.next_block());
        if (!block) break;
        CWA_CHECK(pending.append(*block, cursor.previous_end));
        if (!out.first_time_us) out.first_time_us = pending.samples().time_us.front();
        if (pending.size() < sum_at) continue;
        const std::size_t summed = append_window_sums(pending.samples(), width_us, correction, full, false, out.runs);
        pending.drop_front(summed);
        sum_at = std::max(batch_samples, 2 * pending.size());
    }
    append_window_sums(pending.samples(), width_us, correction, full, true, out.runs);
    return out;
}

}  // namespace kelpmoor::activity
