"""Write a cohort index from a small invented summary and photograph it with headless Chromium.

    python docs/index_screenshot.py OUT.png

The check that the index renders in a real browser: it fails when Chromium is missing, when it
cannot load the page, or when the picture is blank. Look at OUT.png after a change to the
index's style or script.
"""
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import matplotlib.image
import numpy as np
import pandas as pd

from kelpmoor_tools.report import write_index

SUMMARY = pd.DataFrame({
    "file": ["study/p01.cwa", "study/p02.cwa", "study/p03.cwa", "study/p04.cwa", "study/p10.cwa"],
    "device_id": [41234, 41235, np.nan, 41240, 41241],
    "session_id": [7, 8, np.nan, 9, 2],
    "start": pd.to_datetime(["2024-03-04 09:00", "2024-03-05 10:00", None, "2024-03-06 08:00",
                             "2024-03-04 12:00"]),
    "days": [8, 8, np.nan, 7, 8],
    "valid_days": [7, 2, np.nan, 6, 8],
    "wear_hours": [160.2, 40.5, np.nan, 140.0, 170.1],
    "nonwear_share": [0.05, 0.7, np.nan, 0.1, 0.02],
    "calibration_status": ["calibrated", "calibrated", None, "not calibrated", "calibrated"],
    "calibration_error_before_mg": [40.1, 12.2, np.nan, 80.3, 9.9],
    "calibration_error_after_mg": [2.1, 3.3, np.nan, np.nan, 1.9],
    "enmo_mg": [30.1, 22.3, np.nan, 25.0, 9.5],
    "mvpa_min": [45.2, 10.0, np.nan, 100.5, 9.0],
    "status": ["ok", "fewer than 16 h of wear on 6 days", None, "not calibrated", "ok"],
    "gaps": [0, 2, np.nan, 0, 1],
    "clock_jumps": [0, 0, np.nan, 1, 0],
    "error": ["", "", "RuntimeError: Invalid block timestamp", "", ""],
    "page": ["p01.png", "p02.png", "", "p04.png", "p10.png"],
})


def main(out: Path) -> None:
    chromium = next(filter(None, map(shutil.which, ("chromium", "chromium-browser"))), None)
    if chromium is None:
        sys.exit("index_screenshot: no chromium on PATH")
    with tempfile.TemporaryDirectory() as folder:
        page = write_index(SUMMARY, Path(folder) / "index.html")
        subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu",
                        "--hide-scrollbars", "--window-size=1600,420",
                        f"--screenshot={out.resolve()}", f"{page.as_uri()}#sort=-mvpa_min"],
                       check=True, capture_output=True, timeout=120)
    pixels = matplotlib.image.imread(out)
    if pixels.std() < 0.01:
        sys.exit(f"index_screenshot: {out} is blank")
    print(out)


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("index_screenshot.png"))
