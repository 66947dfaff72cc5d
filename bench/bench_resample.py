"""Benchmark of the resampled reads against the plain read of the same recording.

    python bench/bench_resample.py             # 7-day packed 3-axis recording

Targets, all measured in the same run:
  * read_cwa_file(resample_hz=30)  <= 1.0 x read_cwa_file(path): fewer rows to build
    should pay for the interpolation;
  * read_cwa_file(resample_hz=100) <= 1.3 x read_cwa_file(path): as many rows as recorded,
    each interpolated cubically;
  * peak memory of each resampled read <= its result size + 10% + 64 MiB (the recorded
    samples stream through a small window and are never all held).
"""

from __future__ import annotations

import math
import sys

import numpy as np

import common
from common import Recording

RATES = ((30.0, 1.0), (100.0, 1.3))


def check_grid(df, rec: Recording, hz: float, first_us: int, last_us: int) -> list[str]:
    """A resampled result is one unbroken grid from the first sample to the last."""
    problems = common.check_frame(df, rec)
    stamps = df.index.asi8
    expected_rows = math.floor((last_us - first_us) / 1e6 * hz) + 1
    if abs(len(df) - expected_rows) > 1:
        problems.append(f"{len(df)} rows, expected about {expected_rows}")
    if abs(int(stamps[0]) - first_us) > 1:
        problems.append(f"grid starts at {stamps[0]} us, first sample at {first_us}")
    step = 1e6 / hz
    steps = np.unique(np.diff(stamps))
    if steps.min() < math.floor(step) or steps.max() > math.ceil(step):
        problems.append(f"grid steps {steps.min()}..{steps.max()} us, expected {step:.2f}")
    head = df.iloc[: 1_000_000]
    magnitude = np.sqrt(head["acc_x"] ** 2 + head["acc_y"] ** 2 + head["acc_z"] ** 2)
    if not 0.9 < float(magnitude.mean()) < 1.1:
        problems.append(f"mean |acc| {float(magnitude.mean()):.3f} g over the first rows")
    return problems


def main(argv=None) -> int:
    args, rec, kelpmoor, rep = common.start_run("resample", __doc__, argv)
    path = str(rec.path)

    try:
        plain = kelpmoor.read_cwa_file(path)
        if not rep.check("read_cwa_file(path) output", common.check_frame(plain, rec, rec.rows)):
            return rep.finish()
        first_us, last_us = int(plain.index.asi8[0]), int(plain.index.asi8[-1])
        del plain
        ok = True
        for hz, _ in RATES:
            df = kelpmoor.read_cwa_file(path, resample_hz=hz)
            ok &= rep.check(f"resample_hz={hz:g} output", check_grid(df, rec, hz, first_us, last_us))
            del df
        if not ok:
            return rep.finish()
    except NotImplementedError as exc:
        print(f"  kelpmoor is not finished yet: {exc}")
        return 3

    plain = common.best_of(lambda: kelpmoor.read_cwa_file(path), args.repeat)
    t_plain = rep.time("read_cwa_file(path)", plain)
    for hz, target in RATES:
        timing = common.best_of(lambda: kelpmoor.read_cwa_file(path, resample_hz=hz), args.repeat)
        t = rep.time(f"read_cwa_file(path, resample_hz={hz:g})", timing)
        rep.ratio(f"resample_hz={hz:g} / plain read", t / t_plain, target)
        # The kernel's zeroing of fresh result pages swings with the machine's memory state;
        # user time is what the reader itself spends.
        rep.ratio("  user time alone", timing.user / plain.user)
    for hz, _ in RATES:
        rep.memory(f"resample_hz={hz:g} peak RSS growth", common.peak_memory(rec.path, "read_cwa_file", resample_hz=hz))
    return rep.finish()


if __name__ == "__main__":
    sys.exit(main())
