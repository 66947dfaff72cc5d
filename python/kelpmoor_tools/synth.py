"""Synthetic CWA recordings for pipeline tests, demos and benchmarks.

Real recordings are large and hold personal data; these are small or large as asked, made from
a fixed seed, and look like a worn wrist sensor to any reader:

* gravity along a forearm posture that changes every half minute by day and rarely at night,
  a walking-like rhythm whose strength follows the time of day, and sensor noise on every axis;
* a sample clock a few ppm fast against the device's real-time clock, so each block's
  whole-second timestamp and timestamp offset jitter by up to half a sample, as on a device;
* temperature, light and battery drifting as on a worn device;
* 3-axis packed or unpacked samples, or 6 and 9 axes (gyroscope, magnetometer) at any rate the
  format can state (3200 Hz halved 0 to 15 times: 100 Hz, 50 Hz, 12.5 Hz, ...).

Faults can be asked for (see `Faults`): clock jitter, gaps, backward clock jumps, damaged
blocks, sectors that are not data, and a change of sample format part way.

A recording can also follow a wearer's day (`segments`, see `Segment` and `day_schedule`):
worn and awake, asleep, bouts of activity of a chosen ENMO, and the device off the wrist on a
table, cooling toward the room; `signals()` then labels each sample. A `SensorError` makes the
accelerometer read as an uncalibrated one does (offset, gain and temperature drift per axis),
while `signals().acc` stays the true acceleration an auto-calibration should recover.

    from kelpmoor_tools import synth

    synth.write_recording("day.cwa", duration_s=86400)                    # 1 day, 100 Hz, packed
    synth.write_recording("ax6.cwa", duration_s=7200, axes=6, rate_hz=50, seed=7)
    rec = synth.Recording(duration_s=600, faults=synth.Faults(gaps=((120, 30),)))
    rec.write("gap.cwa")
    truth = rec.signals()      # the values and times that were written, before quantisation

A week at 100 Hz (60 million samples, 258 MB packed) is written in a few seconds: blocks are
built a few thousand at a time as NumPy structured arrays, never one by one. The file appears
under its name only when complete.
"""
from __future__ import annotations

import datetime as _dt
import math
import os
from dataclasses import dataclass, field
from functools import cached_property
from pathlib import Path
from typing import Any, Sequence

import numpy as np

from . import _layout, _wearer
from ._wearer import Segment, day_schedule
from ._whole import write_whole

__all__ = ["Faults", "Recording", "Segment", "SensorError", "Signals", "day_schedule", "write_recording",
           "DEFAULT_START"]

# 2024-03-04 09:00:00.37 on the device clock: a Monday morning, not on a whole second, so that
# the first block's timestamp offset is not zero.
DEFAULT_START = _dt.datetime(2024, 3, 4, 9, 0, 0, 370000)
BLOCKS_PER_CHUNK = 2000          # a few hundred thousand samples: stays in cache, reuses memory
DAMAGE_KINDS = ("timestamp", "format", "count", "rate")
SECTOR_KINDS = ("zeros", "erased", "empty")
ACCEL_RANGES = {16: 0, 8: 1, 4: 2, 2: 3}            # g -> top two bits of the rate code
GYRO_RANGES = {2000: 2, 1000: 3, 500: 4, 250: 5, 125: 6}  # dps -> range code (8000 >> code)


@dataclass(frozen=True)
class Faults:
    """Faults to write into a recording. Times are seconds of recorded data from the first
    sample (`at_s`); block indices count data blocks from zero.

    jitter_s          standard deviation of each block's clock reading (seconds); blocks stay
                      joined while their readings disagree by less than a second
    gaps              ((at_s, seconds), ...): the device stops recording for that long
    backward_jumps    ((at_s, seconds), ...): the device clock is set back by that much
    damaged_blocks    (index, ...): blocks a reader must refuse, damaged as `damage` says:
                      "timestamp" (month 13), "format" (3 axes, packing 1), "count" (more
                      samples than a block holds) or "rate" (rate code 0, the old format)
    non_data_sectors  ((before_block, kind), ...): a sector a reader steps over, put before
                      that data block: "zeros", "erased" (all 0xFF) or "empty" (a data block
                      with no samples)
    format_change     (at_s, axes, packed) or None: from the first whole block after at_s on,
                      samples are written in that format
    """
    jitter_s: float = 0.0
    gaps: tuple = ()
    backward_jumps: tuple = ()
    damaged_blocks: tuple = ()
    damage: str = "timestamp"
    non_data_sectors: tuple = ()
    format_change: tuple | None = None

    def __post_init__(self):
        if self.jitter_s < 0:
            raise ValueError("jitter_s must not be negative")
        if self.damage not in DAMAGE_KINDS:
            raise ValueError(f"damage must be one of {DAMAGE_KINDS}, not {self.damage!r}")
        for at, length in (*self.gaps, *self.backward_jumps):
            if at < 0 or length <= 0:
                raise ValueError("gaps and backward jumps are (at_s >= 0, seconds > 0) pairs")
        for _, kind in self.non_data_sectors:
            if kind not in SECTOR_KINDS:
                raise ValueError(f"non-data sector kinds are {SECTOR_KINDS}, not {kind!r}")


@dataclass(frozen=True)
class SensorError:
    """How an uncalibrated accelerometer misreads, per axis (x, y, z): for a true acceleration
    `a` (g) at temperature `T` (degrees C) it reports
    `a * scale + offset_g + temperature_g_per_c * (T - reference_c)`. `T` is the temperature
    the recording stores in its blocks, so a fit from the file alone can recover the error."""
    offset_g: tuple = (0.0, 0.0, 0.0)
    scale: tuple = (1.0, 1.0, 1.0)
    temperature_g_per_c: tuple = (0.0, 0.0, 0.0)
    reference_c: float = 20.0

    def __post_init__(self):
        for name in ("offset_g", "scale", "temperature_g_per_c"):
            value = getattr(self, name)
            if len(value) != 3 or not all(math.isfinite(v) for v in value):
                raise ValueError(f"{name} is three finite numbers, one per axis")
        if not math.isfinite(self.reference_c):
            raise ValueError("reference_c must be finite")

    def apply(self, acc: np.ndarray, temperature: np.ndarray) -> np.ndarray:
        """What the sensor reports for true accelerations `acc` (n, 3) in g at `temperature` (n)."""
        return self._apply_rows(np.asarray(acc, dtype=np.float32).T, temperature).T

    def _apply_rows(self, acc: np.ndarray, temperature: np.ndarray) -> np.ndarray:
        """As `apply`, for accelerations as three rows (3, n) in single precision."""
        f32 = np.float32
        drift = np.asarray(temperature, dtype=f32) - f32(self.reference_c)
        out = np.empty_like(acc)
        for a in range(3):
            np.multiply(acc[a], f32(self.scale[a]), out=out[a])
            out[a] += f32(self.offset_g[a]) + f32(self.temperature_g_per_c[a]) * drift
        return out


@dataclass(frozen=True)
class Signals:
    """What a recording holds, per sample, before quantisation to the format's counts.

    time_s    float64 device-clock seconds since 1970 (the clock read as if it were UTC) of
              each sample as taken; a reader's timestamps differ by the jitter it smooths
    acc       float32 (n, 3) the true acceleration in g (sensor noise included), before any
              sensor error
    gyro      float32 (n, 3) angular velocity in degrees per second, NaN where not recorded
              (None when no block has a gyroscope)
    mag       float32 (n, 3) magnetometer, or None
    temperature, light, battery   float32 per sample: degrees C, lux, volts of the sample's block
    label     object array of what the wearer was doing at each sample: "wear", "sleep",
              "activity" or "nonwear" ("wear" throughout for a recording without segments)
    measured_acc  float32 (n, 3) what the accelerometer reported: `acc` with the sensor error
              applied (at the temperature the blocks store), before quantisation
    """
    time_s: np.ndarray
    acc: np.ndarray
    gyro: np.ndarray | None
    mag: np.ndarray | None
    temperature: np.ndarray
    light: np.ndarray
    battery: np.ndarray
    label: np.ndarray | None = None
    measured_acc: np.ndarray | None = None


@dataclass(frozen=True)
class _Plan:
    """Per data block: format, sample count, first sample, clock reading; and the recording's
    slow state (postures, activity, auxiliary fields)."""
    fmt: np.ndarray            # u1 format byte
    count: np.ndarray          # samples in the block
    first_sample: np.ndarray   # index of its first sample in the recording
    model_t: np.ndarray        # real seconds since the start's whole second, of its first sample
    clock_t: np.ndarray        # device-clock seconds since the start's whole second
    timestamp: np.ndarray      # packed whole-second clock reading
    offset: np.ndarray         # index of the sample taken on that second
    level: np.ndarray          # activity (g) of the block
    temperature_c: np.ndarray
    light_raw: np.ndarray      # 10-bit light reading
    battery_v: np.ndarray
    anchor_t: np.ndarray       # posture anchors (real seconds) and their gravity directions
    anchor_g: np.ndarray
    true_rate: float
    wearer: _wearer.Body | None = None    # the wearer's script when the recording has segments


@dataclass(frozen=True)
class Recording:
    """The settings of one synthetic recording; `write(path)` writes it, `signals()` tells
    what it holds.

    duration_s      seconds of data, rounded down to whole blocks
    rate_hz         sampling rate: 3200 Hz halved 0 to 15 times (100, 50, 25, 12.5, 400, ...)
    axes, packed    3 packed (120 samples a block), 3 unpacked (80), 6 (40) or 9 (26);
                    packed=None packs 3-axis samples only
    start           device-clock time of the first sample, a naive datetime (2000 to 2063)
    device_id       below 0xFFFF0000; session_id up to 32 bits
    accel_range_g   16, 8, 4 or 2; gyro_range_dps 2000, 1000, 500, 250 or 125
    seed            the same seed writes the same bytes
    clock_ppm       how much faster the sample clock runs than the real-time clock
    annotation      free text of the metadata block (up to 448 bytes of UTF-8)
    faults          a `Faults`, or none
    sensor_error    a `SensorError`: the accelerometer reads as that uncalibrated sensor would
    segments        `Segment`s the wearer goes through in order from the first sample (see
                    `day_schedule`); the last one lasts to the end. None keeps the generic
                    wrist: posture every half minute, movement following the time of day
    """
    duration_s: float = 3600.0
    rate_hz: float = 100.0
    axes: int = 3
    packed: bool | None = None
    start: _dt.datetime = DEFAULT_START
    device_id: int = 10000
    session_id: int = 0
    accel_range_g: int = 8
    gyro_range_dps: int = 2000
    seed: int = 0
    clock_ppm: float = 15.0
    annotation: str = "synthetic recording"
    faults: Faults = field(default_factory=Faults)
    sensor_error: SensorError | None = None
    segments: Sequence[Segment] | None = None

    def __post_init__(self):
        if self.duration_s <= 0:
            raise ValueError("duration_s must be positive")
        rate_code_nibble(self.rate_hz)
        _layout.format_byte(self.axes, self._packed)
        if self.accel_range_g not in ACCEL_RANGES:
            raise ValueError(f"accel_range_g must be one of {sorted(ACCEL_RANGES)}")
        if self.gyro_range_dps not in GYRO_RANGES:
            raise ValueError(f"gyro_range_dps must be one of {sorted(GYRO_RANGES)}")
        # An upper device id of 0xFFFF means "none", so the largest ids cannot be written.
        if not 0 <= self.device_id < 0xFFFF0000 or not 0 <= self.session_id < 1 << 32:
            raise ValueError("device_id is below 0xFFFF0000 and session_id an unsigned 32-bit number")
        if self.start.tzinfo is not None:
            raise ValueError("start is a naive datetime of the device clock")
        if self.faults.format_change is not None:
            _, axes, packed = self.faults.format_change
            _layout.format_byte(axes, axes == 3 if packed is None else packed)
        if len(self.annotation.encode()) > 448:
            raise ValueError("the annotation holds at most 448 bytes of UTF-8")
        if self.sensor_error is not None and not isinstance(self.sensor_error, SensorError):
            raise ValueError("sensor_error is a SensorError")
        if self.segments is not None:
            object.__setattr__(self, "segments", tuple(self.segments))
            if not self.segments or not all(isinstance(s, Segment) for s in self.segments):
                raise ValueError("segments is a non-empty sequence of Segment")

    # ------------------------------------------------------------------ what will be written

    @property
    def blocks(self) -> int:
        """Data blocks (sectors holding samples, damaged ones included)."""
        return len(self._plan.fmt)

    @property
    def samples(self) -> int:
        return int(self._plan.count.sum())

    @property
    def size(self) -> int:
        """File size in bytes."""
        return _layout.METADATA_BYTES + _layout.SECTOR * (self.blocks + len(self.faults.non_data_sectors))

    @property
    def _packed(self) -> bool:
        return self.axes == 3 if self.packed is None else self.packed

    @property
    def start_epoch_s(self) -> float:
        """Device-clock seconds since 1970 of the first sample as taken."""
        return _epoch(self.start)

    @cached_property
    def _plan(self) -> _Plan:
        return _plan(self)

    # ------------------------------------------------------------------ writing

    def write(self, path: str | os.PathLike[str]) -> Path:
        """Write the recording to `path` (created or replaced) and return the path."""
        path = Path(path)
        plan = self._plan
        pending = sorted(self.faults.non_data_sectors, key=lambda pair: pair[0])
        damaged = sorted({int(b) for b in self.faults.damaged_blocks})
        if any(not 0 <= b < self.blocks for b in damaged):
            raise ValueError(f"damaged_blocks must lie in 0..{self.blocks - 1}")

        def write_to(tmp: Path) -> None:
            with open(tmp, "wb") as out:
                out.write(self._metadata())
                for b0, b1 in _chunks(plan.fmt):
                    blocks = self._blocks(b0, b1)
                    for b in damaged:
                        if b0 <= b < b1:
                            _damage(blocks, b - b0, self.faults.damage)
                    # Non-data sectors go before their block; those past the end go last.
                    pos = b0
                    while pending and (pending[0][0] < b1 or b1 == self.blocks):
                        at, kind = pending.pop(0)
                        at = max(min(int(at), b1), pos)
                        out.write(blocks[pos - b0:at - b0].tobytes())
                        out.write(_non_data_sector(kind))
                        pos = at
                    out.write(blocks[pos - b0:].tobytes())

        return write_whole(path, write_to)

    def _metadata(self) -> bytes:
        fmts = set(int(f) for f in np.unique(self._plan.fmt))
        ax6 = any(f >> 4 >= 6 for f in fmts)
        start = int(math.floor(self.start_epoch_s))
        stamps = _layout.packed_times([start, start + int(math.ceil(self.duration_s)), start - 3600])
        upper = self.device_id >> 16
        return _layout.metadata_block(
            hardware_type=0x64 if ax6 else 0x00, device_id=self.device_id & 0xFFFF,
            session_id=self.session_id, upper_device_id=upper if upper else 0xFFFF,
            logging_start=int(stamps[0]), logging_end=int(stamps[1]), flash_led=1,
            sensor_config=(GYRO_RANGES[self.gyro_range_dps] | (0x10 if 0x92 in fmts else 0)) if ax6 else 0,
            rate_code=self._rate_code, last_change=int(stamps[2]), firmware_revision=48,
            annotation=self.annotation.encode(), unused=0xFF)

    @property
    def _rate_code(self) -> int:
        return ACCEL_RANGES[self.accel_range_g] << 6 | rate_code_nibble(self.rate_hz)

    def _blocks(self, b0: int, b1: int) -> np.ndarray:
        """Data blocks b0..b1-1 (one format) as a structured array, checksums included."""
        plan = self._plan
        fmt = int(plan.fmt[b0])
        spb = _layout.samples_per_block(fmt)
        n = b1 - b0
        blocks = _layout.data_blocks(n)
        blocks["session_id"] = self.session_id
        blocks["sequence_id"] = np.arange(b0, b1, dtype=np.uint32)
        blocks["timestamp"] = plan.timestamp[b0:b1]
        acc_code, counts_per_g = self._acc_scale(fmt)
        light_bits = acc_code << 13 | (GYRO_RANGES[self.gyro_range_dps] << 10 if fmt >> 4 >= 6 else 0)
        blocks["light"] = plan.light_raw[b0:b1] | np.uint16(light_bits)
        blocks["temperature"] = _temperature_raw(plan.temperature_c[b0:b1])
        blocks["battery"] = np.clip(np.rint(plan.battery_v[b0:b1] * 1024.0 / 6.0 - 512.0), 0, 255)
        blocks["rate_code"] = self._rate_code
        blocks["fmt"] = fmt
        blocks["timestamp_offset"] = plan.offset[b0:b1]
        blocks["sample_count"] = spb
        acc, gyro, mag = _motion(plan, b0, b1, spb, self.rate_hz, self.seed)
        if self.sensor_error is not None:
            acc = self.sensor_error._apply_rows(acc, np.repeat(_stored_temperature(plan.temperature_c[b0:b1]), spb))
        area = blocks["samples"].view(np.uint8).reshape(n, _layout.SAMPLE_AREA)
        if fmt == 0x30:
            words = _layout.pack3_scaled(acc * np.float32(256.0))
            area[:, :4 * spb] = words.view(np.uint8).reshape(n, 4 * spb)
        else:
            axes = fmt >> 4
            values = np.empty((n, spb, axes), dtype="<i2")
            acc_at = 0 if axes == 3 else 3
            for a in range(3):
                values[:, :, acc_at + a] = _to_i16(acc[a], counts_per_g).reshape(n, spb)
                if axes >= 6:
                    values[:, :, a] = _to_i16(gyro[a], 32768.0 / self.gyro_range_dps).reshape(n, spb)
                if axes == 9:
                    values[:, :, 6 + a] = _to_i16(mag[a], 32768.0).reshape(n, spb)
            area[:, :2 * axes * spb] = values.view(np.uint8).reshape(n, 2 * axes * spb)
        blocks["checksum"] = _layout.checksums(blocks)
        return blocks

    def _acc_scale(self, fmt: int) -> tuple[int, float]:
        """Accelerometer scale code and counts per g of a format: packed words count 1/256 g;
        16-bit words use the finest scale whose range still holds the accelerometer's."""
        if fmt == 0x30:
            return 0, 256.0
        code = min(7, int(math.log2(32768 // self.accel_range_g)) - 8)
        return code, float(2 ** (8 + code))

    # ------------------------------------------------------------------ the truth

    def signals(self) -> Signals:
        """Per-sample values and times as generated, before quantisation (the whole recording
        in memory: meant for short recordings and tests)."""
        plan = self._plan
        parts = [_motion(plan, b0, b1, _layout.samples_per_block(int(plan.fmt[b0])), self.rate_hz, self.seed)
                 for b0, b1 in _chunks(plan.fmt)]
        has_gyro = any(g is not None for _, g, _ in parts)
        has_mag = any(m is not None for _, _, m in parts)

        def column(i, present):
            if not present:
                return None
            return np.concatenate([(p[i] if p[i] is not None else np.full((3, p[0].shape[1]), np.nan, np.float32)).T
                                   for p in parts])

        count = plan.count
        within = np.arange(count.sum()) - np.repeat(plan.first_sample, count)
        time_s = np.floor(self.start_epoch_s) + np.repeat(plan.clock_t, count) + within / plan.true_rate
        batt = plan.battery_v
        acc = column(0, True)
        measured = acc
        if self.sensor_error is not None:
            measured = self.sensor_error.apply(acc, np.repeat(_stored_temperature(plan.temperature_c), count))
        if plan.wearer is None:
            label = np.full(len(time_s), "wear", dtype=object)
        else:
            model_t = np.repeat(plan.model_t, count) + within / plan.true_rate
            label = np.array(_wearer.KINDS, dtype=object)[plan.wearer.kind_of(model_t)]
        return Signals(time_s=time_s, acc=acc, gyro=column(1, has_gyro), mag=column(2, has_mag),
                       temperature=np.repeat(plan.temperature_c, count).astype(np.float32),
                       light=np.repeat(np.float32(10.0) ** (plan.light_raw / np.float32(341.0)), count)
                       .astype(np.float32),
                       battery=np.repeat(batt, count).astype(np.float32), label=label, measured_acc=measured)


def write_recording(path: str | os.PathLike[str], **settings: Any) -> Path:
    """Write a synthetic recording to `path` and return the path; `settings` are those of
    `Recording` (duration_s, rate_hz, axes, packed, start, device_id, seed, faults, ...)."""
    return Recording(**settings).write(path)


def rate_code_nibble(rate_hz: float) -> int:
    """The low four bits of the rate code: rate = 3200 / 2 ** (15 - nibble)."""
    for nibble in range(16):
        if 3200.0 / 2.0 ** (15 - nibble) == rate_hz:
            return nibble
    raise ValueError(f"rate_hz must be 3200 Hz halved 0 to 15 times (100, 50, 12.5, ...), not {rate_hz!r}")


# ---------------------------------------------------------------------------- the plan


def _epoch(when: _dt.datetime) -> float:
    return (when - _dt.datetime(1970, 1, 1)).total_seconds()


def _plan(rec: Recording) -> _Plan:
    rate = rec.rate_hz
    faults = rec.faults
    total = int(round(rec.duration_s * rate))
    fmt0 = _layout.format_byte(rec.axes, rec._packed)
    segments = [(fmt0, total)]
    if faults.format_change is not None:
        at_s, axes, packed = faults.format_change
        head = min(total, int(round(at_s * rate)))
        spb0 = _layout.samples_per_block(fmt0)
        head = -(-head // spb0) * spb0
        segments = [(fmt0, head), (_layout.format_byte(axes, axes == 3 if packed is None else packed), total - head)]
    fmt, count = [], []
    for f, n in segments:
        spb = _layout.samples_per_block(f)
        blocks = max(n, 0) // spb
        fmt.append(np.full(blocks, f, dtype=np.uint8))
        count.append(np.full(blocks, spb, dtype=np.int64))
    fmt, count = np.concatenate(fmt), np.concatenate(count)
    if len(fmt) == 0:
        raise ValueError("duration_s is shorter than one block")
    first_sample = np.concatenate([[0], np.cumsum(count)[:-1]])

    true_rate = rate * (1.0 + rec.clock_ppm * 1e-6)
    start = rec.start_epoch_s
    phase = start - math.floor(start)
    elapsed = first_sample / rate
    gap_shift = np.zeros(len(fmt))
    for at, length in faults.gaps:
        gap_shift[elapsed >= at] += length
    back_shift = np.zeros(len(fmt))
    for at, length in faults.backward_jumps:
        back_shift[elapsed >= at] += length
    model_t = phase + first_sample / true_rate + gap_shift
    clock_t = model_t - back_shift

    # A block stamps the whole second at which its sample `offset` was taken, rounded to the
    # nearest sample tick. When that second falls beyond the block's last sample (short 6- and
    # 9-axis blocks), the previous second is stamped and the offset goes negative.
    stamped = clock_t.copy()
    if faults.jitter_s > 0:
        stamped += np.random.default_rng([rec.seed, 1]).normal(0.0, faults.jitter_s, len(fmt))
    second = np.ceil(stamped - 1e-9)
    offset = np.rint((second - stamped) * true_rate)
    late = offset >= count
    second[late] -= 1.0
    offset[late] = np.rint((second[late] - stamped[late]) * true_rate)
    if np.any(np.abs(offset) > 32767):
        raise ValueError("the rate is too high for the clock reading's offset field")
    timestamp = _layout.packed_times(math.floor(start) + second.astype(np.int64))

    rng = np.random.default_rng([rec.seed, 0])
    duration = float(model_t[-1] + count[-1] / rate)
    anchor_t = np.arange(0.0, duration + 60.0, 30.0)
    hour = ((math.floor(start) + anchor_t) % 86400) / 3600.0
    night = (hour >= 23) | (hour < 7)
    keep = night & (rng.random(anchor_t.size) < 0.97)
    keep[0] = False
    source = np.maximum.accumulate(np.where(keep, 0, np.arange(anchor_t.size)))
    # Forearm hanging or resting: gravity mostly along -x with a spread of tilts.
    g = np.array([-0.75, 0.15, -0.45]) + 0.55 * rng.standard_normal((anchor_t.size, 3))
    g /= np.linalg.norm(g, axis=1, keepdims=True)

    n = len(fmt)
    mid = model_t + 0.5 * count / rate
    bhour = ((math.floor(start) + mid) % 86400) / 3600.0
    day_curve = np.clip(np.sin((bhour - 7.0) / 16.0 * np.pi), 0.0, None)
    minute = (mid // 60).astype(np.int64)
    burst = rng.gamma(0.6, 0.4, size=minute[-1] + 1)[minute]
    level = np.minimum(0.01 + day_curve * burst, 0.6).astype(np.float32)
    temperature_c = 31.0 + 1.5 * np.sin((bhour - 15.0) / 24.0 * 2 * np.pi) + 0.2 * rng.standard_normal(n)
    # The light field is logarithmic (lux = 10 ** (raw / 341)): about 300 lux by day, 1 at night.
    light = 40.0 + 810.0 * day_curve + 30.0 * rng.standard_normal(n)
    light_raw = np.clip(np.rint(light), 0, 1023).astype(np.uint16)
    battery_v = 4.15 - 0.40 * np.arange(n) / max(n - 1, 1)
    wearer = None
    if rec.segments is not None:
        # The wearer's script runs in real time from the first sample, through gaps in recording.
        wearer = _wearer.Body.of(rec.segments, duration - phase, rec.seed, origin=phase)
        temperature_c = wearer.temperature(mid)
    return _Plan(fmt=fmt, count=count, first_sample=first_sample, model_t=model_t, clock_t=clock_t,
                 timestamp=timestamp, offset=offset.astype(np.int16), level=level,
                 temperature_c=temperature_c, light_raw=light_raw, battery_v=battery_v,
                 anchor_t=anchor_t, anchor_g=g[source], true_rate=true_rate, wearer=wearer)


def _chunks(fmt: np.ndarray):
    """(b0, b1) ranges of at most BLOCKS_PER_CHUNK blocks, each of one format."""
    edges = np.flatnonzero(np.diff(fmt.astype(np.int16))) + 1
    bounds = [0, *edges.tolist(), len(fmt)]
    for lo, hi in zip(bounds[:-1], bounds[1:]):
        for b0 in range(lo, hi, BLOCKS_PER_CHUNK):
            yield b0, min(hi, b0 + BLOCKS_PER_CHUNK)


# ---------------------------------------------------------------------------- the samples


def _noise(rng: np.random.Generator, n: int, sigma: float) -> np.ndarray:
    """Three rows of zero-mean sensor noise with standard deviation `sigma`. The sum of two
    uniform bytes (a triangular distribution) is five times cheaper than Gaussian draws and
    indistinguishable after quantisation to sensor counts."""
    b = np.frombuffer(rng.bytes(6 * n), dtype=np.int8).reshape(3, 2, n)
    return (b[:, 0].astype(np.float32) + b[:, 1]) * np.float32(sigma / 104.5)


def _motion(plan: _Plan, b0: int, b1: int, spb: int, rate: float, seed: int):
    """Acceleration (g), gyroscope (dps) and magnetometer rows (3, n) of blocks b0..b1-1; the
    last two None when the blocks' format has no such sensor. Work is done on (block, sample)
    arrays in single precision; only each block's start is kept in double precision."""
    if plan.wearer is not None:
        return _worn_motion(plan, b0, b1, spb, rate, seed)
    fmt = int(plan.fmt[b0])
    nb = b1 - b0
    n = nb * spb
    f32 = np.float32
    rng = np.random.default_rng([seed, 2, b0])
    kt = np.arange(spb, dtype=np.float64) / plan.true_rate
    t0 = plan.model_t[b0:b1, None]
    # Postures change over tens of seconds, so gravity is interpolated ten times a second only.
    step = max(1, int(round(rate / 10.0)))
    coarse = (t0 + kt[None, ::step]).ravel()
    g = [np.repeat(np.interp(coarse, plan.anchor_t, plan.anchor_g[:, a]).astype(f32).reshape(nb, -1),
                   step, axis=1)[:, :spb] for a in range(3)]
    inv = f32(1.0) / np.sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2])
    level = plan.level[b0:b1, None]
    w = 2.0 * np.pi * 1.8
    phase = (np.mod(t0 * w, 2.0 * np.pi)).astype(f32) + (kt * w).astype(f32)[None, :]
    s, c = np.sin(phase), np.cos(phase)
    noise = _noise(rng, n, 0.012).reshape(3, nb, spb)
    acc = np.stack([
        g[0] * inv + level * s + noise[0],
        g[1] * inv + f32(0.5) * level * c + noise[1],
        g[2] * inv + f32(0.6) * level * s * c + noise[2],
    ]).reshape(3, n)
    return (acc, *_gyro_mag(rng, fmt, n, level, s, c, g, inv))


def _gyro_mag(rng: np.random.Generator, fmt: int, n: int, level, s, c, gravity, inv):
    """The gyroscope and magnetometer of `n` samples (None where the format has none): the
    forearm turning at `level` with phase (s, c), and the earth's field turning with it as
    `gravity` (times `inv`, one over its length) does."""
    f32 = np.float32
    gyro = mag = None
    if fmt >> 4 >= 6:
        gnoise = _noise(rng, n, 0.4).reshape((3, *s.shape))
        gyro = np.stack([
            f32(250.0) * level * c + gnoise[0] + f32(0.8),
            f32(-180.0) * level * s + gnoise[1] - f32(0.3),
            f32(90.0) * level * (c * c - s * s) + gnoise[2],
        ]).reshape(3, n)
    if fmt >> 4 == 9:
        mnoise = _noise(rng, n, 0.004).reshape((3, *s.shape))
        mag = np.stack([f32(0.25) * gravity[(a + 1) % 3] * inv + f32(0.1) + mnoise[a] for a in range(3)]).reshape(3, n)
    return gyro, mag


def _worn_motion(plan: _Plan, b0: int, b1: int, spb: int, rate: float, seed: int):
    """As `_motion`, for a recording that follows the wearer's script."""
    fmt = int(plan.fmt[b0])
    n = (b1 - b0) * spb
    rng = np.random.default_rng([seed, 4, b0])
    assert plan.wearer is not None
    wrist = plan.wearer.motion(plan.model_t[b0:b1], np.arange(spb, dtype=np.float64) / plan.true_rate,
                               max(1, int(round(rate / 10.0))))
    acc = _noise(rng, n, _wearer.NOISE_G)
    scale = wrist.inverse_length * wrist.magnitude
    for a in range(3):
        acc[a] += wrist.sway[a] * scale
    return (acc, *_gyro_mag(rng, fmt, n, wrist.strength, wrist.sin, wrist.cos, wrist.sway, wrist.inverse_length))


def _temperature_raw(celsius: np.ndarray) -> np.ndarray:
    """The 10-bit temperature field of blocks: (raw * 75 / 256 - 50) degrees C."""
    return np.clip(np.rint((celsius + 50.0) * 256.0 / 75.0), 0, 1023)


def _stored_temperature(celsius: np.ndarray) -> np.ndarray:
    """The temperature a reader finds in blocks written for `celsius`."""
    return _temperature_raw(celsius) * (75.0 / 256.0) - 50.0


def _to_i16(values: np.ndarray, scale: float) -> np.ndarray:
    return np.clip(np.rint(values * np.float32(scale)), -32768, 32767).astype(np.int16)


# ---------------------------------------------------------------------------- faults


def _damage(blocks: np.ndarray, i: int, kind: str) -> None:
    """Damage block i after its checksum was made, as a corrupted sector would be."""
    if kind == "timestamp":
        blocks["timestamp"][i] = (int(blocks["timestamp"][i]) & ~(0xF << 22)) | 13 << 22
    elif kind == "format":
        blocks["fmt"][i] = 0x31
    elif kind == "count":
        blocks["sample_count"][i] = _layout.SAMPLE_AREA // _layout.BYTES_PER_SAMPLE[int(blocks["fmt"][i])] + 1
    else:
        blocks["rate_code"][i] = 0


def _non_data_sector(kind: str) -> bytes:
    if kind == "zeros":
        return bytes(_layout.SECTOR)
    if kind == "erased":
        return b"\xff" * _layout.SECTOR
    return _layout.data_block(sample_count=0, fmt=0x30, rate_code=0x4A, checksum=None)
