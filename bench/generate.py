"""Fixed-seed generator of long, realistic CWA recordings for the benchmarks.

A recording is a 1024-byte metadata block followed by one 512-byte data block per
packet, written a few million samples at a time with vectorised NumPy so that a
7-day file (about 258 MB packed) takes seconds, not minutes.

What makes the data realistic enough to exercise every road of the reader:

* the sample clock runs a few ppm fast against the device's real-time clock, so
  each packet's whole-second timestamp and its timestamp offset (the index of the
  sample that falls on that second) jitter by up to half a sample period, and the
  reader joins consecutive packets instead of seeing one exact grid;
* the wrist changes posture every half minute or so (rarely at night), moves with
  a walking-like rhythm whose strength follows the time of day, and every axis
  carries sensor noise, so values are not compressible runs of constants;
* temperature, light and battery drift slowly as on a worn device.

    python bench/generate.py                     # 7 days, packed 3-axis
    python bench/generate.py --axes 6 --days 2   # unpacked gyroscope + accelerometer
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

DEFAULT_DIR = Path(tempfile.gettempdir()) / "kelpmoor-bench"

RATE_HZ = 100
RATE_CODE = 0x4A  # low nibble 0xA: 100 Hz; top bits 01: +-8 g range
SECTOR = 512
HEADER_BYTES = 1024
# 2024-03-04 09:00:00 on the device clock (counted as if UTC), plus a sub-second phase
# so that the first packet does not start on a whole second.
START_EPOCH = 1709542800
START_PHASE_S = 0.37
CLOCK_PPM = 15.0
SAMPLES_PER_CHUNK = 240_000  # small enough to stay in cache and reuse freed memory
POSTURE_STEP = 10


@dataclass(frozen=True)
class Layout:
    axes: int
    format_byte: int
    samples_per_block: int
    hardware_type: int
    sensor_config: int
    light_scale_bits: int  # accelerometer scale code << 13 | gyroscope range code << 10
    acc_counts_per_g: float
    gyro_counts_per_dps: float


LAYOUTS = {
    # packed 10-bit values, exponent 0, 256 counts per g
    3: Layout(3, 0x30, 120, 0x00, 0x00, 0, 256.0, 0.0),
    # i16 gyroscope then i16 accelerometer: scale code 4 (4096 counts/g), range code 2 (2000 dps)
    6: Layout(6, 0x62, 40, 0x64, 0x02, (4 << 13) | (2 << 10), 4096.0, 32768.0 / 2000.0),
}


def default_path(days: float = 7, axes: int = 3, seed: int = 12345) -> Path:
    return DEFAULT_DIR / f"rec_{days:g}d_{axes}ax_s{seed}.cwa"


def block_count(days: float, axes: int) -> int:
    return int(round(days * 86400 * RATE_HZ)) // LAYOUTS[axes].samples_per_block


def packed_datetime(epoch_s: np.ndarray) -> np.ndarray:
    """Whole epoch seconds (device clock) to the 32-bit packed date-time of the format."""
    epoch_s = np.asarray(epoch_s, dtype=np.int64)
    day = (epoch_s // 86400).astype("datetime64[D]")
    month_start = day.astype("datetime64[M]")
    year = day.astype("datetime64[Y]").astype(np.int64) + 1970
    month = month_start.astype(np.int64) % 12 + 1
    dom = (day - month_start).astype(np.int64) + 1
    sod = epoch_s % 86400
    hour, minute, second = sod // 3600, sod // 60 % 60, sod % 60
    packed = ((year - 2000) << 26) | (month << 22) | (dom << 17) | (hour << 12) | (minute << 6) | second
    return packed.astype(np.uint32)


def metadata_block(layout: Layout, days: float, seed: int) -> bytes:
    md = bytearray(b"\xff" * HEADER_BYTES)
    md[0:64] = bytes(64)
    md[0:2] = b"MD"
    md[2:4] = (HEADER_BYTES - 4).to_bytes(2, "little")
    md[4] = layout.hardware_type
    device_id = 10000 + seed % 50000
    md[5:7] = (device_id & 0xFFFF).to_bytes(2, "little")
    md[7:11] = (seed & 0xFFFFFFFF).to_bytes(4, "little")
    md[11:13] = (0xFFFF).to_bytes(2, "little")  # no upper device id
    start, end, changed = packed_datetime([START_EPOCH, START_EPOCH + int(days * 86400), START_EPOCH - 3600])
    md[13:17] = int(start).to_bytes(4, "little")
    md[17:21] = int(end).to_bytes(4, "little")
    md[26] = 1  # flash LED
    md[35] = layout.sensor_config
    md[36] = RATE_CODE
    md[37:41] = int(changed).to_bytes(4, "little")
    md[41] = 48  # firmware revision
    note = f"generated benchmark recording seed={seed}".encode()
    md[64:512] = note + b" " * (448 - len(note))
    return bytes(md)


def block_dtype(layout: Layout) -> np.dtype:
    if layout.axes == 3:
        data = ("<u4", (layout.samples_per_block,))
    else:
        data = ("<i2", (layout.samples_per_block, 6))
    fields = [
        ("header", "S2", 0), ("length", "<u2", 2), ("fractional", "<u2", 4), ("session", "<u4", 6),
        ("sequence", "<u4", 10), ("timestamp", "<u4", 14), ("light", "<u2", 18),
        ("temperature", "<u2", 20), ("events", "u1", 22), ("battery", "u1", 23),
        ("rate", "u1", 24), ("format", "u1", 25), ("offset", "<i2", 26), ("count", "<u2", 28),
        ("data", data, 30), ("checksum", "<u2", 510),
    ]
    return np.dtype({"names": [f[0] for f in fields], "formats": [f[1] for f in fields],
                     "offsets": [f[2] for f in fields], "itemsize": SECTOR})


def block_clock(layout: Layout, n_blocks: int):
    """Whole-second timestamp and timestamp offset of every packet.

    The sample clock runs CLOCK_PPM fast; a packet stamps the whole second at which its
    sample `offset` was taken (rounded to the nearest sample, as the device latches the
    second on a sample tick). When that second falls beyond the packet's last sample
    (short 6-axis packets) the previous second is stamped and the offset goes negative.
    """
    spb = layout.samples_per_block
    true_rate = RATE_HZ * (1.0 + CLOCK_PPM * 1e-6)
    first = START_PHASE_S + np.arange(n_blocks, dtype=np.float64) * (spb / true_rate)
    second = np.ceil(first - 1e-9)
    offset = np.rint((second - first) * true_rate)
    late = offset >= spb
    second[late] -= 1.0
    offset[late] = np.rint((second[late] - first[late]) * true_rate)
    return START_EPOCH + second.astype(np.int64), offset.astype(np.int16)


class _Model:
    """Slow, recording-wide state: postures, activity level, auxiliary fields."""

    def __init__(self, layout: Layout, n_blocks: int, rng: np.random.Generator):
        spb = layout.samples_per_block
        duration = n_blocks * spb / RATE_HZ
        # Posture anchors every 30 s; at night the wrist mostly stays where it was.
        self.anchor_t = np.arange(0.0, duration + 60.0, 30.0)
        hour = ((START_EPOCH + self.anchor_t) % 86400) / 3600.0
        night = (hour >= 23) | (hour < 7)
        keep = night & (rng.random(self.anchor_t.size) < 0.97)
        keep[0] = False
        source = np.maximum.accumulate(np.where(keep, 0, np.arange(self.anchor_t.size)))
        # Forearm hanging or resting: gravity mostly along -x with a spread of tilts.
        g = np.array([-0.75, 0.15, -0.45]) + 0.55 * rng.standard_normal((self.anchor_t.size, 3))
        g /= np.linalg.norm(g, axis=1, keepdims=True)
        self.anchor_g = g[source]

        block_mid = (np.arange(n_blocks) + 0.5) * spb / RATE_HZ
        bhour = ((START_EPOCH + block_mid) % 86400) / 3600.0
        day_curve = np.clip(np.sin((bhour - 7.0) / 16.0 * np.pi), 0.0, None)
        minute = (block_mid // 60).astype(np.int64)
        burst = rng.gamma(0.6, 0.4, size=minute[-1] + 1)[minute]
        self.level = (0.01 + day_curve * burst).astype(np.float32)
        self.level = np.minimum(self.level, 0.6)

        temp_c = 31.0 + 1.5 * np.sin((bhour - 15.0) / 24.0 * 2 * np.pi) + 0.2 * rng.standard_normal(n_blocks)
        self.temperature = np.clip(np.rint((temp_c + 50.0) * 256.0 / 75.0), 0, 1023).astype(np.uint16)
        # The light field is logarithmic (lux = 10 ** (raw / 341)): about 300 lux by day, 1 at night.
        light = 40.0 + 810.0 * day_curve + 30.0 * rng.standard_normal(n_blocks)
        self.light = np.clip(np.rint(light), 0, 1023).astype(np.uint16) | np.uint16(layout.light_scale_bits)
        volts = 4.15 - 0.40 * np.arange(n_blocks) / max(n_blocks - 1, 1)
        self.battery = np.clip(np.rint(volts * 1024.0 / 6.0 - 512.0), 0, 255).astype(np.uint8)


def _noise(rng: np.random.Generator, n: int, sigma: float) -> np.ndarray:
    """Three rows of zero-mean sensor noise with standard deviation `sigma`.

    The sum of two uniform bytes (a triangular distribution) is five times cheaper
    than Gaussian draws and indistinguishable after quantisation to sensor counts.
    """
    b = np.frombuffer(rng.bytes(6 * n), dtype=np.int8).reshape(3, 2, n)
    return (b[:, 0].astype(np.float32) + b[:, 1]) * np.float32(sigma / 104.5)


def _samples(layout: Layout, model: _Model, b0: int, b1: int, rng: np.random.Generator):
    """Accelerometer (g) and gyroscope (dps, 6-axis only) of the samples of blocks b0..b1-1."""
    spb = layout.samples_per_block
    n = (b1 - b0) * spb
    t = (np.arange(n, dtype=np.float64) + b0 * spb) / RATE_HZ
    # Postures change over tens of seconds, so gravity is interpolated at 10 Hz only.
    coarse = t[::POSTURE_STEP]
    g = [np.repeat(np.interp(coarse, model.anchor_t, model.anchor_g[:, a]).astype(np.float32), POSTURE_STEP)
         for a in range(3)]
    inv = np.float32(1.0) / np.sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2])
    level = np.repeat(model.level[b0:b1], spb)
    phase = (t * (2.0 * np.pi * 1.8)).astype(np.float32)
    s, c = np.sin(phase), np.cos(phase)
    noise = _noise(rng, n, 0.012)
    acc = np.stack([
        g[0] * inv + level * s + noise[0],
        g[1] * inv + np.float32(0.5) * level * c + noise[1],
        g[2] * inv + np.float32(0.6) * level * s * c + noise[2],
    ])
    gyro = None
    if layout.axes == 6:
        gnoise = _noise(rng, n, 0.4)
        gyro = np.stack([
            np.float32(250.0) * level * c + gnoise[0] + np.float32(0.8),
            np.float32(-180.0) * level * s + gnoise[1] - np.float32(0.3),
            np.float32(90.0) * level * (c * c - s * s) + gnoise[2],
        ])
    return acc, gyro


def _pack_3axis(acc: np.ndarray) -> np.ndarray:
    counts = np.clip(np.rint(acc * np.float32(256.0)), -512, 511).astype(np.int32) & 0x3FF
    return (counts[0] | (counts[1] << 10) | (counts[2] << 20)).astype(np.uint32)


def _to_i16(values: np.ndarray, scale: float) -> np.ndarray:
    return np.clip(np.rint(values * np.float32(scale)), -32768, 32767).astype(np.int16)


def generate(path, days: float = 7, axes: int = 3, seed: int = 12345) -> Path:
    """Write a recording of `days` days at 100 Hz to `path` and return the path.

    The file appears under its final name only when complete, so an interrupted run
    never leaves a truncated recording for the benchmarks to pick up.
    """
    layout = LAYOUTS[axes]
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    n_blocks = block_count(days, axes)
    spb = layout.samples_per_block
    rng = np.random.default_rng(seed)
    model = _Model(layout, n_blocks, rng)
    stamp_s, offsets = block_clock(layout, n_blocks)
    stamps = packed_datetime(stamp_s)
    dtype = block_dtype(layout)
    chunk = max(1, SAMPLES_PER_CHUNK // spb)

    tmp = path.with_name(path.name + f".part{os.getpid()}")
    with open(tmp, "wb") as out:
        out.write(metadata_block(layout, days, seed))
        for b0 in range(0, n_blocks, chunk):
            b1 = min(n_blocks, b0 + chunk)
            blk = np.zeros(b1 - b0, dtype=dtype)
            blk["header"] = b"AX"
            blk["length"] = SECTOR - 4
            blk["session"] = seed & 0xFFFFFFFF
            blk["sequence"] = np.arange(b0, b1, dtype=np.uint32)
            blk["timestamp"] = stamps[b0:b1]
            blk["light"] = model.light[b0:b1]
            blk["temperature"] = model.temperature[b0:b1]
            blk["battery"] = model.battery[b0:b1]
            blk["rate"] = RATE_CODE
            blk["format"] = layout.format_byte
            blk["offset"] = offsets[b0:b1]
            blk["count"] = spb
            acc, gyro = _samples(layout, model, b0, b1, rng)
            if axes == 3:
                blk["data"] = _pack_3axis(acc).reshape(b1 - b0, spb)
            else:
                six = np.empty((b1 - b0, spb, 6), dtype=np.int16)
                for a in range(3):
                    six[:, :, a] = _to_i16(gyro[a], layout.gyro_counts_per_dps).reshape(b1 - b0, spb)
                    six[:, :, 3 + a] = _to_i16(acc[a], layout.acc_counts_per_g).reshape(b1 - b0, spb)
                blk["data"] = six
            # The device makes all 256 words of a sector sum to zero.
            words = blk.view(np.uint16).reshape(b1 - b0, SECTOR // 2)
            blk["checksum"] = (-words[:, :-1].sum(axis=1, dtype=np.uint64)).astype(np.uint16)
            out.write(blk.tobytes())
    os.replace(tmp, path)
    return path


def ensure(days: float = 7, axes: int = 3, seed: int = 12345, path=None) -> Path:
    """The recording for these parameters, generated first if it is not there yet.

    A file at the default location with the wrong size (an older generator, other
    parameters) is replaced; a file the caller named is never overwritten.
    """
    expected = HEADER_BYTES + SECTOR * block_count(days, axes)
    target = Path(path) if path else default_path(days, axes, seed)
    if target.exists() and target.stat().st_size == expected:
        return target
    if path and target.exists():
        raise SystemExit(f"{target} is not a {days:g}-day {axes}-axis recording ({expected} bytes); not overwriting it")
    return generate(target, days=days, axes=axes, seed=seed)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--days", type=float, default=7)
    ap.add_argument("--axes", type=int, choices=sorted(LAYOUTS), default=3)
    ap.add_argument("--seed", type=int, default=12345)
    ap.add_argument("--out", type=Path, help=f"output file (default: {DEFAULT_DIR}/rec_...cwa)")
    args = ap.parse_args(argv)
    out = args.out or default_path(args.days, args.axes, args.seed)
    t0 = time.perf_counter()
    generate(out, days=args.days, axes=args.axes, seed=args.seed)
    dt = time.perf_counter() - t0
    size = out.stat().st_size
    print(f"{out}  {block_count(args.days, args.axes)} blocks  {size / 1e6:.1f} MB  {dt:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
