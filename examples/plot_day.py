"""Draw one generated day: per-minute mean acceleration of each axis, and ENMO.

    pip install "kelpmoor[plot]"
    python examples/plot_day.py [OUTPUT.png]       # default: docs/plot_day.png

ENMO is the Euclidean norm of the acceleration minus one g, negatives set to zero, in milli-g.
"""
import sys
import tempfile
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import kelpmoor  # noqa: E402
from kelpmoor_tools import synth  # noqa: E402

out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "docs" / "plot_day.png"

with tempfile.TemporaryDirectory() as folder:
    start = synth.DEFAULT_START.replace(hour=0, minute=0, second=0, microsecond=0)
    path = str(synth.write_recording(Path(folder) / "day.cwa", duration_s=86400, start=start, seed=3))
    frame = kelpmoor.read_cwa_file(path, include_temperature=False, include_light=False, include_battery=False)

acc = frame[["acc_x", "acc_y", "acc_z"]].astype(np.float64)
acc["enmo_mg"] = np.maximum(np.sqrt((acc ** 2).sum(axis=1)) - 1.0, 0.0) * 1000.0
minute = acc.resample("1min").mean()

fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 4.6), sharex=True, height_ratios=[3, 2])
for axis, colour in zip("xyz", ("tab:blue", "tab:orange", "tab:green")):
    top.plot(minute.index, minute[f"acc_{axis}"], lw=0.7, color=colour, label=axis)
top.set_ylabel("acceleration (g)\nper-minute mean")
top.legend(ncol=3, loc="lower right", bbox_to_anchor=(1.0, 1.0), frameon=False, borderaxespad=0.1)
bottom.fill_between(minute.index, minute["enmo_mg"], lw=0, color="tab:red", alpha=0.8)
bottom.set_ylabel("ENMO (mg)")
bottom.xaxis.set_major_formatter(matplotlib.dates.DateFormatter("%H:%M"))
bottom.set_xlabel(f"device clock, {start:%Y-%m-%d}")
top.set_title("One generated day at 100 Hz (kelpmoor_tools.synth, seed 3)", fontsize=10, loc="left")
fig.tight_layout()
out.parent.mkdir(parents=True, exist_ok=True)
fig.savefig(out, dpi=80)
print(out)
