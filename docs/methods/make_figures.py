"""Draw the method figures from synthetic recordings with known truth (fixed seeds):

    python docs/methods/make_figures.py [--out docs/methods]

calibration.png  calibration error before and after auto-calibration over a sweep of injected
                 sensor errors (offset, scale, temperature coefficient), and how far the
                 corrected still-window gravity lies from the truth
nonwear.png      non-wear found by the published rule (and with trimmed ends) against the
                 recording's own labels, over a week with bouts off the wrist

The numbers behind each figure are printed.
"""
from __future__ import annotations

import argparse
import tempfile
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from kelpmoor_tools import activity, synth  # noqa: E402
from kelpmoor_tools.activity.calibrate import fit, still_windows  # noqa: E402

RATE_HZ = 25.0
WEEK_S = 7 * 86400
NONWEAR = ((1, 10.0, 1.25), (2, 14.5, 1.5), (3, 9.25, 3.0), (4, 20.0, 2.0), (5, 12.0, 0.75), (6, 8.0, 4.5))


def injected_errors(count: int, seed: int = 7):
    rng = np.random.default_rng(seed)
    for _ in range(count):
        yield synth.SensorError(offset_g=tuple(rng.uniform(-0.08, 0.08, 3)),
                                scale=tuple(rng.uniform(0.95, 1.05, 3)),
                                temperature_g_per_c=tuple(rng.uniform(-0.004, 0.004, 3)))


def gravity_error_mg(error: synth.SensorError, cal, windows) -> float:
    """Largest distance (mg) of the corrected still-window means from the true ones; the truth
    inverts the injected error, which is linear, so it holds for window means too."""
    v, t = windows.mean, windows.temperature
    truth = (v - np.array(error.offset_g) - np.outer(t - error.reference_c, error.temperature_g_per_c)) / np.array(error.scale)
    corrected = np.stack(cal.apply(*v.T, t), axis=1)
    return float(np.abs(corrected - truth).max() * 1000)


def calibration_sweep(folder: Path, count: int) -> pd.DataFrame:
    rows = []
    schedule = synth.day_schedule(7, seed=1)
    for i, error in enumerate(injected_errors(count)):
        path = synth.Recording(duration_s=WEEK_S, rate_hz=RATE_HZ, seed=100 + i, sensor_error=error,
                               segments=schedule).write(folder / f"cal{i}.cwa")
        windows = still_windows(str(path), RATE_HZ)
        cal = fit(windows)
        rows.append({"recording": i, "status": cal.status, "before_mg": cal.error_before_mg,
                     "after_mg": cal.error_after_mg, "gravity_mg": gravity_error_mg(error, cal, windows),
                     "still_windows": cal.still_windows})
        path.unlink()
    return pd.DataFrame(rows)


def draw_calibration(table: pd.DataFrame, out: Path) -> None:
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4), constrained_layout=True)
    order = table.sort_values("before_mg")
    x = np.arange(len(order))
    left.bar(x - 0.2, order["before_mg"], 0.4, label="before", color="#c44e52")
    left.bar(x + 0.2, order["after_mg"], 0.4, label="after", color="#4c72b0")
    left.axhline(10, color="grey", ls="--", lw=1, label="acceptance (10 mg)")
    low, high = f"{order['after_mg'].min():.2f}", f"{order['after_mg'].max():.2f}"
    after = low if low == high else f"{low} to {high}"
    left.set(xlabel="recording (sorted by error before)", ylabel="mean | |g| - 1 | of still windows (mg)",
             title=f"Calibration error, week at 25 Hz (after: {after} mg)")
    left.legend()
    right.bar(x, order["gravity_mg"], color="#55a868")
    right.axhline(5, color="grey", ls="--", lw=1, label="5 mg")
    right.set(xlabel="recording (sorted by error before)", ylabel="largest distance from truth (mg)",
              title="Corrected still-window gravity vs truth")
    right.legend()
    fig.savefig(out, dpi=110)
    plt.close(fig)


def nonwear_week(folder: Path):
    rec = synth.Recording(duration_s=WEEK_S, rate_hz=RATE_HZ, seed=5,
                          segments=synth.day_schedule(7, nonwear=NONWEAR, seed=5))
    path = rec.write(folder / "nonwear.cwa")
    # The truth per epoch: the kind of the segment running at the epoch's start.
    ends = np.cumsum([s.duration_s for s in rec.segments])
    kinds = np.array([s.kind for s in rec.segments])
    results = {}
    for trim in (False, True):
        epochs = activity.process(str(path), nonwear_trim=trim).epochs
        elapsed = (epochs.index - pd.Timestamp(rec.start)).total_seconds().to_numpy()
        label = kinds[np.minimum(np.searchsorted(ends, elapsed, side="right"), len(kinds) - 1)]
        results[trim] = (epochs, label)
    path.unlink()
    return rec, results


def nonwear_numbers(epochs: pd.DataFrame, label: np.ndarray) -> dict:
    off = label == "nonwear"
    flag = epochs["nonwear"].to_numpy()
    worn = ~off & (epochs["samples"].to_numpy() > 0)
    edges = np.flatnonzero(np.diff(np.concatenate(([0], off.astype(np.int8), [0]))))
    long = np.zeros_like(off)
    missed = []
    for a, b in zip(edges[::2], edges[1::2]):
        if (b - a) * 5 >= 75 * 60:
            long[a:b] = True
            missed.append((b - a - flag[a:b].sum()) * 5 / 60)
    return {"true non-wear min": off.sum() * 5 / 60, "found min": (flag & off).sum() * 5 / 60,
            "found share": (flag & off).sum() / max(off.sum(), 1),
            "found share of bouts >= 75 min": (flag & long).sum() / max(long.sum(), 1),
            "most minutes missed in such a bout": max(missed, default=0.0),
            "worn min flagged": (flag & worn).sum() * 5 / 60,
            "worn share flagged": (flag & worn).sum() / max(worn.sum(), 1),
            "sleep min flagged": (flag & (label == "sleep")).sum() * 5 / 60}


def draw_nonwear(rec, results, out: Path) -> None:
    epochs, label = results[False]
    hours = (epochs.index - epochs.index[0].normalize()).total_seconds().to_numpy() / 3600.0
    day = (hours // 24).astype(int)
    fig, ax = plt.subplots(figsize=(10, 5), constrained_layout=True)
    colours = {"nonwear": "#c44e52", "sleep": "#8172b2", "activity": "#dd8452"}
    for kind, colour in colours.items():
        mask = label == kind
        ax.scatter(hours[mask] % 24, day[mask] - 0.25, s=1, marker="|", color=colour, label=f"truth: {kind}")
    for offset, (trim, name, colour) in zip((0.0, 0.22), ((False, "published rule", "black"),
                                                         (True, "trimmed ends", "#4c72b0"))):
        flags = results[trim][0]["nonwear"].to_numpy()
        ax.scatter(hours[flags] % 24, day[flags] + offset, s=1, marker="|", color=colour, label=f"found: {name}")
    ax.set(xlim=(0, 24), xticks=range(0, 25, 3), xlabel="hour of the device clock", ylabel="day",
           title="Non-wear: truth (below) and found (above) on a synthetic week")
    ax.invert_yaxis()
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.15), ncol=5, markerscale=8, fontsize=8)
    fig.savefig(out, dpi=110)
    plt.close(fig)


def main(argv=None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", type=Path, default=Path(__file__).resolve().parent)
    ap.add_argument("--recordings", type=int, default=12)
    args = ap.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        table = calibration_sweep(folder, args.recordings)
        print(table.to_string(index=False, float_format=lambda v: f"{v:.2f}"))
        draw_calibration(table, args.out / "calibration.png")
        rec, results = nonwear_week(folder)
        for trim, (epochs, label) in results.items():
            numbers = nonwear_numbers(epochs, label)
            print(("trimmed: " if trim else "published: ") + ", ".join(f"{k} {v:.3g}" for k, v in numbers.items()))
        draw_nonwear(rec, results, args.out / "nonwear.png")


if __name__ == "__main__":
    main()
