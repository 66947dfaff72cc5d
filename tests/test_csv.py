"""write_cwa_csv: whole files compared byte for byte with text built from the decoding rules.

Numbers are printed from their exact binary value, rounded half to even: `fixed` does that with
Decimal on the float itself, never on a shortest decimal form.
"""
import datetime as dt
import itertools
import math
import os
import re
import struct
from decimal import ROUND_HALF_EVEN, Decimal

import numpy as np
import pytest

import cwa_builder as cb
import kelpmoor

f32 = np.float32
T = cb.packed_time(2023, 11, 14, 22, 13, 20)  # epoch 1700000000
ACC = ["acc_x", "acc_y", "acc_z"]
GYRO = ["gyro_x", "gyro_y", "gyro_z"]
MAG = ["mag_x", "mag_y", "mag_z"]
AUX = ["temperature", "light", "battery"]
WORDS = [-32768, -20000, -1, 0, 1, 255, 4096, 32767]


def exact(message):
    return f"^{re.escape(message)}$"


def at(second, **kw):
    """A data block stamped at epoch 1700000000 + (second - 20)."""
    t = dt.datetime(2023, 11, 14, 22, 13) + dt.timedelta(seconds=second)
    return dict(timestamp=cb.packed_time(t.year, t.month, t.day, t.hour, t.minute, t.second), **kw)


def fixed(value, places):
    value = float(value)
    if math.isnan(value):
        return "NaN"
    return format(Decimal(value).quantize(Decimal(1).scaleb(-places), rounding=ROUND_HALF_EVEN), "f")


def time_text(us):
    return fixed(float(us) / 1e6, 4)


def signed10(v):
    return ((v & 0x3FF) ^ 0x200) - 0x200


def decode(block, include_magnetometer=True):
    """[(acc, gyro or None, mag or None)] of one data block, in float32."""
    f = {**cb.DATA_DEFAULTS, **block}
    fmt, light, data = f["fmt"], f["light"], f["samples"].ljust(480, b"\0")
    assert (light >> 10) & 7 == 0, "the oracle knows the default gyroscope range only"
    n = f["sample_count"] if f["sample_count"] is not None else len(f["samples"]) // cb.BYTES_PER_SAMPLE[fmt]
    divisor = cb.acc_divisor(light)
    out = []
    for i in range(n):
        if fmt == 0x30:
            word = struct.unpack_from("<I", data, 4 * i)[0]
            acc = [f32(signed10(word >> s) * 2 ** (word >> 30)) / divisor for s in (0, 10, 20)]
            out.append((acc, None, None))
            continue
        width = {0x32: 3, 0x62: 6, 0x92: 9}[fmt]
        w = struct.unpack_from(f"<{width}h", data, 2 * width * i)
        if fmt == 0x32:
            out.append(([f32(v) / divisor for v in w], None, None))
        elif fmt == 0x62:
            out.append(([f32(v) / divisor for v in w[3:]], [f32(v) / f32(16.384) for v in w[:3]], None))
        else:
            acc = [f32(v) * (f32(1) / divisor) for v in w[3:6]]
            gyro = [f32(v) * f32(0.06103515625) for v in w[:3]]
            mag = [f32(v) * f32(2.0 ** -15) for v in w[6:]] if include_magnetometer else None
            out.append((acc, gyro, mag))
    return out


def expected_csv(blocks, gyro=False, mag=False, aux=(False, False, False), include_magnetometer=True,
                 offset_us=0, keep=lambda us: True):
    """The file for a recording of data blocks (dicts), all samples kept by `keep`."""
    header = ["time"] + ACC + GYRO * gyro + MAG * mag + [n for n, on in zip(AUX, aux) if on]
    times = iter(cb.timeline(blocks).times_us)
    lines = [",".join(header)]
    for block in blocks:
        f = {**cb.DATA_DEFAULTS, **block}
        aux_values = cb.aux_values(f["light"], f["temperature"], f["battery"])
        for acc, g, m in decode(block, include_magnetometer):
            us = next(times)
            if not keep(us):
                continue
            fields = [time_text(us - offset_us)] + [fixed(v, 6) for v in acc]
            fields += [fixed(v, 6) for v in (g or [math.nan] * 3)] * gyro
            fields += [fixed(v, 6) for v in (m or [math.nan] * 3)] * mag
            fields += [fixed(v, 6) for v, on in zip(aux_values, aux) if on]
            lines.append(",".join(fields))
    return ("\n".join(lines) + "\n").encode()


@pytest.fixture
def out(tmp_path):
    return str(tmp_path / "out.csv")


def written(path, out, **kw):
    assert kelpmoor.write_cwa_csv(path, out, **kw) is None
    with open(out, "rb") as fh:
        return fh.read()


def unpacked_block(fmt, width, rows, **kw):
    samples = [tuple(WORDS[(i + 3 * j) % len(WORDS)] for j in range(width)) for i in range(rows)]
    return dict(fmt=fmt, samples=cb.unpacked(samples), **kw)


PACKED = dict(samples=cb.packed3([(x, signed10(-x * 7), (x * 3) % 512, e)
                                  for e in range(4) for x in (-512, -3, -1, 0, 1, 2, 6, 511)]))
FORMATS = {  # (blocks, gyro, mag, include_magnetometer)
    "packed_3": ([at(20, **PACKED), at(21, **PACKED, light=5 << 13)], False, False, True),
    "unpacked_3": ([at(20, **unpacked_block(0x32, 3, 9, light=1 << 13))], False, False, True),
    "6_axis": ([at(20, **unpacked_block(0x62, 6, 9))], True, False, True),
    "9_axis": ([at(20, **unpacked_block(0x92, 9, 9, light=3 << 13))], True, True, True),
    "9_axis_without_magnetometer": ([at(20, **unpacked_block(0x92, 9, 9))], True, False, False),
}
# Without a time range a call streams block by block; a seconds cut over everything takes the
# read-then-filter road and must give the same file.
ROADS = {"streaming": {}, "filtered": dict(cut=kelpmoor.seconds(0, 1e6))}


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("name", FORMATS)
def test_columns_and_values_by_format(make_cwa, out, name, road):
    blocks, gyro, mag, include_magnetometer = FORMATS[name]
    data = written(make_cwa(blocks), out, include_magnetometer=include_magnetometer, **ROADS[road])
    assert data == expected_csv(blocks, gyro, mag, include_magnetometer=include_magnetometer)


def test_number_text_examples(make_cwa, out):
    # gyro 16384, 0, -1; acc 256, -1, 2 (an exact tie at 6 decimals); mag 32767, -32768, 0
    sample = (16384, 0, -1, 256, -1, 2, 32767, -32768, 0)
    data = written(make_cwa([at(20, fmt=0x92, samples=cb.unpacked([sample]))]), out)
    assert data == (b"time,acc_x,acc_y,acc_z,gyro_x,gyro_y,gyro_z,mag_x,mag_y,mag_z\n"
                    b"1700000000.0000,1.000000,-0.003906,0.007812,"
                    b"1000.000000,0.000000,-0.061035,0.999969,-1.000000,0.000000\n")


def test_mixed_formats_stream_nan_where_a_packet_lacks_a_channel(make_cwa, out):
    three = unpacked_block(0x32, 3, 2)
    blocks = [at(20, **three), at(21, **unpacked_block(0x62, 6, 3)), at(22, **three),
              at(23, **unpacked_block(0x92, 9, 1))]
    path = make_cwa(blocks[:2] + [cb.zero_sector()] + blocks[2:])
    data = written(path, out)
    assert data == expected_csv(blocks, gyro=True, mag=True)
    assert data.count(b",NaN,NaN,NaN\n") == 2 + 3 + 2
    # Kept rows of 3-axis packets only: the filtered read drops the all-NaN channels.
    assert written(path, out, cut=kelpmoor.seconds(0, 0.015)).startswith(b"time,acc_x,acc_y,acc_z\n")


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("aux", list(itertools.product([False, True], repeat=3)))
def test_auxiliary_columns(make_cwa, out, aux, road):
    blocks = [at(20, light=341, temperature=0x0155, battery=0, sample_count=3),
              at(21, light=682 | 0xE000, temperature=0xFFFF, battery=255, sample_count=2)]
    data = written(make_cwa(blocks), out, **dict(zip(["include_" + n for n in AUX], aux)), **ROADS[road])
    assert data == expected_csv(blocks, aux=aux)


def test_time_text_rounds_the_f64_quotient(make_cwa, out):
    # At 3200 Hz samples fall 312.5 us apart, so every fourth lies on a 50 us remainder: a tie in
    # whole microseconds that the f64 quotient of the division by 1e6 breaks either way.
    blocks = [at(20, fmt=0x32, rate_code=0x0F, timestamp_offset=-188, sample_count=80)]
    data = written(make_cwa(blocks), out)
    assert data == expected_csv(blocks)
    # Rounding the whole microseconds half to even instead would differ in both directions.
    by_integer = {}
    for us in cb.timeline(blocks).times_us:
        q, r = divmod(us, 100)
        by_integer[us] = Decimal(q + (r > 50 or (r == 50 and q % 2 == 1))).scaleb(-4)
    moved = {Decimal(time_text(us)) > by_integer[us] for us in by_integer if time_text(us) != str(by_integer[us])}
    assert moved == {True, False}
    assert b"\n1700000000.0587," in data  # 1700000000058750 us, whose quotient lies just below the tie


TIMEZONES = [(None, 0), (dt.timezone.utc, 0), (dt.timezone(dt.timedelta(hours=1)), 3600_000_000),
             (dt.timezone(dt.timedelta(hours=-5, minutes=-30)), -19800_000_000)]


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("tz,offset_us", TIMEZONES)
def test_utc_offset_is_subtracted(make_cwa, out, tz, offset_us, road):
    blocks = [at(20, **PACKED, timestamp_offset=-37)]
    data = written(make_cwa(blocks), out, fixed_utc_offset_timezone=tz, **ROADS[road])
    assert data == expected_csv(blocks, offset_us=offset_us)


RUN = [at(20 + s, sample_count=120, timestamp_offset=-17) for s in range(7)]  # 8.4 s at 100 Hz


def test_seconds_cut_keeps_the_exact_range(make_cwa, out):
    t0 = cb.timeline(RUN).first_us / 1e6
    keep = lambda us: t0 + 2.5 <= us / 1e6 < t0 + 4.25  # noqa: E731
    data = written(make_cwa(RUN), out, cut=kelpmoor.seconds(2.5, 4.25))
    assert data == expected_csv(RUN, keep=keep)
    assert 0 < data.count(b"\n") - 1 < 120 * len(RUN) / 2


@pytest.mark.parametrize("start,end", [(0, 5), (2, 5), (6, None)])
def test_blocks_cut_streams_whole_blocks(make_cwa, out, start, end):
    times = cb.timeline(RUN).times_us
    keep = set(times[120 * start:120 * (end or len(RUN))])
    data = written(make_cwa(RUN), out, cut=kelpmoor.blocks(start, end))
    assert data == expected_csv(RUN, keep=keep.__contains__)


@pytest.mark.parametrize("sectors", [[dict(sample_count=3)], [cb.zero_sector(), cb.ff_sector()]])
def test_range_without_data_writes_the_header_only(make_cwa, out, sectors):
    path = make_cwa(sectors)
    cut = kelpmoor.blocks(end=0) if len(sectors) == 1 else None
    assert written(path, out, cut=cut) == b"time,acc_x,acc_y,acc_z\n"
    os.remove(out)
    with pytest.raises(RuntimeError, match=exact("No valid sample data found in the specified range")):
        kelpmoor.write_cwa_csv(path, out, cut=cut, resample_hz=50)
    assert not os.path.exists(out)


def test_method_is_ignored_without_rate(make_cwa, out):
    path = make_cwa(RUN[:2])
    assert written(path, out, resample_method="linear") == expected_csv(RUN[:2])


def test_resampled_rows_lie_on_the_grid(make_cwa, out):
    blocks = [at(20 + s, **PACKED, light=s << 13) for s in range(3)]  # 32 samples a second
    path = make_cwa(blocks)
    data = written(path, out, resample_hz=50, include_temperature=True)
    frame = kelpmoor.read_cwa_file(path, resample_hz=50, include_light=False, include_battery=False)
    lines = data.decode().splitlines()
    assert lines[0] == "time,acc_x,acc_y,acc_z,temperature"
    assert len(lines) - 1 == len(frame) > 100
    for k, (line, (_, row)) in enumerate(zip(lines[1:], frame.iterrows())):
        assert line == ",".join([fixed(Decimal(1700000000) + Decimal("0.02") * k, 4)] +
                                [fixed(row[c], 6) for c in ACC + ["temperature"]])


@pytest.mark.parametrize("include_magnetometer,columns", [(True, GYRO + MAG), (False, GYRO)])
def test_resampled_nine_axis_columns(make_cwa, out, include_magnetometer, columns):
    blocks = [at(20 + s, **unpacked_block(0x92, 9, 20)) for s in range(3)]
    data = written(make_cwa(blocks), out, resample_hz=10, include_magnetometer=include_magnetometer)
    assert data.split(b"\n")[0].decode() == ",".join(["time"] + ACC + columns)


ALL_ROADS = {**ROADS, "resampled": dict(resample_hz=100)}


@pytest.mark.parametrize("road", ALL_ROADS)
def test_output_that_cannot_be_created(make_cwa, tmp_path, road):
    with pytest.raises(RuntimeError, match=exact("IO error: No such file or directory (os error 2)")):
        kelpmoor.write_cwa_csv(make_cwa(RUN[:2]), str(tmp_path / "missing" / "out.csv"), **ALL_ROADS[road])


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("road", ALL_ROADS)
@pytest.mark.parametrize("blocks,message", [
    # fits the buffer: only the final flush meets the full disk, which is an I/O error
    (1, "IO error: No space left on device (os error 28)"),
    # spills mid-file: the record write fails with the system's text alone
    (2600, "No space left on device (os error 28)"),
])
def test_full_disk(make_cwa, road, blocks, message):
    path = make_cwa([at(20 + k, sample_count=120, temperature=0x3FF, light=0x3FF) for k in range(blocks)])
    with pytest.raises(RuntimeError, match=exact(message)):
        kelpmoor.write_cwa_csv(path, "/dev/full", include_temperature=True, include_light=True,
                               include_battery=True, **ALL_ROADS[road])


GAP = [at(20, sample_count=120), at(40, sample_count=120)]
FAILING_CALLS = [
    # (sectors, keyword arguments, exception, message)
    (GAP, dict(cut={"type": "minutes"}), ValueError, "cut type must be 'seconds' or 'blocks'"),
    (GAP, dict(cut=kelpmoor.seconds(0, 1), resample_hz=0.0), ValueError,
     "resample_hz must be a finite value > 0"),
    (GAP, dict(cut=kelpmoor.seconds(10, 20)), RuntimeError, "No samples remain after applying seconds cut"),
    (GAP, dict(fixed_utc_offset_timezone=cb.FixedTz(None)), TypeError, None),
    (RUN, dict(cut=kelpmoor.seconds(5.5, 5.500000001)), RuntimeError,
     "range_end_time must be greater than range_start_time"),
    (GAP, dict(cut=kelpmoor.seconds(1.195, 1.199)), RuntimeError, "No samples remain after applying time range"),
    (GAP, dict(cut=kelpmoor.blocks(end=0), resample_hz=10), RuntimeError,
     "No valid sample data found in the specified range"),
    (GAP + [at(41, rate_code=0, sample_count=1)], dict(resample_hz=10), RuntimeError,
     "Old CWA format packets are not supported"),
    (GAP + [at(41, rate_code=0, sample_count=1)], dict(cut=kelpmoor.seconds(0, 100)), RuntimeError,
     "Old CWA format packets are not supported"),
    # the stream meets the damaged packet in its pre-scan, before the output exists
    (GAP + [at(41, rate_code=0, sample_count=1)], {}, RuntimeError, "Old CWA format packets are not supported"),
    (GAP + [at(41, fmt=0x31, sample_count=1)], dict(cut=kelpmoor.blocks(1)), RuntimeError,
     "Unsupported sample format: 3 axes, packing 1"),
]


@pytest.mark.parametrize("exists", [True, False])
@pytest.mark.parametrize("sectors,kwargs,error,message", FAILING_CALLS)
def test_failing_calls_leave_the_output_alone(make_cwa, out, sectors, kwargs, error, message, exists):
    if exists:
        with open(out, "wb") as fh:
            fh.write(b"previous content\n")
    with pytest.raises(error, match=exact(message) if message else None):
        kelpmoor.write_cwa_csv(make_cwa(sectors), out, **kwargs)
    if exists:
        with open(out, "rb") as fh:
            assert fh.read() == b"previous content\n"
    else:
        assert not os.path.exists(out)


def test_output_file_is_created_or_replaced(make_cwa, out):
    path = make_cwa(RUN[:1])
    umask = os.umask(0o022)
    os.umask(umask)
    assert written(path, out) == expected_csv(RUN[:1])
    assert os.stat(out).st_mode & 0o777 == 0o666 & ~umask
    with open(out, "wb") as fh:
        fh.write(b"x" * 100000)
    assert written(path, out) == expected_csv(RUN[:1])


SPELLINGS = {
    "same": lambda p: p,
    "dot_segments": lambda p: os.path.join(os.path.dirname(p), ".", "..", os.path.basename(os.path.dirname(p)),
                                           os.path.basename(p)),
    "symlink": lambda p: (os.symlink(p, p + ".link"), p + ".link")[1],
    "hard_link": lambda p: (os.link(p, p + ".hard"), p + ".hard")[1],
}


@pytest.mark.parametrize("road", ALL_ROADS)
@pytest.mark.parametrize("spelling", SPELLINGS)
def test_refuses_to_overwrite_the_recording(make_cwa, spelling, road):
    path = make_cwa(RUN)
    with open(path, "rb") as fh:
        before = fh.read()
    with pytest.raises(RuntimeError, match=exact("output_path must not name the input recording file_path")):
        kelpmoor.write_cwa_csv(path, SPELLINGS[spelling](path), **ALL_ROADS[road])
    with open(path, "rb") as fh:
        assert fh.read() == before
