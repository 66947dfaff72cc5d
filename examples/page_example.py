"""Draw the page of a generated week that shows every feature of a recording's page.

    pip install "kelpmoor[plot]"
    python examples/page_example.py [OUTPUT.png]     # default: docs/page_example.png

The week is written by `kelpmoor_tools.synth` with a sensor whose offsets and scales are off (so
the page reports the calibration error before and after), nights of sleep, activity bouts, a
non-wear bout of five hours and a gap of three hours; the first stage
(`kelpmoor_tools.activity.process`) and the timeline (`kelpmoor_tools.timeline`) read it back.
"""
import datetime
import sys
import tempfile
from pathlib import Path

from kelpmoor_tools import synth, timeline
from kelpmoor_tools.activity import process
from kelpmoor_tools.report import draw_page

DAYS = 7
SEED = 11
START = datetime.datetime(2024, 3, 4, 10, 0)     # a Monday morning, device clock
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

with tempfile.TemporaryDirectory() as folder:
    path = str(recording.write(Path(folder) / "week.cwa"))
    processed = process(path)
    events = timeline(path)
    out.parent.mkdir(parents=True, exist_ok=True)
    draw_page(processed, events, out,
              title=f"A generated week (kelpmoor_tools.synth, seed {SEED})")
print(out)
