"""Benchmark of the first stage: activity.process against the plain read of the same file.

    python bench/bench_process.py              # a 7-day wearer at 100 Hz, packed 3-axis
    python bench/bench_process.py --days 1

The recording is a wearer's week (synth.day_schedule: days awake, nights asleep, two bouts off
the wrist) read through an uncalibrated sensor (offsets of tens of mg, scales off by a few
percent, temperature drift), so calibration has the tens of thousands of still windows a real
week gives it.

Runs on one core (the process is pinned to its first allowed CPU). Targets:
  * activity.process(path) <= 3 x read_cwa_file(path) of the same run (best of N each);
  * its peak RSS growth <= 600 MiB, measured in a fresh interpreter.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import common
import generate

LIMIT = 600 * common.MiB
ERROR = dict(offset_g=(0.06, -0.05, 0.04), scale=(1.03, 0.97, 1.02), temperature_g_per_c=(0.003, -0.002, 0.001))


def wearer(days: float, seed: int, path: Path | None) -> Path:
    from kelpmoor_tools import synth
    target = path or generate.DEFAULT_DIR / f"wearer_{days:g}d_s{seed}.cwa"
    rec = synth.Recording(duration_s=days * 86400, rate_hz=generate.RATE_HZ, seed=seed,
                          sensor_error=synth.SensorError(**ERROR),
                          segments=synth.day_schedule(days, nonwear=((1, 10.0, 2.0), (3, 14.0, 1.5)), seed=seed))
    if not target.exists() or target.stat().st_size != rec.size:
        target.parent.mkdir(parents=True, exist_ok=True)
        t0 = time.perf_counter()
        rec.write(target)
        print(f"generated {target} in {time.perf_counter() - t0:.1f} s")
    return target


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
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--days", type=float, default=7)
    ap.add_argument("--seed", type=int, default=12345)
    ap.add_argument("--path", type=Path, help="where to keep the generated recording")
    ap.add_argument("--repeat", type=int, default=3, help="timed calls per case; the best counts (default 3)")
    args = ap.parse_args(argv)
    target = wearer(args.days, args.seed, args.path)
    kelpmoor = common.import_module()
    from kelpmoor_tools import activity
    path = str(target)
    rep = common.Report(f"process benchmark: {target.name}  {target.stat().st_size / 1e6:.1f} MB  "
                        f"best of {args.repeat}, one core")
    out = activity.process(path)
    rows = len(kelpmoor.read_cwa_file(path, include_light=False, include_battery=False))
    problems = [] if out.epochs["samples"].sum() == rows else ["samples do not add up to the recording's"]
    problems += [] if out.calibration.status == "calibrated" else [f"not calibrated: {out.calibration.reason}"]
    if not rep.check("activity.process(path) output", problems):
        return rep.finish()
    print(f"  note     calibration: {out.calibration.still_windows} still windows, "
          f"{out.calibration.error_before_mg:.1f} -> {out.calibration.error_after_mg:.2f} mg")
    del out
    plain = rep.time("read_cwa_file(path)", common.best_of(
        lambda: kelpmoor.read_cwa_file(path, include_light=False, include_battery=False), args.repeat))
    full = rep.time("activity.process(path)", common.best_of(lambda: activity.process(path), args.repeat))
    rep.ratio("process / plain read", full / plain, 3.0)
    probe = peak_growth(target)
    grown = probe["peak"] - probe["base"]
    print(f"  memory   {'process peak RSS growth':<{rep.WIDTH}} {common.size_text(grown):>12}")
    rep.ratio("peak RSS growth / 600 MiB", grown / LIMIT, 1.0)
    return rep.finish()


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        _child(sys.argv[2])
    else:
        sys.exit(main())
