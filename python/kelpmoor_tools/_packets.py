"""Every sector of a recording classified and timed from its header alone, as the module does.

The module walks a recording sector by sector and stops at the first data block it refuses.
Here all sectors are judged at once with NumPy over a memory map of the file, so that the
damaged blocks of a week-long recording are found in a fraction of a read, and so that the
judgement and the times are the module's own: the same checks in the same order, and the
same mix of single- and double-precision steps in a block's natural bounds (a different
order moves a sample by a microsecond).
"""
from __future__ import annotations

import os
from dataclasses import dataclass

import numpy as np

from ._layout import BYTES_PER_SAMPLE, DATA_DTYPE, METADATA_BYTES, SAMPLE_AREA, SECTOR

# Verdict of one sector. Data blocks the module decodes are OK, sectors it steps over are
# NON_DATA, and the others carry the reason the module refuses them, in its checking order.
OK, NON_DATA, OLD_FORMAT, BAD_FORMAT, OVER_CAPACITY, BAD_TIMESTAMP = range(6)

PROBLEMS = {
    OLD_FORMAT: "Old CWA format packets are not supported",
    OVER_CAPACITY: "Sample count exceeds packet capacity",
    BAD_TIMESTAMP: "Invalid block timestamp",
}
INCOMPLETE_SECTOR = "Incomplete CWA data block"

# The header fields of a data block (all before its samples), packed 32 bytes apart: copying
# these out of the memory map in one pass and judging the copy touches each page of the file
# once instead of once per field.
HEAD_BYTES = 32
_HEAD_FIELDS = {name: field for name, field in (DATA_DTYPE.fields or {}).items()
                if name not in ("samples", "checksum")}
HEAD_DTYPE = np.dtype({"names": list(_HEAD_FIELDS), "formats": [f[0] for f in _HEAD_FIELDS.values()],
                       "offsets": [f[1] for f in _HEAD_FIELDS.values()], "itemsize": HEAD_BYTES})

_AX = int.from_bytes(b"AX", "little")
_FORMATS = np.array(sorted(BYTES_PER_SAMPLE), dtype=np.uint8)
_BYTES = np.array([BYTES_PER_SAMPLE[int(f)] for f in _FORMATS], dtype=np.int64)
_FORMAT_NAMES = {0x30: "3 axes packed", 0x32: "3 axes", 0x62: "6 axes", 0x92: "9 axes"}


def problem_text(verdict: int, fmt: int) -> str:
    """The module's error text for a refused sector of this verdict and format byte."""
    if verdict == BAD_FORMAT:
        return f"Unsupported sample format: {fmt >> 4} axes, packing {fmt & 0x0F}"
    return PROBLEMS[verdict]


def format_name(fmt: int) -> str:
    return _FORMAT_NAMES[fmt]


def rate_hz(rate_code) -> np.ndarray:
    """A block's rate as single-precision floats: 3200 Hz halved 15 - (code & 15) times, exact."""
    nibble = np.asarray(rate_code, dtype=np.int64) & 0x0F
    return np.ldexp(np.float32(3200.0), (nibble - 15).astype(np.int32)).astype(np.float32)


@dataclass(frozen=True)
class Sectors:
    """The whole sectors after the metadata block (slot i at byte 1024 + 512 i) and what the
    module makes of each. `start` and `end` are natural bounds in seconds on the device clock
    read as if it were UTC, NaN where the sector is not a readable data block."""
    size: int                  # bytes in the file
    metadata: bytes            # its first two bytes ("MD" in a recording)
    raw: np.ndarray            # (sectors, 512) bytes: a memory map of the file
    heads: np.ndarray          # HEAD_DTYPE: the header fields of every sector
    verdict: np.ndarray        # int8 per sector, OK / NON_DATA / a refusal
    start: np.ndarray
    end: np.ndarray

    @property
    def partial_tail(self) -> int:
        """Bytes of a last sector cut short (0 when the file ends on a sector boundary)."""
        return max(self.size - METADATA_BYTES, 0) % SECTOR

    def __len__(self) -> int:
        return len(self.heads)

    @property
    def data_slots(self) -> np.ndarray:
        return np.flatnonzero(self.verdict == OK)

    @property
    def refused_slots(self) -> np.ndarray:
        return np.flatnonzero(self.verdict > NON_DATA)

    def problems(self, slots) -> list[str]:
        return [problem_text(int(self.verdict[s]), int(self.heads["fmt"][s])) for s in slots]

    def damaged(self) -> tuple[np.ndarray, list[str]]:
        """The slots of the blocks the module refuses, then that of a partial last sector, with
        each one's problem in the module's words."""
        slots = self.refused_slots
        problems = self.problems(slots)
        if self.partial_tail:
            slots, problems = np.append(slots, len(self)), problems + [INCOMPLETE_SECTOR]
        return slots, problems


def scan(path) -> Sectors:
    """Classify and time every whole sector of the file at `path` (which is only read)."""
    size = os.stat(path).st_size
    with open(path, "rb") as f:
        metadata = f.read(2)
    count = max(size - METADATA_BYTES, 0) // SECTOR
    raw: np.ndarray
    if count:
        raw = np.memmap(path, dtype=np.uint8, mode="r", offset=METADATA_BYTES, shape=(count, SECTOR))
    else:
        raw = np.zeros((0, SECTOR), dtype=np.uint8)
    heads = np.ascontiguousarray(raw[:, :HEAD_BYTES]).view(HEAD_DTYPE)[:, 0]
    verdict = classify(heads)
    start, end = natural_bounds(heads, verdict == OK)
    return Sectors(size, metadata, raw, heads, verdict, start, end)


def classify(blocks: np.ndarray) -> np.ndarray:
    """The module's verdict on each sector, checks in its order: a sector without the "AX"
    letters or without samples is stepped over before any field is judged."""
    header = blocks["header"].view("<u2")
    count = blocks["sample_count"].astype(np.int64)
    fmt = blocks["fmt"]
    known = np.isin(fmt, _FORMATS)
    bytes_per_sample = _BYTES[np.searchsorted(_FORMATS, np.where(known, fmt, _FORMATS[0]))]
    verdict = np.full(len(blocks), BAD_TIMESTAMP, dtype=np.int8)
    verdict[valid_times(blocks["timestamp"])] = OK
    # Later checks first, so that each earlier one overwrites them.
    verdict[known & (count * bytes_per_sample > SAMPLE_AREA)] = OVER_CAPACITY
    verdict[~known] = BAD_FORMAT
    verdict[blocks["rate_code"] == 0] = OLD_FORMAT
    verdict[(header != _AX) | (count == 0)] = NON_DATA
    return verdict


def _month_tables() -> tuple[np.ndarray, np.ndarray]:
    """Indexed by the top ten bits of a packed date-time (year since 2000, month): the days
    since 1970 of the month's first day, and its length in days (0 for months 0, 13, 14, 15)."""
    year, month = np.divmod(np.arange(1024), 16)
    real = (month >= 1) & (month <= 12)
    first = ((year + 30) * 12 + np.where(real, month, 1) - 1).astype("datetime64[M]")
    days = (first + 1).astype("datetime64[D]") - first.astype("datetime64[D]")
    return first.astype("datetime64[D]").astype(np.int64), np.where(real, days.astype(np.int64), 0)


_MONTH_FIRST_DAY, _MONTH_DAYS = _month_tables()


def valid_times(raw: np.ndarray) -> np.ndarray:
    """Which packed date-times name a real moment: neither unset marker (all bits 0 or 1),
    a calendar date of 2000..2063 and a time of day up to 23:59:59."""
    raw = np.asarray(raw, dtype=np.int64)
    day = raw >> 17 & 0x1F
    return ((raw != 0) & (raw != 0xFFFFFFFF) & (day >= 1) & (day <= _MONTH_DAYS[raw >> 22])
            & (raw >> 12 & 0x1F <= 23) & (raw >> 6 & 0x3F <= 59) & (raw & 0x3F <= 59))


def epoch_seconds(raw: np.ndarray) -> np.ndarray:
    """Seconds since 1970 of valid packed date-times, the device clock read as if it were UTC."""
    raw = np.asarray(raw, dtype=np.int64)
    days = _MONTH_FIRST_DAY[raw >> 22] + (raw >> 17 & 0x1F) - 1
    return days * 86400 + (raw >> 12 & 0x1F) * 3600 + (raw >> 6 & 0x3F) * 60 + (raw & 0x3F)


def natural_bounds(blocks: np.ndarray, readable: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(start, end) of each readable block, NaN elsewhere. The lead before the whole-second
    reading is split into whole and fraction in single precision and only then added to the
    reading in double precision; the duration is a single-precision quotient."""
    start = np.full(len(blocks), np.nan)
    end = np.full(len(blocks), np.nan)
    picked = {name: blocks[name][readable] for name in ("rate_code", "timestamp_offset", "sample_count", "timestamp")}
    rate = rate_hz(picked["rate_code"])
    lead = -picked["timestamp_offset"].astype(np.float32) / rate
    whole = np.floor(lead)
    frac = (lead - whole).astype(np.float32)
    start[readable] = frac.astype(np.float64) + (whole.astype(np.float64) + epoch_seconds(picked["timestamp"]))
    end[readable] = start[readable] + (picked["sample_count"].astype(np.float32) / rate).astype(np.float64)
    return start, end


def to_us(seconds) -> np.ndarray:
    """Seconds to datetime64[us], truncated toward zero as the module truncates sample times;
    NaN becomes NaT."""
    seconds = np.asarray(seconds, dtype=np.float64)
    out = np.full(seconds.shape, np.datetime64("NaT"), dtype="datetime64[us]")
    known = ~np.isnan(seconds)
    out[known] = np.trunc(seconds[known] * 1e6).astype(np.int64)
    return out
