"""Writes the seed corpora of the fuzz targets: small recordings of every sample format, with
clock gaps, overlaps and damaged blocks, built by the test suite's recording builder.

Usage: python fuzz/make_seeds.py OUTPUT_DIR  (writes OUTPUT_DIR/<target>/<name>)

The targets that take options read them from the input's first bytes (fuzz/fuzz_support.hpp),
so their seeds are the recordings behind a few option prefixes.
"""

import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import cwa_builder as cb  # noqa: E402

FORMATS = (0x30, 0x32, 0x62, 0x92)
T0 = cb.packed_time(2023, 6, 15, 12, 34, 56)


def at(seconds: int) -> int:
    """The packed time `seconds` after T0, within the same day."""
    s = 34 * 60 + 56 + seconds
    return cb.packed_time(2023, 6, 15, 12 + s // 3600, s // 60 % 60, s % 60)


def samples(rng: random.Random, fmt: int, count: int) -> bytes:
    if fmt == 0x30:
        return cb.packed3([(rng.randrange(-512, 512), rng.randrange(-512, 512), rng.randrange(-512, 512),
                            rng.randrange(4)) for _ in range(count)])
    axes = {0x32: 3, 0x62: 6, 0x92: 9}[fmt]
    return cb.unpacked([[rng.randrange(-32768, 32768) for _ in range(axes)] for _ in range(count)])


def block(rng: random.Random, fmt: int, second: int, count: int = 10, **fields) -> bytes:
    """A data block of `count` samples at 12.5 Hz (rate code 0x07) starting `second` after T0."""
    fields = {**dict(rate_code=0x07, light=rng.randrange(1 << 16), temperature=rng.randrange(1024),
                     battery=rng.randrange(256)), **fields}
    return cb.data_block(fmt=fmt, timestamp=at(second), samples=samples(rng, fmt, count), **fields)


def recordings():
    """(name, bytes) of every seed recording."""
    rng = random.Random(11)
    for fmt in FORMATS:
        steady = [block(rng, fmt, s) for s in range(0, 8, 1)]
        yield f"steady-{fmt:02x}", steady
        # a clock gap of a minute, an overlap, a packet back in time
        yield f"gaps-{fmt:02x}", [block(rng, fmt, s) for s in (0, 1, 61, 61, 62, 30, 63)]
        # sample offsets into the packet, and another rate code
        yield f"offsets-{fmt:02x}", [block(rng, fmt, s, timestamp_offset=o, rate_code=0x4A, count=6)
                                     for s, o in ((0, 0), (1, 3), (2, -2), (3, 5))]
    mixed = [block(rng, fmt, s) for s, fmt in enumerate(FORMATS * 2)]
    yield "mixed-formats", mixed
    damaged = [block(rng, 0x32, 0), cb.zero_sector(), block(rng, 0x32, 1), cb.ff_sector(),
               cb.raw_sector(b"AX"), block(rng, 0x32, 2)]
    yield "non-data-sectors", damaged
    for name, fields in [("old-format", dict(rate_code=0)), ("bad-format", dict(fmt=0x44)),
                         ("over-capacity", dict(sample_count=121)), ("bad-time", dict(timestamp=0xFFFFFFFF))]:
        sectors = [block(rng, 0x30, 0), block(rng, 0x30, 1)]
        sectors.insert(1, cb.data_block(**{**dict(fmt=0x30, timestamp=at(1)), **fields}))
        yield f"damaged-{name}", sectors
    yield "metadata-only", []
    for name, recording in [("full-packed", [cb.data_block(fmt=0x30, timestamp=at(s)) for s in range(3)]),
                            ("full-nine-axis", [cb.data_block(fmt=0x92, timestamp=at(s)) for s in range(3)])]:
        yield name, recording


def seed_files():
    """(name, bytes) of every recording file, including one that ends inside a sector."""
    meta = cb.metadata_block(logging_start=at(0), logging_end=at(3600), last_change=T0,
                             sensor_config=0x92, annotation=b"fuzz seed")
    for name, sectors in recordings():
        yield name, meta + b"".join(sectors)
    yield "partial-sector", meta + cb.data_block(timestamp=at(0)) + b"AX" + bytes(62)


# Option prefixes (fuzz_support.hpp): byte 0 = cut kind | channel bits, bytes 1-2 = cut bounds,
# byte 3 = rate, byte 4 = UTC offset hours + 128.
ALL_CHANNELS = 0x3C
PREFIXES = {
    "metadata_scan": [b""],
    "plan_read": [bytes([ALL_CHANNELS, 0xFF, 0xFF]), bytes([ALL_CHANNELS | 1, 2, 12]),
                  bytes([0x01, 0xFF, 6]), bytes([ALL_CHANNELS | 2, 1, 4]), bytes([0x03, 0, 0])],
    "resampled_read": [bytes([ALL_CHANNELS, 0xFF, 0xFF, 2]), bytes([ALL_CHANNELS | 1, 1, 20, 3]),
                       bytes([0x02, 2, 0xFF, 5]), bytes([0x01, 0, 3, 7])],
    "csv_roads": [bytes([ALL_CHANNELS, 0xFF, 0xFF, 0, 128]), bytes([ALL_CHANNELS | 1, 2, 12, 0, 126]),
                  bytes([0x3E, 1, 4, 0x82, 129]), bytes([0x04, 0xFF, 0xFF, 0x83, 128])],
}


def main(out: Path):
    files = list(seed_files())
    for target, prefixes in PREFIXES.items():
        folder = out / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in files:
            for i, prefix in enumerate(prefixes):
                (folder / f"{name}-{i}").write_bytes(prefix + data)


if __name__ == "__main__":
    main(Path(sys.argv[1]))
