"""`kelpmoor process`: the first stage of one recording, as the files a study keeps of it.

For a recording NAME.cwa the task writes, in its private folder (published by the caller):

    NAME.epochs.parquet   the epoch table; what was run on what (`Processed.provenance`) is in
                          the Parquet schema's key-value metadata under "kelpmoor", as JSON
    NAME.days.csv         the day outcomes
    NAME.png              the recording's page

and returns the recording's row of the batch's summary: the first stage's summary, the counts
of gaps and backward clock jumps of its timeline, and what salvage changed, if anything.
"""
from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pandas as pd

from ._tasks import OUTPUT_SUFFIX, Stage, _source, output_path

METADATA_KEY = b"kelpmoor"
# The batch's summary: the first stage's own columns, then the discontinuities people look for
# first, then why a recording has no outcomes.
COUNTED_KINDS = {"gaps": "gap", "clock_jumps": "backward_jump"}
EXTRA_COLUMNS = [*COUNTED_KINDS, "error"]
INTEGER_COLUMNS = ("device_id", "session_id", "days", "valid_days")
SUFFIXES = (OUTPUT_SUFFIX["process"], ".days.csv", ".png")


def write_epochs(epochs: pd.DataFrame, provenance: dict[str, Any], target: Path) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq
    table = pa.Table.from_pandas(epochs, preserve_index=True)
    # allow_nan=False: provenance must stay readable by any JSON parser, not only Python's.
    text = json.dumps(provenance, allow_nan=False, sort_keys=True)
    table = table.replace_schema_metadata({**(table.schema.metadata or {}), METADATA_KEY: text.encode()})
    pq.write_table(table, target)


def read_provenance(path: str | Path) -> dict[str, Any]:
    """The provenance a processed recording's epoch table carries."""
    import pyarrow.parquet as pq
    return json.loads(pq.read_schema(path).metadata[METADATA_KEY])


def process_task(path: str, options: dict[str, Any], stage: Stage) -> dict[str, Any]:
    from kelpmoor_tools import timeline
    from kelpmoor_tools.activity import process
    from kelpmoor_tools.activity.process import input_provenance
    from kelpmoor_tools.report import draw_page

    source, changes = _source(path, options, stage)
    processed = process(source, **options["parameters"])
    events = timeline(source)
    provenance = processed.provenance
    if changes is not None:
        # The outcomes come from the repaired copy; the recording as returned is named too.
        provenance = {**provenance, "salvaged_from": input_provenance(path), "salvage": changes}

    out = options["out"]
    epochs_file, days_file, page_file = (output_path(path, out, s) for s in SUFFIXES)
    write_epochs(processed.epochs, provenance, stage.stage(epochs_file))
    processed.days.to_csv(stage.stage(days_file))
    draw_page(processed, events, stage.stage(page_file))

    found = events["kind"].value_counts()
    row = processed.summary.iloc[0].to_dict()
    row.update({column: int(found.get(kind, 0)) for column, kind in COUNTED_KINDS.items()})
    row["error"] = ""
    return {"file": path, "summary": row, "page": page_file.name, "salvaged": changes}


def summary_table(files: list[str], results: dict[str, Any], errors: dict[str, str]) -> pd.DataFrame:
    """One row per recording in the order given: its summary, or its file name and error."""
    from kelpmoor_tools.activity.process import SUMMARY_COLUMNS
    rows = [results[f]["summary"] if f in results else {"file": Path(f).name, "error": errors[f]}
            for f in files if f in results or f in errors]
    table = pd.DataFrame(rows, columns=[*SUMMARY_COLUMNS, *EXTRA_COLUMNS])
    # A failed recording's empty cells must not turn the counts into floats (10000.0).
    for column in (*INTEGER_COLUMNS, *COUNTED_KINDS):
        table[column] = table[column].astype("Int64")
    table["start"] = pd.to_datetime(table["start"]).astype("datetime64[us]")
    return table
