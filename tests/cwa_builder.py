"""Byte-level builder of CWA recordings, and exact oracles for their timing and decoding.

Files
    packed_time(y, mo, d, h, mi, s) -> int      the packed 32-bit device date-time
    unpack_time(raw) -> (y, mo, d, h, mi, s)    its fields, unchecked
    epoch_of_packed(raw) -> int                 its epoch seconds (device clock read as UTC)
    T0_RAW                                      2023-06-15 12:34:56, the default block timestamp
    metadata_block(**fields) -> bytes           1024-byte "MD" block; see METADATA_DEFAULTS
    data_block(**fields) -> bytes               512-byte "AX" block; see DATA_DEFAULTS
                                                (the field layout itself lives in kelpmoor_tools._layout,
                                                shared with the synthetic writer)
    packed3(samples) -> bytes                   [(x, y, z, exponent), ...], 10-bit signed x, y, z
    unpacked(samples) -> bytes                  [(v0, v1, ...), ...], int16 words (3, 6 or 9 each)
    zero_sector(), ff_sector(), raw_sector(b)   non-data sectors
    write_cwa(path, metadata_bytes, sectors, trailing=b"")   (conftest's make_cwa wraps it)

    data_block(samples=...) takes the raw sample bytes (padded with zeros to 480); when
    sample_count is not given it is len(samples) // bytes-per-sample of the format, or the
    format's full capacity when no samples are given.  Every header field can be overridden,
    including impossible ones (header=b"XX", fmt=0x31, rate_code=0, sample_count=999).

Timing oracles (a plain transcription of the device-clock arithmetic, float32 steps in numpy)
    natural_bounds(timestamp, timestamp_offset, sample_count, rate_code) -> (start, end)
    continuity_start(s, e, previous_end) -> start
    sample_times_us(a, e, n) -> [int]           per-sample microseconds of one packet
    scan_last_us(a, e, n) -> int                the header scan's last-sample microseconds
    timeline(blocks) -> Timeline                whole-recording oracle from data_block kwargs
    iso_from_us(us) -> str                      naive ISO text of a microsecond timestamp

Decoding oracles (float32)
    acc_divisor(light), gyro_range(light), aux_values(light, temperature, battery)

Python-side helpers
    FixedTz(offset)                             a tzinfo whose utcoffset returns `offset` or raises it

Reading results back
    index_us(df) -> [int]                       a DataFrame's index as microseconds
    f32_bits(values) -> [int]                   float32 bit patterns, for exact comparison
"""
from __future__ import annotations

import datetime as _dt
import math
from dataclasses import dataclass, field

import numpy as np

from kelpmoor_tools import _layout
from kelpmoor_tools._layout import BYTES_PER_SAMPLE, epoch_of_packed, packed_time, unpack_time  # noqa: F401

f32 = np.float32


T0_RAW = packed_time(2023, 6, 15, 12, 34, 56)

# ---------------------------------------------------------------------------------------------
# metadata block

METADATA_DEFAULTS = dict(
    header=b"MD", packet_length=1020, hardware_type=0x00, device_id=1234, session_id=0,
    upper_device_id=0xFFFF, logging_start=0, logging_end=0, flash_led=0, sensor_config=0,
    rate_code=0x4A, last_change=0, firmware_revision=0, annotation=b"",
)


def metadata_block(**fields) -> bytes:
    """1024-byte metadata block. The annotation is padded with spaces to 448 bytes."""
    unknown = set(fields) - set(METADATA_DEFAULTS)
    if unknown:
        raise TypeError(f"unknown metadata fields {sorted(unknown)}")
    return _layout.metadata_block(**{**METADATA_DEFAULTS, **fields})


# ---------------------------------------------------------------------------------------------
# data blocks

DATA_DEFAULTS = dict(
    header=b"AX", packet_length=508, device_fractional=0, session_id=0, sequence_id=0,
    timestamp=T0_RAW, light=0, temperature=0, events=0, battery=0, rate_code=0x4A, fmt=0x30,
    timestamp_offset=0, sample_count=None, samples=b"", checksum=0,
)


def block_fields(**fields) -> dict:
    """Every field of a data block: the defaults, the given fields, and a sample count taken
    from the samples given (or the format's capacity) when none is given."""
    unknown = set(fields) - set(DATA_DEFAULTS)
    if unknown:
        raise TypeError(f"unknown data block fields {sorted(unknown)}")
    f = {**DATA_DEFAULTS, **fields}
    if f["sample_count"] is None:
        bps = BYTES_PER_SAMPLE.get(f["fmt"])
        f["sample_count"] = 0 if bps is None else len(f["samples"]) // bps if f["samples"] else 480 // bps
    return f


def data_block(**fields) -> bytes:
    return _layout.data_block(**block_fields(**fields))


def packed3(samples) -> bytes:
    """Packed 3-axis words from (x, y, z, exponent) with x, y, z in -512..511."""
    columns = np.asarray(samples, dtype=np.int64).reshape(-1, 4).T
    return _layout.pack3(*columns).tobytes()


def unpacked(samples) -> bytes:
    return _layout.unpacked([v for s in samples for v in s])


def zero_sector() -> bytes:
    return bytes(512)


def ff_sector() -> bytes:
    return b"\xff" * 512


def raw_sector(data: bytes) -> bytes:
    return bytes(data).ljust(512, b"\x00")[:512]


def write_cwa(path, metadata_bytes: bytes, sectors, trailing: bytes = b"") -> str:
    with open(path, "wb") as fh:
        fh.write(metadata_bytes)
        for s in sectors:
            fh.write(s)
        fh.write(trailing)
    return str(path)


# ---------------------------------------------------------------------------------------------
# timing oracles


def rate_f32(code: int):
    return f32(3200.0 / 2.0 ** (15 - (code & 0x0F)))


def natural_bounds(timestamp: int, timestamp_offset: int, sample_count: int, rate_code: int):
    rate = rate_f32(rate_code)
    lead = -f32(timestamp_offset) / rate
    whole = np.floor(lead)
    frac = f32(lead - whole)
    start = float(frac) + (float(whole) + float(epoch_of_packed(timestamp)))
    end = start + float(f32(sample_count) / rate)
    return start, end


def continuity_start(s: float, e: float, previous_end: float | None) -> float:
    joins = previous_end is not None and s - previous_end < 1.0 and e > previous_end
    return previous_end if joins else s


def f64_to_i64(x: float) -> int:
    if math.isnan(x):
        return 0
    if x >= 2.0 ** 63:
        return 2 ** 63 - 1
    if x < -(2.0 ** 63):
        return -(2 ** 63)
    return math.trunc(x)


def sample_times_us(a: float, e: float, n: int) -> list[int]:
    span = e - a
    return [f64_to_i64((((i * span) / n) + a) * 1000000.0) for i in range(n)]


def scan_last_us(a: float, e: float, n: int) -> int:
    q = (e - a) / n
    return f64_to_i64(((n - 1) * q + a) * 1000000.0)


@dataclass
class Timeline:
    times_us: list[int] = field(default_factory=list)     # every sample, file order
    starts: list[float] = field(default_factory=list)     # per data packet, after continuity
    ends: list[float] = field(default_factory=list)       # per data packet, natural
    first_us: int | None = None                           # the header scan's view
    last_us: int | None = None
    count: int = 0


def timeline(blocks) -> Timeline:
    """Oracle for a recording given as a list of data_block kwargs dicts (None = non-data)."""
    t = Timeline()
    prev = None
    for kw in blocks:
        if kw is None:
            continue
        f = block_fields(**kw)
        n = f["sample_count"]
        if n == 0:
            continue
        s, e = natural_bounds(f["timestamp"], f["timestamp_offset"], n, f["rate_code"])
        a = continuity_start(s, e, prev)
        t.times_us += sample_times_us(a, e, n)
        t.starts.append(a)
        t.ends.append(e)
        if t.first_us is None:
            t.first_us = f64_to_i64(a * 1000000.0)
        t.last_us = scan_last_us(a, e, n)
        t.count += n
        prev = e
    return t


def iso_from_us(us: int) -> str:
    secs, frac = divmod(us, 1000000)
    text = (_dt.datetime(1970, 1, 1) + _dt.timedelta(seconds=secs)).strftime("%Y-%m-%dT%H:%M:%S")
    if frac == 0:
        return text
    return text + (f".{frac // 1000:03d}" if frac % 1000 == 0 else f".{frac:06d}")


# ---------------------------------------------------------------------------------------------
# decoding oracles (float32, fixed order of operations)


def acc_divisor(light: int):
    return f32(2 ** (8 + (light >> 13)))


def gyro_range(light: int) -> int:
    k = (light >> 10) & 7
    return 2000 if k == 0 else 8000 >> k


def aux_values(light: int, temperature: int, battery: int):
    """(temperature, light, battery) of one packet; light only for exactly representable powers."""
    temp = (f32(temperature & 0x3FF) * f32(75.0)) * f32(0.00390625) + f32(-50.0)
    lux = f32(10.0) ** (f32(light & 0x3FF) / f32(341.0))
    batt = ((f32(battery) + f32(512.0)) * f32(6.0)) * f32(0.0009765625)
    return temp, lux, batt


# ---------------------------------------------------------------------------------------------
# reading results back


def index_us(df) -> list[int]:
    """Microseconds of a DataFrame's timestamp index, whatever its time zone."""
    assert str(df.index.dtype) in ("datetime64[us]", "datetime64[us, UTC]")
    return [int(v) for v in df.index.asi8]


def f32_bits(values) -> list[int]:
    return np.asarray(values, dtype=np.float32).view(np.uint32).tolist()


class FixedTz(_dt.tzinfo):
    """A tzinfo whose utcoffset returns `offset`, or raises it when it is an exception."""

    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, when):
        if isinstance(self.offset, BaseException):
            raise self.offset
        return self.offset
