"""Benchmark of salvage and timeline against the plain read of the same recording.

    python bench/bench_salvage.py              # 7-day packed 3-axis recording
    python bench/bench_salvage.py --axes 6

A damaged twin of the benchmark recording is made first: DAMAGED blocks spread over the week
get an impossible clock reading and the file is cut part way through its last sector. Targets,
each against a call timed in the same run:
  * salvage of the damaged twin <= 1.0 x read_cwa_file of the undamaged recording;
  * timeline of the damaged twin <= 3.0 x read_metadata of the undamaged recording (both
    look at packet headers only).
"""

from __future__ import annotations

import shutil
import sys
from pathlib import Path

import numpy as np

import common
from common import Recording, Report

DAMAGED = 200
CUT_BYTES = 100


def damaged_twin(rec: Recording) -> tuple[Path, np.ndarray]:
    """A copy of the recording with DAMAGED blocks refused by the reader and a partial last
    sector; returns its path and the damaged block indices."""
    from kelpmoor_tools import _layout

    path = rec.path.with_name(rec.path.stem + "_damaged.cwa")
    blocks = np.unique(np.random.default_rng(0).integers(0, rec.blocks, DAMAGED))
    shutil.copyfile(rec.path, path)
    sectors = np.memmap(path, dtype=_layout.DATA_DTYPE, mode="r+", offset=1024, shape=(rec.blocks,))
    sectors["timestamp"][blocks] = 0xFFFFFFFF
    sectors.flush()
    del sectors
    with open(path, "ab") as f:
        f.write(b"\x00" * CUT_BYTES)
    return path, blocks


def verify(kelpmoor, rec: Recording, rep: Report, damaged: Path, blocks: np.ndarray, out: Path) -> bool:
    """Check both roads once, so that a broken salvage cannot post a fast number."""
    from kelpmoor_tools import timeline
    from kelpmoor_tools.salvage import salvage

    report = salvage(damaged, out)
    problems = []
    if report["block"].iloc[:-1].tolist() != blocks.tolist() or not report["block"].isna().iloc[-1]:
        problems.append(f"{len(report)} rows, expected {len(blocks)} blocks and the partial sector")
    df = kelpmoor.read_cwa_file(str(out))
    problems += common.check_frame(df, rec, rec.rows - len(blocks) * rec.samples_per_block)
    ok = rep.check("salvage(damaged, copy) output", problems)
    rows = timeline(damaged)
    ok &= rep.check("timeline(damaged) output",
                    [] if (rows["kind"] == "damaged").sum() == len(blocks) + 1
                    else [f"{(rows['kind'] == 'damaged').sum()} damaged rows"])
    return ok


def main(argv=None) -> int:
    args, rec, kelpmoor, rep = common.start_run("salvage", __doc__, argv)
    from kelpmoor_tools import timeline
    from kelpmoor_tools.salvage import salvage

    damaged, blocks = damaged_twin(rec)
    out = damaged.with_name(damaged.stem + "_salvaged.cwa")
    try:
        if not verify(kelpmoor, rec, rep, damaged, blocks, out):
            return rep.finish()
        path = str(rec.path)
        t_read = rep.time("read_cwa_file(path)", common.best_of(lambda: kelpmoor.read_cwa_file(path), args.repeat))
        t_salvage = rep.time(f"salvage(damaged, copy) ({len(blocks)} blocks + a partial sector)",
                             common.best_of(lambda: salvage(damaged, out), args.repeat))
        rep.ratio("salvage / read_cwa_file", t_salvage / t_read, 1.0)
        t_meta = rep.time("read_metadata(path)", common.best_of(lambda: kelpmoor.read_metadata(path), args.repeat))
        t_timeline = rep.time("timeline(damaged)", common.best_of(lambda: timeline(damaged), args.repeat))
        rep.ratio("timeline / read_metadata", t_timeline / t_meta, 3.0)
    finally:
        damaged.unlink(missing_ok=True)
        out.unlink(missing_ok=True)
    return rep.finish()


if __name__ == "__main__":
    sys.exit(main())
