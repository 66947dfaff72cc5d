"""Deliberate mistakes: each line marked `# E:` must draw exactly the errors it names.

`# E: mypy[code] pyright[rule]` lists the error codes that mypy and pyright report on that
line; no other line may draw an error. Pyright checks this file in its default (standard) mode
so that each mistake draws one error rather than a trail of strict-mode unknowns.
"""
# pyright: standard

from __future__ import annotations

import datetime
import pathlib

import kelpmoor
from kelpmoor import SecondsCut  # E: mypy[attr-defined] pyright[reportAttributeAccessIssue]

PATH = "wrist.cwa"

# Names that only the old stub had, or that the module never exports.
panic = kelpmoor.PanicException  # E: mypy[attr-defined] pyright[reportAttributeAccessIssue]

# Paths are str, not path-like objects or bytes.
kelpmoor.read_metadata(pathlib.Path(PATH))  # E: mypy[arg-type] pyright[reportArgumentType]
kelpmoor.sampling_consistency_report(PATH.encode())  # E: mypy[arg-type] pyright[reportArgumentType]

# The metadata values have exact types.
meta = kelpmoor.read_metadata(PATH)
rate_text: str = meta["sample_rate_hz"]  # E: mypy[assignment] pyright[reportAssignmentType]
first_sample: str = meta["start_from_data_raw"]  # E: mypy[assignment] pyright[reportAssignmentType]
gyro: int = meta["gyro_range"]  # E: mypy[assignment] pyright[reportAssignmentType]
misspelt = meta["sample_rate"]  # E: mypy[typeddict-item] pyright[reportGeneralTypeIssues]

report = kelpmoor.sampling_consistency_report(PATH)
span = report["duration_s_from_data"] + 1.0  # E: mypy[operator] pyright[reportOptionalOperand]

# Cuts: numbers only, block indices integral, and only the two kinds.
kelpmoor.seconds("10")  # E: mypy[arg-type] pyright[reportArgumentType]
kelpmoor.blocks(2.5)  # E: mypy[arg-type] pyright[reportArgumentType]
kelpmoor.seconds(start=1, stop=2)  # E: mypy[call-arg] pyright[reportCallIssue]
block_start: int = kelpmoor.seconds(5)["start"]  # E: mypy[assignment] pyright[reportAssignmentType]
kelpmoor.read_cwa_file(PATH, cut={"type": "minutes", "start": 1, "end": 2})  # E: mypy[arg-type] pyright[reportArgumentType]

# Flags are bools, the method is "cubic", the rate a number, the timezone a tzinfo.
kelpmoor.read_cwa_file(PATH, include_light=1)  # E: mypy[arg-type] pyright[reportArgumentType]
kelpmoor.read_cwa_file(PATH, resample_hz=50, resample_method="linear")  # E: mypy[arg-type] pyright[reportArgumentType]
kelpmoor.write_cwa_csv(PATH, "out.csv", resample_hz="50")  # E: mypy[arg-type] pyright[reportArgumentType]
kelpmoor.read_cwa_file(PATH, fixed_utc_offset_timezone=3600)  # E: mypy[arg-type] pyright[reportArgumentType]

# The timezone is keyword-only, and the output path is required.
kelpmoor.read_cwa_file(PATH, None, True, True, True, True, None, "cubic", datetime.timezone.utc)  # E: mypy[call-arg] pyright[reportCallIssue]
kelpmoor.write_cwa_csv(PATH)  # E: mypy[call-arg] pyright[reportCallIssue]

# write_cwa_csv returns nothing; read_cwa_file returns a DataFrame.
rows: int = kelpmoor.write_cwa_csv(PATH, "out.csv")  # E: mypy[func-returns-value,assignment] pyright[reportAssignmentType]
frame: dict[str, float] = kelpmoor.read_cwa_file(PATH)  # E: mypy[assignment] pyright[reportAssignmentType]
