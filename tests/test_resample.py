import datetime as dt
import math
import random

import numpy as np
import pytest

import cwa_builder as cb
import kelpmoor

f32 = np.float32
NAN = math.nan
T = cb.epoch_of_packed(cb.packed_time(2023, 6, 15, 12, 34, 0))
AUX = ["temperature", "light", "battery"]
SENSORS = ["gyro_x", "gyro_y", "gyro_z", "mag_x", "mag_y", "mag_z"]


def packet(second, acc, gyro=None, packed=False, **kw):
    """(data_block kwargs, acc rows, gyro rows) of one packet at T + second."""
    if packed:
        data, fmt = cb.packed3([(x, y, z, 0) for x, y, z in acc]), 0x30
    elif gyro:
        data, fmt = cb.unpacked([tuple(g) + tuple(a) for g, a in zip(gyro, acc)]), 0x62
    else:
        data, fmt = cb.unpacked(acc), 0x32
    return dict(timestamp=cb.packed_time(2023, 6, 15, 12, 34, second), fmt=fmt, samples=data, **kw), acc, gyro


def samples(packets):
    """(time_s, acc, sensors, aux) of every recorded sample, as the resampler receives them."""
    times = iter(cb.timeline([p[0] for p in packets]).times_us)
    out = []
    for kw, acc, gyro in packets:
        aux = [float(v) for v in cb.aux_values(kw.get("light", 0), kw.get("temperature", 0), kw.get("battery", 0))]
        for j, a in enumerate(acc):
            g = [float(f32(v) / f32(16.384)) for v in gyro[j]] if gyro else [NAN] * 3
            out.append((next(times) / 1e6, [float(f32(v) / f32(256)) for v in a], g + [NAN] * 3, aux))
    return out


def interpolate(b, i, times, ys, optional=False):
    t1, t2, y1, y2 = times[i], times[i + 1], ys[i], ys[i + 1]
    if optional and b in (t1, t2):
        return y1 if b == t1 else y2
    if 1 <= i < len(times) - 2:
        tt, yy = times[i - 1:i + 3], ys[i - 1:i + 3]
        weights = []
        for j in range(4):
            d = n = 1.0
            for m in range(4):
                if m != j:
                    d *= tt[j] - tt[m]
                    n *= b - tt[m]
            weights.append(None if abs(d) < 1e-12 else n / d)
        if None not in weights and not any(math.isnan(y) for y in yy):
            return f32((((weights[0] * yy[0]) + (weights[1] * yy[1])) + (weights[2] * yy[2])) + (weights[3] * yy[3]))
    return f32(y1 if abs(t2 - t1) < 1e-12 else y1 + ((b - t1) / (t2 - t1)) * (y2 - y1))


def expected(recorded, hz, start=None, end=None, aux=(True, True, True)):
    """Index microseconds and columns of a resampled read of these samples."""
    times = [s[0] for s in recorded]
    if start is not None and start > times[0]:
        origin = start * 1000.0
    else:  # grid point 0 at, never below, the first sample
        origin = times[0] * 1000.0
        while origin / 1000.0 < times[0]:
            origin = math.nextafter(origin, math.inf)
    grid, k = [], 0
    while True:
        b = (k * (1000.0 / hz) + origin) / 1000.0
        if b > times[-1] or (end is not None and b >= end):
            break
        i = 0
        while i + 2 < len(times) and b > times[i + 1]:
            i += 1
        grid.append((b, i))
        k += 1
    cols = {}
    for c, name in enumerate(["acc_x", "acc_y", "acc_z"]):
        cols[name] = [interpolate(b, i, times, [s[1][c] for s in recorded]) for b, i in grid]
    in_range = [s for s in recorded if (start is None or s[0] >= start) and (end is None or s[0] < end)]
    for c, name in enumerate(SENSORS):
        vals = [interpolate(b, i, times, [s[2][c] for s in recorded], True) for b, i in grid]
        if any(not math.isnan(s[2][c]) for s in in_range) or not all(math.isnan(v) for v in vals):
            cols[name] = vals
    for c, name in enumerate(AUX):
        if aux[c]:
            cols[name] = [interpolate(b, i, times, [s[3][c] for s in recorded]) for b, i in grid]
    return [cb.f64_to_i64(b * 1e6) for b, _ in grid], cols


def check(df, index_us, cols):
    assert df.index.name == "timestamp" and str(df.index.dtype) == "datetime64[us]"
    assert cb.index_us(df) == index_us
    assert list(df.columns) == list(cols)
    for name, values in cols.items():
        assert df[name].dtype == np.float32
        assert cb.f32_bits(df[name]) == cb.f32_bits(values), name


def noise(n, seed, low=-512, high=511):
    rng = random.Random(seed)
    return [(rng.randint(low, high), rng.randint(low, high), rng.randint(low, high)) for _ in range(n)]


# 100 Hz packed packets of exactly one second each, with changing auxiliary readings
SECONDS = [packet(s, noise(100, s), packed=True, sample_count=100, temperature=300 + 7 * s, battery=180 - s)
           for s in range(3)]


@pytest.mark.parametrize(("hz", "method", "message"), [
    (0.0, "cubic", "resample_hz must be a finite value > 0"),
    (-0.0, "cubic", "resample_hz must be a finite value > 0"),
    (-5.0, "Cubic", "resample_hz must be a finite value > 0"),
    (math.nan, "cubic", "resample_hz must be a finite value > 0"),
    (math.inf, "cubic", "resample_hz must be a finite value > 0"),
    (10000.5, "Cubic", "resample_hz must be <= 10000"),
    (50.0, "Cubic", "Unsupported resample_method 'Cubic'. Supported: cubic"),
    (50.0, " cubic", "Unsupported resample_method ' cubic'. Supported: cubic"),
])
def test_resample_options_rejected_before_the_file_is_opened(tmp_path, hz, method, message):
    with pytest.raises(ValueError) as err:
        kelpmoor.read_cwa_file(str(tmp_path / "missing.cwa"), resample_hz=hz, resample_method=method)
    assert str(err.value) == message


def test_method_ignored_without_rate_and_10000_hz_accepted(make_cwa):
    path = make_cwa([SECONDS[0][0]])
    assert len(kelpmoor.read_cwa_file(path, resample_method="Cubic")) == 100
    assert cb.index_us(kelpmoor.read_cwa_file(path, resample_hz=1e-300)) == [T * 1000000]  # one row, then far past
    first = [packet(0, noise(4, 9), sample_count=4)]
    check(kelpmoor.read_cwa_file(make_cwa([first[0][0]]), resample_hz=10000), *expected(samples(first), 10000))


def test_downsampling_to_one_hz(make_cwa):
    # 120-sample packets each second: every packet overlaps the next and is joined, shrinking its spacing
    packets = [packet(s, noise(120, 10 + s), packed=True) for s in range(4)]
    df = kelpmoor.read_cwa_file(make_cwa([p[0] for p in packets]), resample_hz=1)
    index, cols = expected(samples(packets), 1)
    assert index == [(T + k) * 1000000 for k in range(5)]
    check(df, index, cols)
    assert df["acc_x"].iloc[0] == f32(packets[0][1][0][0]) / f32(256)


def test_upsampling_one_sample_packets(make_cwa):
    # one sample every 2 s with acc_x = u**3 g at u = 0..4: cubic in time
    packets = [packet(2 * u, [(256 * u ** 3, 256, -256 * u)], sample_count=1) for u in range(5)]
    df = kelpmoor.read_cwa_file(make_cwa([p[0] for p in packets]), resample_hz=2)
    index, cols = expected(samples(packets), 2)
    assert index == [T * 1000000 + k * 500000 for k in range(17)]
    check(df, index, cols)
    acc = df["acc_x"].tolist()
    assert acc[1:4] == [0.25, 0.5, 0.75]            # first interval: linear
    assert acc[5:8] == [1.953125, 3.375, 5.359375]  # interior: cubic, exact
    assert acc[13:16] == [36.25, 45.5, 54.75]       # last interval: linear
    assert acc[16] == 64


@pytest.mark.parametrize(("start", "end", "hz", "first", "rows"), [
    (1.005, 2.5, 4, 1.005, 6),    # range start inside: first row on it, the packet before as cubic support
    (None, 1.5, 4, 0, 6),         # range end inside: last row the grid point before it
    (1.3, 1.35, 4, 1.3, 1),       # shorter than one step: one row, at the range start
    (0, 0.9, 3, 0, 3),            # start on the first sample
    (0.5, None, 0.7, 0.5, 2),     # no range end: rows up to the last sample only
])
def test_seconds_cut(make_cwa, start, end, hz, first, rows):
    df = kelpmoor.read_cwa_file(make_cwa([p[0] for p in SECONDS]), cut=kelpmoor.seconds(start, end), resample_hz=hz)
    index, cols = expected(samples(SECONDS), hz, None if start is None else T + start,
                           None if end is None else T + end)
    assert len(index) == rows
    assert index[0] == cb.f64_to_i64((0.0 + (T + first) * 1000.0) / 1000.0 * 1e6)
    check(df, index, cols)


@pytest.mark.parametrize(("cut", "sectors", "hz", "message"), [
    # inside the last packet's span but after its last sample (T + 2.99)
    (kelpmoor.seconds(2.995, 3), SECONDS, 4, "No samples remain after applying time range/resampling"),
    # a subnormal rate is valid, but its step is infinite and 0 x infinity makes grid point 0 NaN
    (None, SECONDS, 5e-324, "No samples remain after applying time range/resampling"),
    (kelpmoor.blocks(end=0), SECONDS, 4, "No valid sample data found in the specified range"),
    (kelpmoor.blocks(1, 4), [SECONDS[0], cb.zero_sector(), cb.ff_sector(), dict(sample_count=0), SECONDS[1]], 4,
     "No valid sample data found in the specified range"),
])
def test_nothing_to_resample(make_cwa, cut, sectors, hz, message):
    path = make_cwa([s[0] if isinstance(s, tuple) else s for s in sectors])
    with pytest.raises(RuntimeError) as err:
        kelpmoor.read_cwa_file(path, cut=cut, resample_hz=hz)
    assert str(err.value) == message


# 25 Hz, one second per packet: 6-axis, 6-axis, 3-axis, 3-axis, 6-axis
MIXED = [packet(s, noise(25, 20 + s, -9000, 9000), noise(25, 30 + s, -30000, 30000) if s in (0, 1, 4) else None,
                rate_code=0x48) for s in range(5)]


@pytest.mark.parametrize(("start", "end", "gyro"), [
    (None, None, "some"),  # NaN wherever a bracketing sample has no gyroscope value
    (2.5, 3.5, None),      # 6-axis samples pushed only as support before the range
    (1.97, 2.5, None),     # first row between the last 6-axis and the first 3-axis sample
    (3.99, 4.01, "nan"),   # an in-range 6-axis sample creates the column, its one row is NaN
    (3.915, 4.01, "nan"),  # the same after the grid has finished, before the range end
    (0.5, 2.5, "some"),
])
def test_gyroscope_columns(make_cwa, start, end, gyro):
    cut = None if start is None else kelpmoor.seconds(start, end)
    df = kelpmoor.read_cwa_file(make_cwa([p[0] for p in MIXED]), cut=cut, resample_hz=10, include_light=False)
    index, cols = expected(samples(MIXED), 10, None if start is None else T + start,
                           None if end is None else T + end, aux=(True, False, True))
    check(df, index, cols)
    assert ("gyro_x" in df) == (gyro is not None)
    if gyro:
        three_axis = (df.index >= np.datetime64(T + 2, "s")) & (df.index < np.datetime64(T + 4, "s"))
        assert np.isnan(df["gyro_x"][three_axis]).all() and three_axis.any()
        assert np.isnan(df["gyro_x"]).all() == (gyro == "nan")


@pytest.mark.parametrize("aux", [(True, True, True), (False, False, False), (True, False, True), (False, True, False)])
def test_auxiliary_columns_interpolated_when_selected(make_cwa, aux):
    df = kelpmoor.read_cwa_file(make_cwa([p[0] for p in SECONDS]), resample_hz=3.3, include_temperature=aux[0],
                                include_light=aux[1], include_battery=aux[2])
    check(df, *expected(samples(SECONDS), 3.3, aux=aux))


def test_fixed_utc_offset_applies_to_the_grid(make_cwa):
    path = make_cwa([p[0] for p in SECONDS])
    naive = kelpmoor.read_cwa_file(path, cut=kelpmoor.seconds(0.5, 2), resample_hz=7)
    tz = dt.timezone(dt.timedelta(hours=2))
    aware = kelpmoor.read_cwa_file(path, cut=kelpmoor.seconds(0.5, 2), resample_hz=7, fixed_utc_offset_timezone=tz)
    assert str(aware.index.dtype) == "datetime64[us, UTC]"
    assert cb.index_us(aware) == [us - 7200 * 1000000 for us in cb.index_us(naive)]
    assert cb.f32_bits(aware.to_numpy()) == cb.f32_bits(naive.to_numpy())


def test_grid_starts_on_a_first_sample_that_milliseconds_round_down(make_cwa):
    # a large negative timestamp offset leaves single-precision noise in the microseconds
    packets = [packet(0, noise(5, 40), sample_count=5, timestamp_offset=-6405)]
    first = samples(packets)[0][0]
    assert first * 1000.0 / 1000.0 < first
    df = kelpmoor.read_cwa_file(make_cwa([packets[0][0]]), resample_hz=100)
    index, cols = expected(samples(packets), 100)
    assert index[0] == cb.timeline([packets[0][0]]).times_us[0] == 1686832504050003
    assert len(index) >= 4
    check(df, index, cols)
