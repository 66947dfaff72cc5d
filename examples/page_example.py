"""Draw the page of a generated week that shows every feature of a recording's page, the way a
study gets it: through `kelpmoor process`.

    pip install "kelpmoor[cli,plot]"
    python examples/page_example.py [OUTPUT.png]     # default: docs/page_example.png

The week is written by `kelpmoor_tools.synth` with a sensor whose offsets and scales are off (so
the page reports the calibration error before and after), nights of sleep, activity bouts, a
non-wear bout of five hours and a gap of three hours. `kelpmoor process` then runs the first
stage (`kelpmoor_tools.activity.process`) and the timeline (`kelpmoor_tools.timeline`) on it and
draws the page beside the recording's epochs, days, summary.csv and index.html; the page is
copied out of that folder.
"""
import datetime
import shutil
import sys
import tempfile
from pathlib import Path

from kelpmoor_tools import cli, synth

DAYS = 7
SEED = 11
START = datetime.datetime(2024, 3, 4, 10, 0)     # a Monday morning, device clock
NAME = f"generated-week-seed{SEED}"
out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "docs" / "page_example.png"

recording = synth.Recording(
    duration_s=DAYS * 86400,
    start=START,
    seed=SEED,
    segments=synth.day_schedule(DAYS, start=START, nonwear=((2, 13, 5),), seed=SEED),
    sensor_error=synth.SensorError(offset_g=(0.045, -0.03, 0.06), scale=(1.02, 0.97, 1.01),
                                   temperature_g_per_c=(0.002, -0.001, 0.003)),
    faults=synth.Faults(gaps=((4.25 * 86400, 3 * 3600),)),     # Friday 16:00 to 19:00
)

if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as folder:
        path = recording.write(Path(folder) / f"{NAME}.cwa")
        study = Path(folder) / "study"
        status = cli.main(["process", str(path), "--out", str(study), "--no-progress"])
        if status:
            sys.exit(status)
        out.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(study / f"{NAME}.png", out)
    print(out)
