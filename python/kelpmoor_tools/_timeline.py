"""A recording's discontinuities, from its packet headers alone.

The reader joins each data block to the previous one's natural end unless the block starts a
second or more after it (a gap) or ends at or before it (the clock was set back); a change of
rate or sample format and sectors that hold no samples pass without a trace in the samples.
`timeline(path)` lists all of them, in file order, for a week-long recording in a fraction of
a second, so that a study can see where its data break before it trusts a resampled read.

Blocks the module refuses are listed too, as kind "damaged" with the module's error text, and
so is a partial last sector: a read of the recording fails on them until `salvage` has
replaced them. They are stepped over here as the salvaged copy's reader would step over them.
"""
from __future__ import annotations

import numpy as np
import pandas as pd

from . import _packets
from ._layout import METADATA_BYTES

COLUMNS = ["kind", "block", "time_before", "time_after", "size", "detail"]
# Order of rows that fall on the same block.
_ORDER = {"non_data": 0, "damaged": 1, "gap": 2, "backward_jump": 3, "rate_change": 4, "format_change": 5}


def timeline(path) -> pd.DataFrame:
    """One row per discontinuity of the recording at `path`, in file order: `kind` ("gap",
    "backward_jump", "rate_change", "format_change", "non_data" or "damaged"), `block` (the
    data-block slot), `time_before` (natural end of the previous data block), `time_after`
    (natural start of the block), `size` (seconds of a gap or of a backward jump, sectors of a
    run of non-data sectors, the new rate in Hz), `detail` (the same in words)."""
    sectors = _packets.scan(path)
    if sectors.size < METADATA_BYTES or sectors.metadata != b"MD":
        raise ValueError(f"{path}: not a recording: the file does not start with a metadata block")
    rows = _concat([_joins(sectors), _non_data_runs(sectors), _damaged(sectors)])
    order = np.lexsort((rows["kind"].map(_ORDER).to_numpy(), rows["block"].to_numpy()))
    return rows.iloc[order].reset_index(drop=True)


def _frame(kind=(), block=(), before=(), after=(), size=(), detail=()) -> pd.DataFrame:
    return pd.DataFrame({
        "kind": pd.Series(list(kind), dtype=object),
        "block": np.asarray(block, dtype=np.int64),
        "time_before": _packets.to_us(before),
        "time_after": _packets.to_us(after),
        "size": np.asarray(size, dtype=np.float64),
        "detail": pd.Series(list(detail), dtype=object),
    }, columns=COLUMNS)


def _concat(frames: list[pd.DataFrame]) -> pd.DataFrame:
    kept = [f for f in frames if len(f)]
    return pd.concat(kept, ignore_index=True) if kept else _frame()


def _joins(sectors: _packets.Sectors) -> pd.DataFrame:
    """Where consecutive data blocks are not joined, or change rate or format."""
    slots = sectors.data_slots
    start, end = sectors.start[slots], sectors.end[slots]
    prev_end, s, e, at = end[:-1], start[1:], end[1:], slots[1:]
    frames = []
    gap = s - prev_end >= 1.0
    frames.append(_frame(["gap"] * int(gap.sum()), at[gap], prev_end[gap], s[gap], (s - prev_end)[gap],
                         [f"{x:.6g} s without data" for x in (s - prev_end)[gap]]))
    back = ~gap & (e <= prev_end)
    frames.append(_frame(["backward_jump"] * int(back.sum()), at[back], prev_end[back], s[back],
                         (prev_end - s)[back], [f"clock set back {x:.6g} s" for x in (prev_end - s)[back]]))

    rate = _packets.rate_hz(sectors.heads["rate_code"][slots]).astype(np.float64)
    changed = np.flatnonzero(rate[1:] != rate[:-1])
    frames.append(_frame(["rate_change"] * len(changed), at[changed], prev_end[changed], s[changed],
                         rate[changed + 1], [f"{rate[i]:g} Hz -> {rate[i + 1]:g} Hz" for i in changed]))

    fmt = sectors.heads["fmt"][slots]
    changed = np.flatnonzero(fmt[1:] != fmt[:-1])
    frames.append(_frame(["format_change"] * len(changed), at[changed], prev_end[changed], s[changed],
                         np.full(len(changed), np.nan),
                         [f"{_packets.format_name(int(fmt[i]))} -> {_packets.format_name(int(fmt[i + 1]))}"
                          for i in changed]))
    return _concat(frames)


def _end_before(sectors: _packets.Sectors, slots: np.ndarray) -> np.ndarray:
    """Natural end of the last data block before each slot, NaN when there is none."""
    data = sectors.data_slots
    before = np.searchsorted(data, slots) - 1
    return np.where(before >= 0, sectors.end[data][np.maximum(before, 0)] if len(data) else np.nan, np.nan)


def _non_data_runs(sectors: _packets.Sectors) -> pd.DataFrame:
    """Runs of sectors the reader steps over, one row per run."""
    slots = np.flatnonzero(sectors.verdict == _packets.NON_DATA)
    if not len(slots):
        return _frame()
    first = np.r_[True, np.diff(slots) != 1]
    starts = slots[first]
    lengths = np.diff(np.r_[np.flatnonzero(first), len(slots)])
    kinds = _sector_kinds(sectors, slots)
    details = [_describe(kinds[i:i + n]) for i, n in zip(np.flatnonzero(first), lengths)]
    return _frame(["non_data"] * len(starts), starts, _end_before(sectors, starts), np.full(len(starts), np.nan),
                  lengths, details)


def _sector_kinds(sectors: _packets.Sectors, slots: np.ndarray) -> np.ndarray:
    raw = np.asarray(sectors.raw[slots])
    return np.select([np.all(raw == 0xFF, axis=1), np.all(raw == 0, axis=1),
                      sectors.heads["header"][slots] == b"AX"],
                     ["erased sector", "zeroed sector", "empty data block"], "other sector")


def _describe(kinds: np.ndarray) -> str:
    names, counts = np.unique(kinds, return_counts=True)
    return ", ".join(f"{n} {name}{'s' if n > 1 else ''}" for name, n in zip(names, counts))


def _damaged(sectors: _packets.Sectors) -> pd.DataFrame:
    """Blocks the module refuses, and a partial last sector."""
    slots, details = sectors.damaged()
    if sectors.partial_tail:
        details[-1] += f" ({sectors.partial_tail} bytes)"
    return _frame(["damaged"] * len(slots), slots, _end_before(sectors, slots), np.full(len(slots), np.nan),
                  np.full(len(slots), np.nan), details)
