"""Salvage of a damaged recording: a copy that the module reads, less what it cannot read.

One data block that the module refuses (a corrupted timestamp, an unknown sample format, a
sample count beyond the block, the old block format) fails every read of the recording, and
so does a file cut short part way through a sector. `salvage(src, dst)` writes a copy in which
each refused block is replaced by an erased sector (all 0xFF, as unwritten flash reads) that
every reader steps over, and a partial last sector is dropped:

    from kelpmoor_tools.salvage import salvage
    report = salvage("P012.cwa", "P012.salvaged.cwa")
    print(report)          # one row per block changed: what was wrong and when it would have been

Every other byte is copied unchanged, so the copy reads as the undamaged recording would,
less the samples of the blocks dropped; the block after a dropped one is no longer joined
across it and keeps its own clock reading. `src` is never modified, and `dst` appears whole
or not at all.
"""
from __future__ import annotations

import os
import shutil
import stat
from pathlib import Path

import numpy as np
import pandas as pd

from . import _packets
from ._layout import METADATA_BYTES, SECTOR
from ._whole import write_whole

__all__ = ["SalvageReport", "salvage"]

ERASED = b"\xff" * SECTOR
COLUMNS = ["block", "offset", "problem", "start", "end"]


class SalvageReport(pd.DataFrame):
    """The changes salvage made, one row per sector in file order: `block` (data-block index,
    <NA> for a partial last sector, which is dropped), `offset` (its byte offset in the
    source), `problem` (the module's error text for it), `start` and `end` (device-clock
    time span the lost samples would have covered, estimated from the readable blocks around).
    An empty report means the recording needed no change."""

    @property
    def _constructor(self):
        return SalvageReport


def salvage(src: str | os.PathLike[str], dst: str | os.PathLike[str]) -> SalvageReport:
    """Write to `dst` a copy of the recording `src` that the module can read: refused data
    blocks become erased sectors and a partial last sector is dropped. Returns the report of
    what was changed. Raises ValueError for a file that does not start with a metadata block,
    that has no readable data block, or when `dst` is `src` itself."""
    src, dst = Path(src), Path(dst)
    if dst.exists() and os.path.samefile(src, dst):
        raise ValueError(f"{dst}: salvage writes a copy and never changes its source; name another file")
    sectors = _packets.scan(src)
    _check_recording(src, sectors)
    report = _report(sectors)
    _write_copy(src, dst, sectors.refused_slots, METADATA_BYTES + SECTOR * len(sectors))
    return report


def _check_recording(src: Path, sectors: _packets.Sectors) -> None:
    if sectors.size < METADATA_BYTES:
        raise ValueError(f"{src}: {sectors.size} bytes cannot hold the {METADATA_BYTES}-byte metadata block "
                         "of a recording; nothing to salvage")
    if sectors.metadata != b"MD":
        raise ValueError(f"{src}: not a recording: the file does not start with a metadata block (\"MD\", "
                         f"found {sectors.metadata!r}); salvage keeps the metadata block and cannot invent one")
    if not np.any(sectors.verdict == _packets.OK):
        raise ValueError(f"{src}: no readable data block is left to salvage "
                         f"({len(sectors.refused_slots)} refused of {len(sectors)} sectors)")


def _report(sectors: _packets.Sectors) -> SalvageReport:
    slots, problems = sectors.damaged()
    start, end = _estimated_spans(sectors, slots)
    # A partial last sector is no block a cut could name.
    block = pd.array([int(s) if s < len(sectors) else None for s in slots], dtype="Int64")
    return SalvageReport({
        "block": block,
        "offset": (METADATA_BYTES + SECTOR * slots).astype(np.int64),
        "problem": pd.Series(problems, dtype=object),
        "start": _packets.to_us(start),
        "end": _packets.to_us(end),
    }, columns=COLUMNS)


def _estimated_spans(sectors: _packets.Sectors, slots: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Where the samples of lost blocks lay. The lost blocks between two readable ones share
    the time from the first one's natural end to the next one's natural start evenly; lost
    blocks with a readable block on one side only take that block's duration each."""
    if not len(slots):
        return np.zeros(0), np.zeros(0)
    data = sectors.data_slots
    starts, ends = sectors.start[data], sectors.end[data]
    before = np.searchsorted(data, slots) - 1         # index into `data`, -1 when none
    after = before + 1                                 # == len(data) when none
    # Rank of each lost block among those sharing its readable neighbours, and their number.
    run_start = np.r_[True, before[1:] != before[:-1]]
    run_id = np.cumsum(run_start) - 1
    first_of_run = np.flatnonzero(run_start)
    rank = np.arange(len(slots)) - first_of_run[run_id]
    run_len = np.diff(np.r_[first_of_run, len(slots)])[run_id]

    has_before, has_after = before >= 0, after < len(data)
    prev_end = np.where(has_before, ends[np.maximum(before, 0)], np.nan)
    next_start = np.where(has_after, starts[np.minimum(after, len(data) - 1)], np.nan)
    neighbour = np.where(has_before, np.maximum(before, 0), np.minimum(after, len(data) - 1))
    duration = ends[neighbour] - starts[neighbour]

    between = has_before & has_after & (next_start > prev_end)
    step = np.where(between, (next_start - prev_end) / run_len, duration)
    origin = np.where(has_before, prev_end, next_start - run_len * step)
    return origin + rank * step, origin + (rank + 1) * step


def _write_copy(src: Path, dst: Path, refused: np.ndarray, keep_bytes: int) -> None:
    """Copy `src` to `dst`, erase the refused sectors and drop the partial tail, whole or not
    at all."""
    def write(tmp: Path) -> None:
        shutil.copyfile(src, tmp)
        with open(tmp, "r+b") as out:
            for slot in refused.tolist():
                out.seek(METADATA_BYTES + SECTOR * slot)
                out.write(ERASED)
            out.truncate(keep_bytes)
        # The copy takes the source's permissions, writable by its owner even when the source
        # is an archive's read-only original.
        os.chmod(tmp, stat.S_IMODE(os.stat(src).st_mode) | stat.S_IWUSR)

    write_whole(dst, write)
