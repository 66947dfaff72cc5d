// Drives cwa::StreamingResampler sample by sample and compares every emitted row (timestamp,
// float bits of each channel, presence of optional channels) with values worked out by hand or
// by an independent transcription of the interpolation rules. Prints each mismatch; exits 1 if any.
#include "cwa/resample.hpp"

#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <vector>

namespace {

using cwa::StreamingResampler;
using cwa::TimedSample;
using Opt = std::optional<double>;
constexpr float NA = std::numeric_limits<float>::quiet_NaN();
constexpr cwa::ChannelSelection ALL{true, true, true, true};
int failures = 0;

void fail(const char* name, const char* what, std::size_t row, double got, double want) {
    ++failures;
    std::printf("FAIL %s: %s row %zu: got %.17g want %.17g\n", name, what, row, got, want);
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
        fail(name, "row count", 0, double(out.size()), double(want.size()));
        return;
    }
    for (std::size_t k = 0; k < want.size(); ++k) {
        const std::int64_t us = base_us + first_us + std::int64_t(k) * step_us;
        if (out.timestamps_us[k] != us) fail(name, "timestamp", k, double(out.timestamps_us[k]), double(us));
        if (!match(out.acc[0][k], want[k])) fail(name, "acc_x", k, out.acc[0][k], want[k]);
        if (!match(out.acc[1][k], -want[k])) fail(name, "acc_y", k, out.acc[1][k], -want[k]);
        if (!same(out.acc[2][k], 1.0f)) fail(name, "acc_z", k, out.acc[2][k], 1.0);
        if (out.aux[0] && !match((*out.aux[0])[k], want[k])) fail(name, "temperature", k, (*out.aux[0])[k], want[k]);
        if (out.aux[2] && !same((*out.aux[2])[k], 0.5f)) fail(name, "battery", k, (*out.aux[2])[k], 0.5);
    }
}

// Optional channel c: absent column when want is empty, else NaN or a value per row.
void expect_sensor(const char* name, Feed& f, std::size_t c, const std::vector<float>& want) {
    auto& column = f.r.output().sensors[c];
    if (want.empty() || !column) {
        if (want.empty() != !column) fail(name, "sensor column present", c, bool(column), !want.empty());
        return;
    }
    if (column->size() != want.size()) return fail(name, "sensor length", c, double(column->size()), double(want.size()));
    for (std::size_t k = 0; k < want.size(); ++k) {
        if (!match((*column)[k], want[k])) fail(name, "sensor value", k, (*column)[k], want[k]);
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
        if (f.r.finished()) fail("no range end never finishes", "finished", 0, 1, 0);
    }
    Feed f(4.0, std::nullopt, std::nullopt, {true, false, false, false});
    f.push(cubic_at(0)).drain();
    for (const auto& aux : f.r.output().aux)
        if (aux) fail("unselected auxiliary columns", "present", 0, 1, 0);
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
    if (end.r.finished()) fail("range end not reached yet", "finished", 0, 1, 0);
    end.push({s[3]});
    if (!end.r.finished()) fail("grid reached the range end", "finished", 0, 0, 1);
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
    if (close.rows() == 0 || !same(close.r.output().acc[0][0], 5)) fail("near-equal times", "acc_x", 0, close.rows() ? close.r.output().acc[0][0] : -1, 5);
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
        if (k >= out.size()) return fail(name, "missing row", k, 0, b);
        if (out.timestamps_us[k] != std::int64_t(b * 1e6)) fail(name, "timestamp", k, double(out.timestamps_us[k]), b * 1e6);
        const float want = reference(b, t, y);
        if (!match(out.acc[0][k], want)) fail(name, "acc_x", k, out.acc[0][k], want);
    }
    if (out.size() != k) fail(name, "row count", 0, double(out.size()), double(k));
}

}  // namespace

int main() {
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
    if (failures) return 1;
    std::puts("resampler: all rows match");
    return 0;
}
