"""The byte layout of a CWA recording, in one place for every writer.

A recording is a 1024-byte metadata block ("MD") followed by 512-byte sectors, each one data
block ("AX") or anything else the reader steps over. Both blocks are described here as NumPy
structured dtypes, so that one block and half a million blocks are packed by the same field
definitions: the synthetic writer fills whole arrays of blocks at once, the test builder fills
one block and overrides any field with any value, including impossible ones.
"""
from __future__ import annotations

import calendar
import os
from typing import TYPE_CHECKING, Any, Iterator

import numpy as np

if TYPE_CHECKING:
    import pandas as pd

SECTOR = 512
METADATA_BYTES = 1024
SAMPLE_AREA = 480
SAMPLE_AREA_OFFSET = 30

# The reader's error for a range of blocks that holds no data packet.
NO_DATA = "No valid sample data found in the specified range"

# Format byte (axes << 4 | packing) -> bytes per sample.
BYTES_PER_SAMPLE = {0x30: 4, 0x32: 6, 0x62: 12, 0x92: 18}


def format_byte(axes: int, packed: bool) -> int:
    """The format byte of a sample layout: packed 3-axis, or unpacked 3, 6 or 9 axes."""
    if packed:
        if axes != 3:
            raise ValueError(f"only 3-axis samples can be packed, not {axes}-axis")
        return 0x30
    if axes not in (3, 6, 9):
        raise ValueError(f"axes must be 3, 6 or 9, not {axes!r}")
    return axes << 4 | 2


def samples_per_block(fmt: int) -> int:
    """The most samples a block of this format holds (120, 80, 40 or 26)."""
    return SAMPLE_AREA // BYTES_PER_SAMPLE[fmt]


# ---------------------------------------------------------------------------- packed date-time


def packed_time(y: int, mo: int, d: int, h: int = 0, mi: int = 0, s: int = 0) -> int:
    """The packed 32-bit date-time of the device clock; fields are not checked."""
    return ((y - 2000) << 26) | (mo << 22) | (d << 17) | (h << 12) | (mi << 6) | s


def unpack_time(raw: int) -> tuple[int, int, int, int, int, int]:
    return ((raw >> 26) + 2000, (raw >> 22) & 0xF, (raw >> 17) & 0x1F,
            (raw >> 12) & 0x1F, (raw >> 6) & 0x3F, raw & 0x3F)


def epoch_of_packed(raw: int) -> int:
    """Seconds since 1970 of a packed date-time, the device clock read as if it were UTC."""
    return calendar.timegm(unpack_time(raw))


def packed_times(epoch_s) -> np.ndarray:
    """Whole epoch seconds (device clock) to packed date-times, for any number at once."""
    epoch_s = np.asarray(epoch_s, dtype=np.int64)
    day = (epoch_s // 86400).astype("datetime64[D]")
    month_start = day.astype("datetime64[M]")
    year = day.astype("datetime64[Y]").astype(np.int64) + 1970
    if np.any((year < 2000) | (year > 2063)):
        raise ValueError("the packed date-time holds the years 2000 to 2063 only")
    month = month_start.astype(np.int64) % 12 + 1
    dom = (day - month_start).astype(np.int64) + 1
    sod = epoch_s % 86400
    hour, minute, second = sod // 3600, sod // 60 % 60, sod % 60
    packed = ((year - 2000) << 26) | (month << 22) | (dom << 17) | (hour << 12) | (minute << 6) | second
    return packed.astype(np.uint32)


# ---------------------------------------------------------------------------- metadata block


def _struct(fields, itemsize: int) -> np.dtype:
    return np.dtype({"names": [f[0] for f in fields], "formats": [f[1] for f in fields],
                     "offsets": [f[2] for f in fields], "itemsize": itemsize})


METADATA_DTYPE = _struct([
    ("header", "S2", 0), ("packet_length", "<u2", 2), ("hardware_type", "u1", 4),
    ("device_id", "<u2", 5), ("session_id", "<u4", 7), ("upper_device_id", "<u2", 11),
    ("logging_start", "<u4", 13), ("logging_end", "<u4", 17), ("flash_led", "u1", 26),
    ("sensor_config", "u1", 35), ("rate_code", "u1", 36), ("last_change", "<u4", 37),
    ("firmware_revision", "u1", 41), ("annotation", ("u1", (448,)), 64),
], METADATA_BYTES)


def metadata_block(*, header=b"MD", packet_length=METADATA_BYTES - 4, hardware_type=0, device_id=0,
                   session_id=0, upper_device_id=0xFFFF, logging_start=0, logging_end=0, flash_led=0,
                   sensor_config=0, rate_code=0x4A, last_change=0, firmware_revision=0,
                   annotation=b"", unused=0x00) -> bytes:
    """One metadata block. The annotation area is padded with spaces; bytes no field covers
    hold `unused` (0x00, or 0xFF as in a device's erased flash)."""
    if len(annotation) > 448:
        raise ValueError("the annotation area holds 448 bytes")
    md = np.full(METADATA_BYTES, unused, dtype=np.uint8)
    block = md.view(METADATA_DTYPE)
    if unused:
        md[:64] = 0
    block["header"] = header
    block["packet_length"] = packet_length
    block["hardware_type"] = hardware_type
    block["device_id"] = device_id
    block["session_id"] = session_id
    block["upper_device_id"] = upper_device_id
    block["logging_start"] = logging_start
    block["logging_end"] = logging_end
    block["flash_led"] = flash_led
    block["sensor_config"] = sensor_config
    block["rate_code"] = rate_code
    block["last_change"] = last_change
    block["firmware_revision"] = firmware_revision
    block["annotation"] = np.frombuffer(bytes(annotation).ljust(448, b" "), dtype=np.uint8)
    return md.tobytes()


# ---------------------------------------------------------------------------- data blocks


DATA_DTYPE = _struct([
    ("header", "S2", 0), ("packet_length", "<u2", 2), ("device_fractional", "<u2", 4),
    ("session_id", "<u4", 6), ("sequence_id", "<u4", 10), ("timestamp", "<u4", 14),
    ("light", "<u2", 18), ("temperature", "<u2", 20), ("events", "u1", 22), ("battery", "u1", 23),
    ("rate_code", "u1", 24), ("fmt", "u1", 25), ("timestamp_offset", "<i2", 26),
    ("sample_count", "<u2", 28), ("samples", ("u1", (SAMPLE_AREA,)), SAMPLE_AREA_OFFSET),
    ("checksum", "<u2", 510),
], SECTOR)


def data_blocks(n: int) -> np.ndarray:
    """`n` zeroed data blocks with the "AX" letters and the usual packet length."""
    blocks = np.zeros(n, dtype=DATA_DTYPE)
    blocks["header"] = b"AX"
    blocks["packet_length"] = SECTOR - 4
    return blocks


def checksums(blocks: np.ndarray) -> np.ndarray:
    """The checksum word that makes all 256 words of each block sum to zero."""
    words = blocks.view(np.uint16).reshape(len(blocks), SECTOR // 2)
    return (-words[:, :-1].sum(axis=1, dtype=np.uint64)).astype(np.uint16)


def data_block(*, samples=b"", checksum=0, **fields) -> bytes:
    """One data block: every field of the layout by name, the raw sample bytes (zero-padded to
    the 480-byte area), and the checksum word, or None to compute the one devices write."""
    if len(samples) > SAMPLE_AREA:
        raise ValueError(f"a block holds {SAMPLE_AREA} bytes of samples, not {len(samples)}")
    block = data_blocks(1)
    for name, value in fields.items():
        block[name] = value
    block["samples"][0, :len(samples)] = np.frombuffer(bytes(samples), dtype=np.uint8)
    block["checksum"] = checksums(block) if checksum is None else checksum
    return block.tobytes()


# ---------------------------------------------------------------------------- samples


def pack3(x, y, z, exponent=0) -> np.ndarray:
    """Packed 3-axis words: 10-bit two's-complement x, y, z (-512..511) and a 2-bit exponent."""
    # Unsigned 32-bit arithmetic: a negative value wraps to its two's complement, whose low
    # ten bits are the field.
    x, y, z, e = (np.asarray(v).astype(np.uint32) for v in (x, y, z, exponent))
    x &= 0x3FF
    x |= (y & 0x3FF) << 10
    x |= (z & 0x3FF) << 20
    x |= e << 30
    return x.astype("<u4", copy=False)


def pack3_scaled(counts) -> np.ndarray:
    """Packed words of x, y, z given in counts of 1/256 g (rows; any real values): each sample
    takes the smallest exponent whose step keeps its three values within 10 bits, as the
    device does, and is rounded to that step. Values beyond -4096..3584 counts saturate."""
    counts = np.asarray(counts, dtype=np.float32)
    rounded = np.rint(counts)
    wide = np.flatnonzero(np.any((rounded > 511) | (rounded < -512), axis=0))
    e = np.zeros(counts.shape[1], dtype=np.int64)
    if wide.size:
        # Few samples need an exponent (beyond 2 g): only those are rounded again.
        part = counts[:, wide]
        e_part = np.ones(wide.size, dtype=np.int64)
        for k in (1, 2):
            r = np.rint(part * np.float32(1.0 / (1 << k)))
            e_part[np.any((r > 511) | (r < -512), axis=0) & (e_part == k)] = k + 1
        e[wide] = e_part
        rounded[:, wide] = np.rint(part * (np.float32(1.0) / (1 << e_part)).astype(np.float32))
    scaled = np.clip(rounded, -512, 511).astype(np.int32)
    return pack3(scaled[0], scaled[1], scaled[2], e)


def unpacked(words) -> bytes:
    """Unpacked samples: 16-bit words, as many per sample as the format has axes."""
    return np.asarray(words, dtype="<i2").tobytes()


# ---------------------------------------------------------------------------- a recording's blocks


def data_block_slots(path: str | os.PathLike[str]) -> int:
    """The data-block indices a blocks cut can name: every sector after the metadata block."""
    return max(os.path.getsize(path) // SECTOR - METADATA_BYTES // SECTOR, 0)


def recording_samples_per_block(path: str | os.PathLike[str]) -> int:
    """Samples a full data block of this recording holds, from the format of its first data
    block (120 when none lies near the start: a day's read is then only larger or smaller)."""
    with open(path, "rb") as f:
        f.seek(METADATA_BYTES)
        for _ in range(1024):
            sector = f.read(SECTOR)
            if len(sector) < SECTOR:
                break
            block = np.frombuffer(sector, dtype=DATA_DTYPE)[0]
            if block["header"] == b"AX" and int(block["fmt"]) in BYTES_PER_SAMPLE:
                return samples_per_block(int(block["fmt"]))
    return 120


def block_ranges(path: str | os.PathLike[str], samples: int) -> Iterator[tuple[int, int]]:
    """(first, end) data-block ranges of about `samples` samples each, covering every block slot
    once: a long recording read this way holds one range's frame at a time, and every sample is
    read exactly once whatever its timestamp."""
    per_range = max(1, int(samples) // recording_samples_per_block(path))
    for first in range(0, max(data_block_slots(path), 1), per_range):
        yield first, first + per_range


def read_blocks(path: str | os.PathLike[str], first: int, end: int, **read: Any) -> pd.DataFrame | None:
    """`kelpmoor.read_cwa_file` of data blocks first .. end - 1 with the options `read`, or None
    when the range holds no data packet (a stretch of a recording may hold none)."""
    import kelpmoor
    try:
        return kelpmoor.read_cwa_file(path, cut=kelpmoor.blocks(first, end), **read)
    except RuntimeError as exc:
        if str(exc) == NO_DATA:
            return None
        raise
