// Two checks of the resampler. First the row-at-a-time reference resampler, driven sample by
// sample, against values worked out by hand and an independent transcription of the
// interpolation rules. Then the module's batched resampler against that reference, bit for bit,
// over randomized sample streams, once per interpolation kernel this processor can run. Every
// value and every random stream is one comparison of the tally (check.hpp).
//
//     resampler_check [--cases N] [--seed S]     (defaults: a fixed-seed set of a few seconds)
#include "cwa/resample.hpp"

#include "cwa/cancel.hpp"

#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "reference_resampler.hpp"

namespace {

using StreamingResampler = reference::ReferenceResampler;
using reference::TimedSample;
using Opt = std::optional<double>;
constexpr float NA = std::numeric_limits<float>::quiet_NaN();
constexpr cwa::ChannelSelection ALL{true, true, true, true};
// One comparison of a named case: `ok`, or a failure that shows both values.
bool expect_value(bool ok, const char* name, const char* what, std::size_t row, double got, double want) {
    return check::expect(ok, "%s: %s row %zu: got %.17g want %.17g", name, what, row, got, want);
}

// acc = (x, -x, 1); aux = (x, -x, 0.5); gyro_x, gyro_y as given, the rest absent.
TimedSample sample(double t, float x, float gx = NA, float gy = NA) {
    return TimedSample{{x, -x, 1.0f}, {gx, gy, NA, NA, NA, NA}, {x, -x, 0.5f}, t};
}

struct Feed {
    StreamingResampler r;
    Feed(double hz, Opt start, Opt end, cwa::ChannelSelection sel = ALL) : r(hz, start, end, sel) {}
    Feed& push(const std::vector<TimedSample>& samples) {
        for (const auto& s : samples) r.push_sample(s);
        return *this;
    }
    Feed& drain() {
        r.emit_ready(true);
        return *this;
    }
    std::size_t rows() { return r.output().size(); }
};

bool same(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }
// Equal bits, or both NaN where the expectation is a missing or undefined value.
bool match(float got, float want) { return std::isnan(want) ? std::isnan(got) : same(got, want); }
const std::vector<float> CUBIC_ROWS{0, 0.25f, 0.5f, 0.75f, 1, 1.953125f, 3.375f, 5.359375f, 8, 12.75f, 17.5f, 22.25f, 27};

// Rows k = 0.. at base_us + first_us + k * step_us with acc_x = want[k]; checks the derived channels too.
void expect(const char* name, Feed& f, std::int64_t base_us, std::int64_t first_us, std::int64_t step_us,
            const std::vector<float>& want) {
    auto& out = f.r.output();
    if (out.size() != want.size()) {
        expect_value(false, name, "row count", 0, double(out.size()), double(want.size()));
        return;
    }
    for (std::size_t k = 0; k < want.size(); ++k) {
        const std::int64_t us = base_us + first_us + std::int64_t(k) * step_us;
        expect_value(out.timestamps_us[k] == us, name, "timestamp", k, double(out.timestamps_us[k]), double(us));
        expect_value(match(out.acc[0][k], want[k]), name, "acc_x", k, out.acc[0][k], want[k]);
        expect_value(match(out.acc[1][k], -want[k]), name, "acc_y", k, out.acc[1][k], -want[k]);
        expect_value(same(out.acc[2][k], 1.0f), name, "acc_z", k, out.acc[2][k], 1.0);
        if (out.aux[0]) expect_value(match((*out.aux[0])[k], want[k]), name, "temperature", k, (*out.aux[0])[k], want[k]);
        if (out.aux[2]) expect_value(same((*out.aux[2])[k], 0.5f), name, "battery", k, (*out.aux[2])[k], 0.5);
    }
}

// Optional channel c: absent column when want is empty, else NaN or a value per row.
void expect_sensor(const char* name, Feed& f, std::size_t c, const std::vector<float>& want) {
    auto& column = f.r.output().sensors[c];
    if (want.empty() || !column) {
        expect_value(want.empty() == !column, name, "sensor column present", c, bool(column), !want.empty());
        return;
    }
    if (!expect_value(column->size() == want.size(), name, "sensor length", c, double(column->size()), double(want.size()))) return;
    for (std::size_t k = 0; k < want.size(); ++k) {
        expect_value(match((*column)[k], want[k]), name, "sensor value", k, (*column)[k], want[k]);
    }
}

std::vector<TimedSample> cubic_at(double base) {
    return {sample(base, 0), sample(base + 1, 1), sample(base + 2, 8), sample(base + 3, 27)};
}

void worked_example() {
    for (double base : {0.0, 1686832496.0}) {
        const auto s = cubic_at(base);
        const std::int64_t base_us = std::int64_t(base) * 1000000;
        Feed f(4.0, std::nullopt, std::nullopt);
        f.push({s[0]});
        expect("one sample serves nothing", f, base_us, 0, 250000, {});
        f.push({s[1]});
        expect("first interval is linear and never waits", f, base_us, 0, 250000, {0, 0.25f, 0.5f, 0.75f, 1});
        f.push({s[2]});
        expect("interior row waits for its fourth sample", f, base_us, 0, 250000, {0, 0.25f, 0.5f, 0.75f, 1});
        f.push({s[3]});
        expect("interior rows are cubic", f, base_us, 0, 250000, {CUBIC_ROWS.begin(), CUBIC_ROWS.begin() + 9});
        f.drain();
        expect("last interval drained linearly", f, base_us, 0, 250000, CUBIC_ROWS);
        expect_sensor("no optional values, no column", f, 0, {});
        expect_value(!f.r.finished(), "no range end never finishes", "finished", 0, 1, 0);
    }
    Feed f(4.0, std::nullopt, std::nullopt, {true, false, false, false});
    f.push(cubic_at(0)).drain();
    for (const auto& aux : f.r.output().aux)
        expect_value(!aux, "unselected auxiliary columns", "present", 0, 1, 0);
}

void ranges() {
    Feed before(4.0, -0.5, std::nullopt);
    before.push(cubic_at(0)).drain();
    expect("range start before first sample", before, 0, 0, 250000, CUBIC_ROWS);
    Feed later(4.0, 1.25, std::nullopt);
    later.push(cubic_at(0)).drain();
    expect("earlier sample is cubic support only", later, 0, 1250000, 250000, {CUBIC_ROWS.begin() + 5, CUBIC_ROWS.end()});
    Feed half(4.0, 0.5, std::nullopt);
    half.push(cubic_at(0)).drain();
    expect("range start inside the first interval", half, 0, 500000, 250000, {CUBIC_ROWS.begin() + 2, CUBIC_ROWS.end()});
    Feed end(4.0, std::nullopt, 2.0);
    const auto s = cubic_at(0);
    end.push({s[0], s[1], s[2]});
    expect_value(!end.r.finished(), "range end not reached yet", "finished", 0, 1, 0);
    end.push({s[3]});
    expect_value(end.r.finished(), "grid reached the range end", "finished", 0, 0, 1);
    end.drain();
    expect("range end exclusive", end, 0, 0, 250000, {CUBIC_ROWS.begin(), CUBIC_ROWS.begin() + 8});
    Feed narrow(4.0, 1.5, 1.6);
    narrow.push(cubic_at(0)).drain();
    expect("range shorter than a step", narrow, 0, 1500000, 250000, {3.375f});
}

void optional_channels() {
    // gyro_x present only on the first sample, gyro_y only on the second, gyro_z never.
    Feed hits(4.0, std::nullopt, std::nullopt);
    hits.push({sample(0, 0, 5, NA), sample(1, 1, NA, 7), sample(2, 8), sample(3, 27)}).drain();
    std::vector<float> gx(13, NA), gy(13, NA);
    gx[0] = 5;  // exact hit on the earlier sample, although the linear formula would give NaN
    gy[4] = 7;  // exact hit on the later sample of the pair
    expect_sensor("exact hit takes the earlier sample", hits, 0, gx);
    expect_sensor("exact hit takes the later sample", hits, 1, gy);
    expect_sensor("never present", hits, 2, {});
    // gyro_x present only at t = 1.1, which no grid point hits: every row is NaN, no column.
    Feed between(4.0, std::nullopt, std::nullopt);
    between.push({sample(0, 0), sample(1.1, 1, 3), sample(2, 8), sample(3, 27)}).drain();
    expect_sensor("one-sided value creates no column", between, 0, {});
    // A missing neighbour rules out the cubic and falls back to the linear pair.
    Feed nan(2.0, std::nullopt, std::nullopt);
    nan.push({sample(0, NA, 0), sample(1, 1, 1), sample(2, 8, 8), sample(3, 27, NA), sample(4, 64, NA)}).drain();
    expect("NaN neighbour rules out the cubic", nan, 0, 0, 500000, {NA, NA, NA, 4.5f, 8, 15.625f, 27, 45.5f, 64});
    expect_sensor("gyro cubic ruled out by absent fourth sample", nan, 0, {0, 0.5f, 1, 4.5f, 8, NA, NA, NA, NA});
}

void equal_times() {
    Feed first(4.0, std::nullopt, std::nullopt);
    first.push({sample(1, 100, 9), sample(1, 200, 10), sample(2, 8), sample(3, 27)}).drain();
    expect("equal bracketing times give the earlier sample", first, 1000000, 0, 250000,
           {100, 152, 104, 56, 8, 12.75f, 17.5f, 22.25f, 27});
    expect_sensor("equal times, exact hit on the earlier", first, 0, {9, NA, NA, NA, NA, NA, NA, NA, NA});
    Feed pair(2.0, std::nullopt, std::nullopt);
    pair.push({sample(0, 0), sample(1, 1), sample(2, 8), sample(2, 50), sample(3, 27)}).drain();
    expect("zero denominator rules out the cubic", pair, 0, 0, 500000, {0, 0.5f, 1, 4.5f, 8, 38.5f, 27});
    // Times closer than 1e-12 take the earlier value as it is, even beside a NaN.
    Feed close(4.0, std::nullopt, std::nullopt);
    close.push({sample(1, 5), sample(1 + 1e-13, NA), sample(2, 8), sample(3, 27)}).drain();
    expect_value(close.rows() > 0 && same(close.r.output().acc[0][0], 5), "near-equal times", "acc_x", 0, close.rows() ? close.r.output().acc[0][0] : -1, 5);
}

// Independent transcription: bracketing pair by global search, cubic only with a sample on each side.
float reference(double b, const std::vector<double>& t, const std::vector<float>& y) {
    std::size_t i = 0;
    while (i + 2 < t.size() && b > t[i + 1]) ++i;
    const double t1 = t[i], t2 = t[i + 1], y1 = y[i], y2 = y[i + 1];
    if (i >= 1 && i + 2 < t.size()) {
        const double tt[4] = {t[i - 1], t1, t2, t[i + 2]}, yy[4] = {y[i - 1], y1, y2, y[i + 2]};
        double term[4];
        bool ok = true;
        for (int j = 0; j < 4; ++j) {
            double d = 1, n = 1;
            for (int m = 0; m < 4; ++m)
                if (m != j) d *= tt[j] - tt[m], n *= b - tt[m];
            ok = ok && std::fabs(d) >= 1e-12 && !std::isnan(yy[j]);
            term[j] = (n / d) * yy[j];
        }
        if (ok) return float(((term[0] + term[1]) + term[2]) + term[3]);
    }
    return float(std::fabs(t2 - t1) < 1e-12 ? y1 : y1 + ((b - t1) / (t2 - t1)) * (y2 - y1));
}

// Every grid point from the first sample up to the last one, and none after it.
void against_reference(const char* name, const std::vector<double>& t, const std::vector<float>& y, double hz) {
    Feed f(hz, std::nullopt, std::nullopt);
    for (std::size_t j = 0; j < t.size(); ++j) f.push({sample(t[j], y[j])});
    f.drain();
    auto& out = f.r.output();
    std::size_t k = 0;
    for (;; ++k) {
        const double b = (double(k) * (1000.0 / hz) + t[0] * 1000.0) / 1000.0;
        if (b > t.back()) break;
        if (!expect_value(k < out.size(), name, "missing row", k, 0, b)) return;
        expect_value(out.timestamps_us[k] == std::int64_t(b * 1e6), name, "timestamp", k, double(out.timestamps_us[k]), b * 1e6);
        const float want = reference(b, t, y);
        expect_value(match(out.acc[0][k], want), name, "acc_x", k, out.acc[0][k], want);
    }
    expect_value(out.size() == k, name, "row count", 0, double(out.size()), double(k));
}

}  // namespace

namespace {

// One randomized stream: decoded blocks as the read would hand them over, and the read's settings.
struct Stream {
    std::vector<cwa::DecodedBlock> blocks;
    double hz;
    std::optional<double> start, end;
    cwa::ChannelSelection channels;
};

class StreamMaker {
public:
    explicit StreamMaker(std::uint64_t seed) : rng_(seed) {}

    Stream make() {
        Stream s;
        s.channels = {coin(0.5), coin(0.7), coin(0.5), coin(0.5)};
        static constexpr double rates[] = {1, 6.25, 12.5, 25, 50, 100, 200, 400, 800, 1600, 3200};
        const double data_hz = rates[pick(std::size(rates))];
        // Grids coarser and finer than the data, near-equal rates, and arbitrary ones.
        static constexpr double ratios[] = {0.01, 0.3, 1.0 / 3.0, 0.999, 1.0, 1.0001, 2.0, 3.7, 10.0, 97.0};
        s.hz = std::min(10000.0, coin(0.2) ? uniform(0.05, 10000.0) : data_hz * ratios[pick(std::size(ratios))]);
        const double period_us = 1e6 / data_hz;
        // Time from the epoch, from a recent day, near zero, or just below 2^52 us, where times
        // stop converting to doubles through the exact shortcut and stamps take the careful path.
        const int base_kind = static_cast<int>(pick(4));
        std::int64_t t = base_kind == 0   ? 0
                         : base_kind == 1 ? 1709542800000000 + static_cast<std::int64_t>(pick(1000000))
                         : base_kind == 2 ? static_cast<std::int64_t>(pick(5000000))
                                          : (std::int64_t{1} << 52) - static_cast<std::int64_t>(pick(3000000));
        const double jitter = coin(0.5) ? 0.0 : coin(0.5) ? 0.02 : 0.45;
        // Some streams jump about and switch layouts often, so that the range end, channels
        // appearing and samples after the end meet; some carry values whose cubic is mostly
        // rounding residue, so that any other order of the operations shows in the bits.
        const double chaos = coin(0.2) ? 4.0 : 1.0;
        cancelling_ = coin(0.15);
        // Gaps short enough that the grid through them stays a few thousand rows.
        const double gap_limit_us = std::max(period_us * 3, 800.0 / s.hz * 1e6);
        const std::size_t blocks = 1 + pick(coin(0.3) ? 12 : 5);
        int kind = static_cast<int>(pick(3));
        std::size_t total = 0;
        for (std::size_t k = 0; k < blocks; ++k) {
            if (coin(0.25 * chaos)) kind = static_cast<int>(pick(3));  // channels appear and vanish
            cwa::DecodedBlock block{};
            block.count = coin(0.2) ? 1 + pick(cwa::max_block_samples) : 1 + pick(coin(0.5) ? 4 : 40);
            for (std::size_t j = 0; j < block.count; ++j) {
                const double u = uniform(0.0, 1.0);
                std::int64_t step = static_cast<std::int64_t>(period_us * (1.0 + jitter * uniform(-1.0, 1.0)));
                if (u < 0.03) step = 0;                                                         // duplicated time
                else if (u < 0.05) step = 1;                                                    // one microsecond
                else if (u < 0.05 + 0.02 * chaos) step = -static_cast<std::int64_t>(uniform(0.0, 5.0) * period_us);
                else if (u < 0.07 + 0.02 * chaos) step = static_cast<std::int64_t>(uniform(1.0, gap_limit_us));
                t += (total == 0 ? 0 : step);
                block.timestamps_us[j] = t;
                ++total;
            }
            const bool nan_acc = coin(0.05);
            for (std::size_t a = 0; a < 3; ++a) {
                for (std::size_t j = 0; j < block.count; ++j) block.acc[a][j] = value(nan_acc);
            }
            const bool gyro = kind >= 1, mag = kind == 2 && s.channels.include_magnetometer;
            block.carries_sensors = gyro || mag;
            for (std::size_t c = 0; c < cwa::sensor_channel_count; ++c) {
                const bool written = c < 3 ? gyro : mag;
                for (std::size_t j = 0; j < block.count; ++j) block.sensors[c][j] = written ? value(false) : cwa::missing_value;
            }
            for (auto& aux : block.aux.values) aux = coin(0.1) ? value(false) : static_cast<float>(pick(1024)) / 8.0f;
            s.blocks.push_back(block);
        }
        // Range bounds before, inside and after the data, on sample times and between them.
        const double first = cwa::us_to_seconds(s.blocks.front().timestamps_us[0]);
        const auto& last_block = s.blocks.back();
        const double last = cwa::us_to_seconds(last_block.timestamps_us[last_block.count - 1]);
        auto bound = [&] {
            const std::size_t which = pick(4);
            if (which == 0) return first + uniform(-2.0, 0.0);
            if (which == 1) {
                const auto& b = s.blocks[pick(s.blocks.size())];
                return cwa::us_to_seconds(b.timestamps_us[pick(b.count)]);
            }
            return first + uniform(0.0, 1.2) * (std::max(last, first + 1e-3) - first);
        };
        if (coin(0.4)) s.start = bound();
        if (coin(0.4)) s.end = bound();
        if (s.start && s.end && *s.start >= *s.end) std::swap(s.start, s.end);
        if (s.start && s.end && *s.start >= *s.end) s.end.reset();
        return s;
    }

private:
    bool coin(double p) { return uniform(0.0, 1.0) < p; }
    std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
    float value(bool may_be_nan) {
        const double u = uniform(0.0, 1.0);
        if (may_be_nan && u < 0.3) return cwa::missing_value;
        if (cancelling_) return (pick(2) ? 1e30f : -1e30f) * (1.0f + static_cast<float>(pick(64)) * 0x1p-20f);
        if (u < 0.04) return 0.0f;
        if (u < 0.05) return -0.0f;
        if (u < 0.1) return pick(2) ? 1e30f : -1e30f;
        return static_cast<float>(static_cast<int>(pick(40001)) - 20000) / 2048.0f;
    }
    std::mt19937_64 rng_;
    bool cancelling_ = false;
};

// Two samples 10 ms apart at `start_s`, as one decoded 3-axis block.
cwa::DecodedBlock pair_at(double start_s) {
    cwa::DecodedBlock block{};
    block.count = 2;
    for (std::size_t j = 0; j < 2; ++j) {
        block.timestamps_us[j] = static_cast<std::int64_t>(start_s * 1e6) + static_cast<std::int64_t>(j) * 10000;
        for (auto& axis : block.acc) axis[j] = 1.0f;
        for (auto& channel : block.sensors) channel[j] = cwa::missing_value;
    }
    return block;
}

// A clock jump makes the grid run through the gap: past the memory budget the read stops with
// an error that says so, and a cancellation request stops it within a few million rows.
void long_gaps() {
    constexpr cwa::ChannelSelection acc_only{false, false, false, false};
    cwa::StreamingResampler bounded(100.0, std::nullopt, std::nullopt, acc_only, 1u << 20);
    expect_value(bounded.push_block(pair_at(1e9)).has_value(), "memory budget", "first block refused", 0, 0, 0);
    const auto refused = bounded.push_block(pair_at(1e9 + 1e6));
    const std::string text = refused ? "" : refused.error().display();
    check::expect(!refused && refused.error().kind() == cwa::CwaError::Kind::OutOfMemory &&
                      text.starts_with("resampled grid reached ") && text.contains(" rows covering ") &&
                      text.contains("a clock jump in the recording") && bounded.output().size() * 20 <= (1u << 20),
                  "memory budget: %s, %zu rows", text.c_str(), bounded.output().size());

    static int polls = 0;
    cwa::CancelScope scope([]() noexcept { return ++polls >= 1; });
    cwa::StreamingResampler cancelled(10000.0, std::nullopt, std::nullopt, acc_only);
    expect_value(cancelled.push_block(pair_at(1e9)).has_value(), "cancellation", "first block refused", 0, 0, 0);
    const auto stopped = cancelled.push_block(pair_at(1e9 + 1e6));
    check::expect(!stopped && stopped.error().kind() == cwa::CwaError::Kind::Cancelled && polls == 1 &&
                      cancelled.output().size() <= (1u << 23),
                  "cancellation in a gap: %zu rows, %d polls", cancelled.output().size(), polls);
}

// The module's resampler fed block by block, as the resampled read feeds it.
std::optional<cwa::CwaDataResult> batched_read(const Stream& s) {
    cwa::StreamingResampler resampler(s.hz, s.start, s.end, s.channels);
    for (const auto& block : s.blocks) {
        const auto stop = resampler.push_block(block);
        if (!stop) return std::nullopt;
        if (*stop) break;
    }
    if (!resampler.finish()) return std::nullopt;
    if (resampler.output().size() == 0) return std::nullopt;
    return std::move(resampler.output());
}

bool same_column(const cwa::FloatColumn& a, const cwa::FloatColumn& b) {
    return a.size() == b.size() && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}
bool same_optional(const cwa::OptionalColumn& a, const cwa::OptionalColumn& b) {
    return a.has_value() == b.has_value() && (!a || same_column(*a, *b));
}

// Where two results differ first, or nothing when they are the same to the bit.
std::optional<std::string> difference(const std::optional<cwa::CwaDataResult>& got,
                                      const std::optional<cwa::CwaDataResult>& want) {
    if (!got || !want) {
        if (got.has_value() == want.has_value()) return std::nullopt;
        return std::string(got ? "rows where the reference has none" : "no rows where the reference has some");
    }
    if (got->size() != want->size()) return "row count " + std::to_string(got->size()) + " vs " + std::to_string(want->size());
    for (std::size_t k = 0; k < got->size(); ++k) {
        if (got->timestamps_us[k] != want->timestamps_us[k]) return "timestamp of row " + std::to_string(k);
    }
    for (std::size_t a = 0; a < 3; ++a) {
        if (!same_column(got->acc[a], want->acc[a])) return std::string(cwa::acc_channel_names[a]);
    }
    for (std::size_t c = 0; c < cwa::sensor_channel_count; ++c) {
        if (!same_optional(got->sensors[c], want->sensors[c])) return std::string(cwa::sensor_channel_names[c]);
    }
    for (std::size_t c = 0; c < cwa::aux_channel_count; ++c) {
        if (!same_optional(got->aux[c], want->aux[c])) return std::string(cwa::aux_channel_names[c]);
    }
    return std::nullopt;
}

void compare_random_streams(const cwa::ResampleKernel& kernel, std::uint64_t cases, std::uint64_t seed) {
    cwa::use_resample_kernel(kernel);
    StreamMaker maker(seed);
    const std::uint64_t failed_before = check::tally.failed;
    std::uint64_t rows = 0;
    for (std::uint64_t n = 0; n < cases; ++n) {
        const Stream s = maker.make();
        const auto want = reference::reference_resampled_read(s.blocks, s.hz, s.start, s.end, s.channels);
        const auto got = batched_read(s);
        rows += want ? want->size() : 0;
        const auto where = difference(got, want);
        check::expect(!where, "kernel %s, case %" PRIu64 " (seed %" PRIu64 "): %s", kernel.name, n, seed,
                      where ? where->c_str() : "");
    }
    std::printf("kernel %s: random streams: %" PRIu64 " cases, %" PRIu64 " reference rows, %" PRIu64 " mismatches\n",
                kernel.name, cases, rows, check::tally.failed - failed_before);
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t cases = 2000, seed = 20240304;
    for (int a = 1; a + 1 < argc; a += 2) {
        if (std::strcmp(argv[a], "--cases") == 0) cases = std::strtoull(argv[a + 1], nullptr, 10);
        if (std::strcmp(argv[a], "--seed") == 0) seed = std::strtoull(argv[a + 1], nullptr, 10);
    }
    worked_example();
    ranges();
    optional_channels();
    equal_times();
    against_reference("irregular times", {1686832496.0, 1686832496.3, 1686832497.1, 1686832497.7, 1686832498.0, 1686832498.9},
                      {1.5f, -2.25f, 3.1f, 0.7f, 5.5f, -1.0f}, 7.0);
    // Jittered 100 Hz times and pseudo-random values, every fifth value missing (linear fallback).
    std::vector<double> t;
    std::vector<float> y;
    std::uint32_t state = 12345;
    auto next = [&] { return (state = state * 1664525u + 1013904223u) >> 8; };
    for (int j = 0; j < 80; ++j) {
        t.push_back(1686832496.0 + j * 0.01 + (next() % 1000) * 1e-6);
        y.push_back(j % 5 == 3 ? NA : float(int(next() % 20001) - 10000) / 256.0f);
    }
    against_reference("jittered times", t, y, 997.0);
    // Alternating values whose cubic vanishes halfway: the row is pure rounding residue, so any
    // other order of the operations shows up in the float bits.
    t.clear();
    y.clear();
    for (int j = 0; j < 12; ++j) t.push_back(1.0 + j * 0.1), y.push_back(j % 2 ? -1e30f : 1e30f);
    against_reference("cancelling values", t, y, 20.0);
    against_reference("cancelling values, fine grid", t, y, 997.0);
    against_reference("no row after the last sample", {0, 1, 2, 3.2}, {0, 1, 8, 27}, 4.0);
    long_gaps();
    // The kernels are held to the reference only once the reference itself is right.
    if (check::tally.failed == 0) {
        for (const cwa::ResampleKernel& kernel : cwa::resample_kernels()) {
            if (kernel.supported()) {
                compare_random_streams(kernel, cases, seed);
            } else {
                std::printf("kernel %s: not supported here\n", kernel.name);
            }
        }
    }
    return check::summary("resampler");
}
