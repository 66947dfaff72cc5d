"""What the command line does to one recording, run inside a worker process.

Every task writes only inside its own private folder (`Stage.folder`, within the run's hidden
folder beside the outputs) and names the finished files it wants published; the worker moves
them onto their final names only after the task has succeeded. An interrupted or failed task
therefore leaves nothing under an output name, and whatever it left in its folder goes when the
run's folder is removed.
"""
from __future__ import annotations

import math
import os
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from . import _layout

# Data blocks read at a time when Parquet is written piece by piece: about a day at 100 Hz.
CHUNK_BLOCKS = 1 << 16
# Rows of a Parquet row group: pyarrow's own default, so that a file written piece by piece is
# the file one write of the whole table gives.
ROW_GROUP_ROWS = 1024 * 1024
# The file each converting command writes per recording, named after it (salvage keeps the name).
OUTPUT_SUFFIX = {"csv": ".csv", "parquet": ".parquet", "process": ".epochs.parquet"}
TIMELINE_KINDS = ("gap", "backward_jump", "rate_change", "format_change", "non_data", "damaged")


@dataclass
class Stage:
    """A task's private folder, its line to the parent (`note(kind, value)`), and the files it
    asks to have published: (staged path, final path)."""

    folder: Path
    note: Callable[[str, float], None]
    outputs: list[tuple[Path, Path]] = field(default_factory=list)

    def stage(self, final: Path) -> Path:
        staged = self.folder / final.name
        self.outputs.append((staged, final))
        return staged


def output_path(path: str, folder: str, suffix: str) -> Path:
    return Path(folder) / (Path(path).stem + suffix)


def _with_cut(kelpmoor: Any, options: dict[str, Any]) -> dict[str, Any]:
    options = dict(options)
    if "cut" in options:
        kind, start, end = options["cut"]
        options["cut"] = getattr(kelpmoor, kind)(start, end)
    return options


def _json_safe(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None if math.isnan(value) else str(value)
    return value


# ---------------------------------------------------------------------------- info


def info_task(path: str, options: dict[str, Any], stage: Stage) -> dict[str, Any]:
    import kelpmoor

    from kelpmoor_tools import timeline
    meta = kelpmoor.read_metadata(path)
    report = kelpmoor.sampling_consistency_report(path)
    found = timeline(path)["kind"].value_counts()
    return {"file": path, "metadata": {k: _json_safe(v) for k, v in meta.items()},
            "sampling_consistency": {k: _json_safe(v) for k, v in report.items()},
            "discontinuities": {kind: int(found.get(kind, 0)) for kind in TIMELINE_KINDS}}


# ---------------------------------------------------------------------------- salvage


def _salvaged(src: str, dst: Path) -> dict[str, Any]:
    """Salvage `src` into `dst`; what was changed, in numbers."""
    from kelpmoor_tools.salvage import salvage
    report = salvage(src, dst)
    lost = (report["end"] - report["start"]).dt.total_seconds().sum()
    return {"blocks_replaced": int(report["block"].notna().sum()),
            "bytes_dropped": os.path.getsize(src) - os.path.getsize(dst),
            "seconds_lost": float(lost)}


def salvage_task(path: str, options: dict[str, Any], stage: Stage) -> dict[str, Any]:
    final = Path(options["out"]) / Path(path).name
    if final.exists() and os.path.samefile(path, final):
        raise ValueError(f"{final}: the copy would replace the recording itself; choose another --out folder")
    return {"file": path, "output": str(final), **_salvaged(path, stage.stage(final))}


def _source(path: str, options: dict[str, Any], stage: Stage) -> tuple[str, dict[str, Any] | None]:
    """The recording to convert: `path` itself, or a salvaged copy of it in the task's folder
    (then also what salvage changed, or None when it changed nothing)."""
    if not options.get("salvage"):
        return path, None
    folder = stage.folder / "salvaged"
    folder.mkdir()
    copy = folder / Path(path).name
    changes = _salvaged(path, copy)
    return str(copy), (changes if changes["blocks_replaced"] or changes["bytes_dropped"] else None)


# ---------------------------------------------------------------------------- csv


def expected_rows(kelpmoor: Any, path: str, read: dict[str, Any]) -> float:
    """About how many rows a CSV of this recording with these options will hold: samples of
    the data blocks in the cut, scaled to the seconds asked for or the resampled rate."""
    blocks = _layout.data_block_slots(path)
    kind, start, end = read.get("cut", (None, None, None))
    if kind == "blocks":
        blocks = max(min(blocks, end if end is not None else blocks) - (start or 0), 0)
    rows = float(blocks * _layout.recording_samples_per_block(path))
    if kind == "seconds" or "resample_hz" in read:
        rate = kelpmoor.read_metadata(path)["sample_rate_hz"]
        if kind == "seconds":
            span = rows / rate
            rows = max(min(span, end if end is not None else span) - (start or 0), 0.0) * rate
        rows *= read.get("resample_hz", rate) / rate
    return rows


def csv_task(path: str, options: dict[str, Any], stage: Stage) -> dict[str, Any]:
    import kelpmoor
    source, changes = _source(path, options, stage)
    final = output_path(path, options["out"], OUTPUT_SUFFIX["csv"])
    staged = stage.stage(final)
    # The module writes the whole file in one call; the parent follows it by the file's growth.
    stage.note("rows", expected_rows(kelpmoor, source, options["read"]))
    kelpmoor.write_cwa_csv(source, str(staged), **_with_cut(kelpmoor, options["read"]))
    return {"file": path, "output": str(final), "salvaged": changes}


# ---------------------------------------------------------------------------- parquet


class _ReadWhole(Exception):
    """The pieces cannot stand for the whole read: a piece has other columns than the first,
    or no piece holds data (the whole read then fails in the module's own words)."""


def write_parquet_whole(kelpmoor: Any, source: str, target: Path, read: dict[str, Any]) -> int:
    import pyarrow as pa
    import pyarrow.parquet as pq
    frame = kelpmoor.read_cwa_file(source, **_with_cut(kelpmoor, read))
    table = pa.Table.from_pandas(frame, preserve_index=True)
    del frame
    pq.write_table(table, target, row_group_size=ROW_GROUP_ROWS)
    return int(table.num_rows)


def write_parquet_in_pieces(kelpmoor: Any, source: str, target: Path, read: dict[str, Any],
                            note: Callable[[str, float], None]) -> int:
    """The file `write_parquet_whole` writes, read CHUNK_BLOCKS data blocks at a time, so that
    a worker holds a day of samples rather than the week, and tells how far it has come.
    Row groups are cut at the same rows as one write of the whole table would cut them."""
    import pyarrow as pa
    import pyarrow.parquet as pq
    blocks = _layout.data_block_slots(source)
    writer, pending, rows = None, [], 0
    try:
        for first in range(0, blocks, CHUNK_BLOCKS):
            frame = _layout.read_blocks(source, first, first + CHUNK_BLOCKS, **read)
            if frame is None:
                continue
            piece = pa.Table.from_pandas(frame, preserve_index=True)
            del frame
            if writer is None:
                writer = pq.ParquetWriter(target, piece.schema)
            elif not piece.schema.equals(writer.schema, check_metadata=True):
                raise _ReadWhole
            pending.append(piece)
            rows += piece.num_rows
            if sum(p.num_rows for p in pending) >= ROW_GROUP_ROWS:
                pending = _write_full_groups(writer, pa.concat_tables(pending))
            note("fraction", min(first + CHUNK_BLOCKS, blocks) / blocks)
        if writer is None:
            raise _ReadWhole
        rest = pa.concat_tables(pending)
        if rest.num_rows:
            writer.write_table(rest, row_group_size=ROW_GROUP_ROWS)
    except _ReadWhole:
        if writer is not None:
            writer.close()
            writer = None
        return write_parquet_whole(kelpmoor, source, target, read)
    finally:
        if writer is not None:
            writer.close()
    return rows


def _write_full_groups(writer: Any, table: Any) -> list[Any]:
    """Write the whole row groups of `table`; the rest waits for the next piece."""
    whole = table.num_rows - table.num_rows % ROW_GROUP_ROWS
    if whole:
        writer.write_table(table.slice(0, whole), row_group_size=ROW_GROUP_ROWS)
    return [table.slice(whole)]


def parquet_task(path: str, options: dict[str, Any], stage: Stage) -> dict[str, Any]:
    import kelpmoor
    source, changes = _source(path, options, stage)
    final = output_path(path, options["out"], OUTPUT_SUFFIX["parquet"])
    staged = stage.stage(final)
    read = options["read"]
    # A cut or a resampled grid is the module's to place; only the plain read is split.
    if "cut" in read or "resample_hz" in read:
        rows = write_parquet_whole(kelpmoor, source, staged, read)
    else:
        rows = write_parquet_in_pieces(kelpmoor, source, staged, read, stage.note)
    return {"file": path, "output": str(final), "rows": rows, "salvaged": changes}


# ---------------------------------------------------------------------------- process


def process_task(path: str, options: dict[str, Any], stage: Stage) -> dict[str, Any]:
    # Its own module, which needs pandas, pyarrow and matplotlib: loaded by the workers that run it.
    from ._process_task import process_task as run
    return run(path, options, stage)


TASKS: dict[str, Callable[[str, dict[str, Any], Stage], dict[str, Any]]] = {
    "info": info_task, "csv": csv_task, "parquet": parquet_task, "salvage": salvage_task,
    "process": process_task}


def failure_text(exc: BaseException) -> str:
    text = " ".join(str(exc).split()) or "(no message)"
    return f"{type(exc).__name__}: {text}"


def run_task(command: str, path: str, options: dict[str, Any], stage: Stage) -> tuple[bool, Any]:
    """(True, result) or (False, one-line error text); never raises for a recording's fault.
    The result's files are still staged: `publish` puts them in place."""
    try:
        return True, TASKS[command](path, options, stage)
    except KeyboardInterrupt:
        raise
    except BaseException as exc:  # noqa: BLE001  any failure of one recording is reported, not fatal
        return False, failure_text(exc)


def publish(outputs: list[tuple[Path, Path]], result: Any) -> tuple[bool, Any]:
    """Move a successful task's staged files onto their names: (True, result), or (False, error
    text) when a name is taken by something that cannot be replaced."""
    try:
        for staged, final in outputs:
            os.replace(staged, final)
    except OSError as exc:
        return False, failure_text(exc)
    return True, result
