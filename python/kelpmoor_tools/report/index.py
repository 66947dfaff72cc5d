"""A cohort's index: one HTML page that lists every recording, sorts by any column and links
each recording to its page.

The page is a single file with its style and a small script inside, so it can be mailed, put
on a shared drive or opened from a USB stick: it fetches nothing. Every text from the data is
escaped, since file names and error messages come from outside. Rows that need a look are
marked twice, by colour and by a "problem" column in words, so the marking survives print and
colour blindness. Each cell keeps its exact value in ``data-sort`` so that sorting never
depends on how the number is shown.

Clicking a header sorts by that column, again to reverse; numbers sort as numbers and empty
cells stay last either way. A link may name the sort in its fragment, as in
``index.html#sort=mvpa_min`` or ``#sort=-mvpa_min`` (descending).
"""
from __future__ import annotations

import html
import math
import os
import urllib.parse
from collections.abc import Mapping
from pathlib import Path

import numpy as np
import pandas as pd

from .._whole import write_whole

# At least four valid days is the common rule for a stable estimate of a usual week.
MIN_VALID_DAYS = 4
PROBLEM_COLUMN = "problem"


def write_index(summary: pd.DataFrame, path: str | os.PathLike[str], *,
                min_valid_days: int = MIN_VALID_DAYS,
                pages: Mapping[str, str | os.PathLike[str]] | None = None,
                title: str = "Recordings") -> Path:
    """Write a cohort's summary as one self-contained HTML page and return its path.

    Parameters
    ----------
    summary : pandas.DataFrame
        One row per recording: the first stage's summary columns plus ``gaps``,
        ``clock_jumps``, ``error`` (empty or missing when the recording was processed) and
        ``page`` (the path of its PNG, or empty).
    path : str or os.PathLike
        Where to write the page; links to the pages are made relative to its folder, so the
        folder can be moved whole. The file appears whole or not at all.
    min_valid_days : int, default 4
        A recording with fewer valid days is marked as a problem.
    pages : mapping of str to path, optional
        The page of each recording by its ``file``, in place of the ``page`` column.
    title : str, default "Recordings"
        The page's heading.

    Returns
    -------
    pathlib.Path
        `path`, written.
    """
    path = Path(path)
    # A meaningful index (the recording, say) stays as leading columns; a row count does not.
    table = summary.reset_index(drop=isinstance(summary.index, pd.RangeIndex))
    if pages is not None:
        table["page"] = [pages.get(str(file), "") for file in table.get("file", [])]
    table.insert(0, PROBLEM_COLUMN, [_problems(row, min_valid_days) for _, row in table.iterrows()])
    flagged = int((table[PROBLEM_COLUMN] != "").sum())
    # The file leads; an error is shown once, in the problem column.
    columns = [c for c in ("file", PROBLEM_COLUMN) if c in table]
    columns += [c for c in table.columns if c not in (*columns, "page", "error")]
    formats = {c: _number_format(table[c]) for c in columns if _is_numeric(table[c])}

    head = "".join(f'<th scope="col" data-column="{_text(c)}" '
                   f'data-type="{"number" if c in formats else "text"}">'
                   f'<button type="button">{_text(c.replace("_", " "))}</button></th>'
                   for c in columns)
    rows = []
    for _, row in table.iterrows():
        link = _link(row.get("page"), path.parent)
        cells = "".join(_cell(c, row[c], formats.get(c), link) for c in columns)
        marked = ' class="problem"' if row[PROBLEM_COLUMN] else ""
        rows.append(f"<tr{marked}>{cells}</tr>")
    document = _TEMPLATE.format(
        title=_text(title), style=_STYLE, script=_SCRIPT, head=head, rows="\n".join(rows),
        counts=_text(f"{len(table)} recordings, {flagged} marked as a problem "
                     f"(failed, not calibrated, or fewer than {min_valid_days} valid days)"))
    return write_whole(path, lambda temporary: temporary.write_text(document, encoding="utf-8"))


def _problems(row: pd.Series, min_valid_days: int) -> str:
    error = row.get("error")
    if not _empty(error):
        return f"failed: {error}"
    found = []
    if row.get("calibration_status") == "not calibrated":
        found.append("not calibrated")
    valid = row.get("valid_days")
    if not _empty(valid) and valid < min_valid_days:
        found.append(f"{valid:.0f} valid days of {min_valid_days} needed")
    return "; ".join(found)


def _empty(value) -> bool:
    if value is None or value is pd.NA or value is pd.NaT:
        return True
    if isinstance(value, float) and math.isnan(value):
        return True
    return isinstance(value, str) and not value.strip()


def _is_numeric(column: pd.Series) -> bool:
    return pd.api.types.is_numeric_dtype(column) and not pd.api.types.is_bool_dtype(column)


def _number_format(column: pd.Series) -> str:
    """One format per column, so that its numbers line up: whole numbers as such, shares and
    other fractions to two decimals, the rest to one."""
    values = pd.to_numeric(column, errors="coerce").dropna().to_numpy(float)
    if np.all(values == np.round(values)):
        return "{:.0f}"
    return "{:.2f}" if np.all(np.abs(values) <= 1) else "{:.1f}"


def _cell(column: str, value, number_format: str | None, link: str) -> str:
    if _empty(value):
        return '<td data-sort=""></td>'
    if number_format:
        shown = _text(number_format.format(float(value)))
        return f'<td class="number" data-sort="{_text(repr(float(value)))}">{shown}</td>'
    text = _shown_text(value)
    sort = _text(text)
    if column == "file":
        name = _text(os.path.basename(text) or text)
        title = f' title="{_text(text)}"'
        text_html = f'<a href="{link}"{title}>{name}</a>' if link else f"<span{title}>{name}</span>"
        return f'<td data-sort="{sort}">{text_html}</td>'
    wide = {PROBLEM_COLUMN: ' class="long problem"', "status": ' class="long"'}.get(column, "")
    return f'<td data-sort="{sort}"{wide}>{_text(text)}</td>'


def _shown_text(value) -> str:
    if isinstance(value, (pd.Timestamp, np.datetime64)):
        return pd.Timestamp(value).isoformat(sep=" ")
    if isinstance(value, (bool, np.bool_)):
        return "yes" if value else "no"
    return str(value)


def _link(page, folder: Path) -> str:
    if _empty(page):
        return ""
    target = Path(str(page))
    if not target.is_absolute():
        return _text(urllib.parse.quote(target.as_posix()))
    try:
        return _text(urllib.parse.quote(Path(os.path.relpath(target, folder)).as_posix()))
    except ValueError:          # another drive on Windows: no relative path exists
        return _text(target.as_uri())


def _text(value) -> str:
    return html.escape(str(value), quote=True)


_STYLE = """
body { font: 15px/1.4 system-ui, sans-serif; margin: 1.5rem; color: #1a1a1a; }
h1 { font-size: 1.4rem; margin: 0 0 .3rem; }
p.counts { margin: 0 0 1rem; color: #444; }
table { border-collapse: collapse; }
th, td { padding: .3rem .6rem; border-bottom: 1px solid #ddd; white-space: nowrap; }
th { vertical-align: bottom; white-space: normal; max-width: 7em; }
th[data-type="number"] { text-align: right; }
td.number { text-align: right; font-variant-numeric: tabular-nums; }
td.long { white-space: normal; min-width: 12em; max-width: 24em; }
th button { font: inherit; font-weight: 600; border: 0; background: none; cursor: pointer;
            padding: 0; color: inherit; }
th[aria-sort="ascending"] button::after { content: " \\25B2"; }
th[aria-sort="descending"] button::after { content: " \\25BC"; }
thead th { position: sticky; top: 0; background: #f2f2f2; }
tr.problem td { background: #fde0dc; }
tr.problem td:first-child { border-left: 4px solid #b2182b; }
td.problem { font-weight: 600; color: #7f0000; }
@media print { thead th { position: static; } }
"""

# Sorting keeps each cell's exact value in data-sort; empty cells go last in either direction.
_SCRIPT = """
(function () {
  const table = document.querySelector("table");
  const headers = Array.from(table.tHead.rows[0].cells);
  function sortBy(column, descending) {
    const numeric = headers[column].dataset.type === "number";
    const body = table.tBodies[0];
    const rows = Array.from(body.rows);
    const key = (row) => row.cells[column].dataset.sort;
    rows.sort((a, b) => {
      const x = key(a), y = key(b);
      if (x === "" || y === "") return (x === "") - (y === "");
      const order = numeric ? parseFloat(x) - parseFloat(y) : x.localeCompare(y, undefined, {numeric: true});
      return descending ? -order : order;
    });
    rows.forEach((row) => body.appendChild(row));
    headers.forEach((th, i) => th.setAttribute("aria-sort", i === column
      ? (descending ? "descending" : "ascending") : "none"));
  }
  headers.forEach((th, i) => th.querySelector("button").addEventListener("click", () =>
    sortBy(i, th.getAttribute("aria-sort") === "ascending")));
  const wanted = decodeURIComponent(location.hash).match(/^#sort=(-?)(.+)$/);
  if (wanted) {
    const i = headers.findIndex((th) => th.dataset.column === wanted[2]);
    if (i >= 0) {
      headers[i].querySelector("button").click();
      if (wanted[1]) headers[i].querySelector("button").click();
    }
  }
})();
"""

_TEMPLATE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{title}</title>
<style>{style}</style>
</head>
<body>
<h1>{title}</h1>
<p class="counts">{counts}. Click a column's name to sort by it, again to reverse.</p>
<table>
<thead><tr>{head}</tr></thead>
<tbody>
{rows}
</tbody>
</table>
<script>{script}</script>
</body>
</html>
"""
