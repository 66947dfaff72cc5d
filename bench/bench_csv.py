"""Benchmark of write_cwa_csv's streaming road against pandas and polars writing the same data.

    python bench/bench_csv.py                  # 7-day packed 3-axis recording
    python bench/bench_csv.py --out-dir /tmp   # write the CSV files to disk instead of RAM

Measured in one run:
  * write_cwa_csv(path, out): time and output MB/s (best of --repeat);
  * its peak RSS in a fresh interpreter that imports only kelpmoor, on this recording and on
    a 1-day one: target under 100 MiB, and no growth with the recording's length (within 8 MiB);
  * pandas DataFrame.to_csv(float_format="%.6f") of read_cwa_file(path) without auxiliary
    columns, timing only to_csv; target: kelpmoor at least 10x faster;
  * polars DataFrame.write_csv(float_precision=6) of the same columns; target: kelpmoor no
    slower. polars is needed only here: pip install polars.

pandas and polars print the index as date-time text where kelpmoor prints seconds with 4
decimals, so their files are somewhat longer; the accelerometer columns are the same text.
When pandas would take more than ten minutes on the recording (estimated from its first 2% of
rows), it is measured on a 1-day recording instead, and the line says so.
CSV files go to /dev/shm when it exists, so that the disk's write-back speed does not decide
the numbers, and each is removed as soon as it has been measured.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import resource
import subprocess
import sys
import time
from decimal import ROUND_HALF_EVEN, Decimal
from pathlib import Path

import common
import generate
from common import MiB, Recording, Report

RSS_LIMIT = 100 * MiB
RSS_GROWTH_SLACK = 8 * MiB
PANDAS_BUDGET_S = 600.0
NO_AUX = dict(include_temperature=False, include_light=False, include_battery=False)

PROBE = """
import json, sys, kelpmoor
def kib(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
base = kib("VmRSS")
kelpmoor.write_cwa_csv(sys.argv[1], sys.argv[2])
print(json.dumps({"base": base, "peak": kib("VmHWM")}))
"""


def fixed(value: float, places: int) -> str:
    return format(Decimal(float(value)).quantize(Decimal(1).scaleb(-places), rounding=ROUND_HALF_EVEN), "f")


def check_csv(out: Path, df) -> list[str]:
    """Header, row count, and the first rows against the DataFrame of the same recording."""
    problems = []
    with open(out) as f:
        header = f.readline().rstrip("\n")
        head = [f.readline().rstrip("\n") for _ in range(1000)]
    if header != "time,acc_x,acc_y,acc_z":
        problems.append(f"header {header!r}")
    with open(out, "rb") as f:
        rows = sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(common.CHUNK * 16), b"")) - 1
    if rows != len(df):
        problems.append(f"{rows} rows, expected {len(df)}")
    stamps = df.index.asi8
    cols = [df[c].to_numpy() for c in ("acc_x", "acc_y", "acc_z")]
    for i, line in enumerate(head):
        want = ",".join([fixed(stamps[i] / 1e6, 4)] + [fixed(c[i], 6) for c in cols])
        if line != want:
            problems.append(f"row {i}: {line!r}, expected {want!r}")
            break
    return problems


def peak_rss(path: Path, out: Path) -> dict:
    proc = subprocess.run([sys.executable, "-c", PROBE, str(path), str(out)], capture_output=True, text=True)
    out.unlink(missing_ok=True)
    if proc.returncode != 0:
        raise RuntimeError(f"memory probe failed: {proc.stderr.strip().splitlines()[-1:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def timed_write(write, out: Path, repeat: int) -> tuple[common.Timing, int]:
    """The fastest of `repeat` calls of `write(out)`, and the size of the file it wrote. The file
    is removed after each call, so that no call pays for truncating the previous one."""
    best, size = None, 0
    for _ in range(repeat):
        gc.collect()
        r0 = resource.getrusage(resource.RUSAGE_SELF)
        t0 = time.perf_counter()
        write(str(out))
        dt = time.perf_counter() - t0
        r1 = resource.getrusage(resource.RUSAGE_SELF)
        size = out.stat().st_size
        out.unlink()
        if best is None or dt < best.seconds:
            best = common.Timing(dt, r1.ru_utime - r0.ru_utime, r1.ru_stime - r0.ru_stime,
                                 r1.ru_minflt - r0.ru_minflt)
    return best, size


def frame(kelpmoor, path: Path):
    return kelpmoor.read_cwa_file(str(path), **NO_AUX)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    common.add_recording_args(ap)
    shm = Path("/dev/shm")
    ap.add_argument("--out-dir", type=Path, default=shm if shm.is_dir() else generate.DEFAULT_DIR,
                    help="where the CSV files are written (default /dev/shm when present)")
    args = ap.parse_args(argv)
    rec = common.recording(args)
    day = Recording(generate.ensure(1, args.axes, args.seed), args.axes, generate.block_count(1, args.axes),
                    rec.samples_per_block)
    kelpmoor = common.import_module()
    args.out_dir.mkdir(parents=True, exist_ok=True)
    out = args.out_dir / f"kelpmoor-bench-{os.getpid()}.csv"
    rep = Report(f"csv benchmark: {rec.path.name}  {rec.blocks} blocks  {rec.rows:,} rows  {rec.size / 1e6:.1f} MB  "
                 f"best of {args.repeat}  output in {args.out_dir}")

    try:
        df = frame(kelpmoor, rec.path)
        kelpmoor.write_cwa_csv(str(rec.path), str(out))
        ok = rep.check("write_cwa_csv(path, out) output", check_csv(out, df))
        out.unlink()
        if not ok:
            return rep.finish()
    except NotImplementedError as exc:
        print(f"  kelpmoor is not finished yet: {exc}")
        return 3

    timing, size = timed_write(lambda o: kelpmoor.write_cwa_csv(str(rec.path), o), out, args.repeat)
    t_kelp = rep.time("write_cwa_csv(path, out)", timing,
                      f"{size / 1e6:.0f} MB, {size / 1e6 / timing.seconds:.0f} MB/s")

    # Peak RSS of a whole process, as ratios to the limits so that the report tallies them.
    peaks = []
    for label, r in (("1-day", day), (f"{args.days:g}-day", rec)):
        peak = peak_rss(r.path, out)["peak"]
        peaks.append(peak)
        rep.ratio(f"peak RSS {common.size_text(peak)} / 100 MiB, {label}", peak / RSS_LIMIT, 1.0)
    low, high = peaks
    rep.ratio(f"RSS growth 1-day -> {args.days:g}-day {common.size_text(high - low)} / 8 MiB",
              (high - low) / RSS_GROWTH_SLACK, 1.0)

    # pandas: the same samples as a DataFrame, timing only to_csv.
    sample = df.iloc[: max(1, len(df) // 50)]
    estimate = timed_write(lambda o: sample.to_csv(o, float_format="%.6f"), out, 1)[0].seconds * len(df) / len(sample)
    pandas_df, pandas_note, pandas_kelp = df, "", t_kelp
    if estimate > PANDAS_BUDGET_S:
        pandas_df = frame(kelpmoor, day.path)
        timing, _ = timed_write(lambda o: kelpmoor.write_cwa_csv(str(day.path), o), out, args.repeat)
        pandas_kelp = rep.time("write_cwa_csv(path, out), 1-day recording", timing)
        pandas_note = f"1-day recording: about {estimate:.0f} s expected on this one"
    timing, _ = timed_write(lambda o: pandas_df.to_csv(o, float_format="%.6f"), out, 1)
    t_pandas = rep.time('DataFrame.to_csv(float_format="%.6f")', timing, pandas_note)
    rep.ratio("write_cwa_csv / pandas to_csv", pandas_kelp / t_pandas, 0.1)
    del pandas_df

    try:
        import polars as pl
    except ImportError:
        print("  polars is not installed: pip install polars")
        return rep.finish()
    pdf = pl.DataFrame({"timestamp": df.index.to_numpy(), **{c: df[c].to_numpy() for c in df.columns}})
    del df
    timing, _ = timed_write(lambda o: pdf.write_csv(o, float_precision=6), out, args.repeat)
    t_polars = rep.time("polars write_csv(float_precision=6)", timing)
    rep.ratio("write_cwa_csv / polars write_csv", t_kelp / t_polars, 1.0)
    print(f"  speed-up over pandas {t_pandas / pandas_kelp:.1f}x, over polars {t_polars / t_kelp:.1f}x")
    return rep.finish()


if __name__ == "__main__":
    sys.exit(main())
