"""Uses kelpmoor_tools as a study's script would; type checkers must accept all of it."""

from __future__ import annotations

import sys
from pathlib import Path

import pandas as pd

import kelpmoor_tools
from kelpmoor_tools import cli, cohort, synth
from kelpmoor_tools.salvage import SalvageReport, salvage


def make_recordings(folder: Path) -> list[Path]:
    plain: Path = synth.write_recording(folder / "plain.cwa", duration_s=600.0, seed=1)
    faults = synth.Faults(gaps=((100.0, 60.0),), damaged_blocks=(5,))
    recording = synth.Recording(duration_s=900.0, rate_hz=50.0, axes=6, faults=faults)
    blocks: int = recording.blocks
    assert blocks > 0
    return [plain, recording.write(folder / "damaged.cwa")]


def repair(damaged: Path, folder: Path) -> int:
    report: SalvageReport = salvage(damaged, folder / "salvaged.cwa")
    also: pd.DataFrame = salvage(str(damaged), str(folder / "again.cwa"))
    return len(report) + len(also)


def breaks(path: Path) -> int:
    table: pd.DataFrame = kelpmoor_tools.timeline(path)
    version: str = kelpmoor_tools.__version__
    assert version
    return len(table)


def per_recording(path: str) -> pd.DataFrame:
    frame: pd.DataFrame = pd.DataFrame({"bytes": [Path(path).stat().st_size]})
    return frame


def study(folder: Path) -> tuple[pd.DataFrame, pd.DataFrame]:
    paths: list[str] = cohort.expand_paths(str(folder / "*.cwa"))
    serial = cohort.summarise_serially(paths)
    result: cohort.CohortResult = cohort.summarise([folder / "plain.cwa", *paths], per_recording, n_workers=2)
    hourly: pd.DataFrame = cohort.hourly_summary(paths[0])
    assert len(hourly) and len(serial.failures) >= 0
    return result.summary, result.failures


def command_line(folder: Path) -> int:
    status: int = cli.main(["csv", str(folder / "plain.cwa"), "--out", str(folder / "csv")])
    return status or cli.main(["info", "--json", str(folder / "plain.cwa")])


if __name__ == "__main__":
    here = Path(sys.argv[1])
    make_recordings(here)
    sys.exit(command_line(here))
