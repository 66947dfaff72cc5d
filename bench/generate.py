"""Fixed-seed week-long recordings for the benchmarks, written by kelpmoor_tools.synth.

    python bench/generate.py                     # 7 days, packed 3-axis
    python bench/generate.py --axes 6 --days 2   # unpacked gyroscope + accelerometer

The recordings are synth's defaults at 100 Hz (a sample clock 15 ppm fast, postures, a daily
activity curve, noise, drifting temperature, light and battery), starting 2024-03-04 09:00:00.37,
so the benchmarks' checks and ratios keep their meaning whatever the writer's internals.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

from kelpmoor_tools import synth

DEFAULT_DIR = Path(tempfile.gettempdir()) / "kelpmoor-bench"
RATE_HZ = 100
HEADER_BYTES = 1024
SECTOR = 512


@dataclass(frozen=True)
class Layout:
    axes: int
    samples_per_block: int


LAYOUTS = {3: Layout(3, 120), 6: Layout(6, 40)}


def recording(days: float = 7, axes: int = 3, seed: int = 12345) -> synth.Recording:
    return synth.Recording(duration_s=days * 86400, rate_hz=RATE_HZ, axes=axes, seed=seed,
                           device_id=10000 + seed % 50000, session_id=seed & 0xFFFFFFFF,
                           annotation=f"generated benchmark recording seed={seed}")


def default_path(days: float = 7, axes: int = 3, seed: int = 12345) -> Path:
    return DEFAULT_DIR / f"synth_{days:g}d_{axes}ax_s{seed}.cwa"


def block_count(days: float, axes: int) -> int:
    return int(round(days * 86400 * RATE_HZ)) // LAYOUTS[axes].samples_per_block


def generate(path, days: float = 7, axes: int = 3, seed: int = 12345) -> Path:
    """Write the recording of these parameters to `path` (complete or not at all)."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    return recording(days, axes, seed).write(path)


def ensure(days: float = 7, axes: int = 3, seed: int = 12345, path=None) -> Path:
    """The recording for these parameters, generated first if it is not there yet.

    A file at the default location with the wrong size (an older generator, other
    parameters) is replaced; a file the caller named is never overwritten.
    """
    expected = HEADER_BYTES + SECTOR * block_count(days, axes)
    target = Path(path) if path else default_path(days, axes, seed)
    if target.exists() and target.stat().st_size == expected:
        return target
    if path and target.exists():
        raise SystemExit(f"{target} is not a {days:g}-day {axes}-axis recording ({expected} bytes); not overwriting it")
    return generate(target, days=days, axes=axes, seed=seed)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--days", type=float, default=7)
    ap.add_argument("--axes", type=int, choices=sorted(LAYOUTS), default=3)
    ap.add_argument("--seed", type=int, default=12345)
    ap.add_argument("--out", type=Path, help=f"output file (default: {DEFAULT_DIR}/synth_...cwa)")
    args = ap.parse_args(argv)
    out = args.out or default_path(args.days, args.axes, args.seed)
    t0 = time.perf_counter()
    generate(out, days=args.days, axes=args.axes, seed=args.seed)
    dt = time.perf_counter() - t0
    print(f"{out}  {block_count(args.days, args.axes)} blocks  {out.stat().st_size / 1e6:.1f} MB  {dt:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
