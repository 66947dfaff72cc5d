"""Benchmark of the first stage: activity.process against the plain read of the same file.

    python bench/bench_process.py              # 7-day packed 3-axis recording at 100 Hz
    python bench/bench_process.py --days 1

Runs on one core (the process is pinned to its first allowed CPU). Targets:
  * activity.process(path) <= 3 x read_cwa_file(path) of the same run (best of N each);
  * its peak RSS growth <= 600 MiB, measured in a fresh interpreter.
"""

from __future__ import annotations

import gc
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import common

LIMIT = 600 * common.MiB


def pin_to_one_core() -> None:
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})


def peak_growth(path: Path) -> dict:
    proc = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--child", str(path)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"memory probe failed: {proc.stderr.strip().splitlines()[-1:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def _child(path: str) -> None:
    pin_to_one_core()
    from kelpmoor_tools import activity
    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as f:   # the high-water mark starts here
            f.write("5")
    except OSError:
        pass
    base = common._status_kib("VmRSS")
    t0 = time.perf_counter()
    out = activity.process(path)
    seconds = time.perf_counter() - t0
    peak = max(common._status_kib("VmHWM"), base)
    print(json.dumps({"base": base * 1024, "peak": peak * 1024, "seconds": seconds,
                      "epochs": len(out.epochs)}))


def main(argv=None) -> int:
    pin_to_one_core()
    args, rec, kelpmoor, rep = common.start_run("process", __doc__, argv)
    from kelpmoor_tools import activity
    path = str(rec.path)
    out = activity.process(path)
    expected_epochs = int(rec.rows / 100 / 5)
    problems = [] if abs(len(out.epochs) - expected_epochs) <= 2 else [f"{len(out.epochs)} epochs, expected ~{expected_epochs}"]
    problems += [] if out.epochs["samples"].sum() == rec.rows else ["samples do not add up to the recording's"]
    if not rep.check("activity.process(path) output", problems):
        return rep.finish()
    del out
    plain = rep.time("read_cwa_file(path)", common.best_of(
        lambda: kelpmoor.read_cwa_file(path, include_light=False, include_battery=False), args.repeat))
    full = rep.time("activity.process(path)", common.best_of(lambda: activity.process(path), args.repeat))
    rep.ratio("process / plain read", full / plain, 3.0)
    probe = peak_growth(rec.path)
    grown = probe["peak"] - probe["base"]
    print(f"  memory   {'process peak RSS growth':<{rep.WIDTH}} {common.size_text(grown):>12}")
    rep.ratio("peak RSS growth / 600 MiB", grown / LIMIT, 1.0)
    return rep.finish()


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        _child(sys.argv[2])
    else:
        sys.exit(main())
