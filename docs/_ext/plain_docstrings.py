"""Aligned plain-text blocks in docstrings, shown as the author laid them out.

Many docstrings here are written for `help()`: a table of settings whose descriptions line up
in a column, or a code sample with comments aligned after it. reStructuredText reads such a
block as a definition list or a block quote gone wrong. Before numpydoc and autodoc see a
docstring, each run of lines laid out in columns (a gap of three or more spaces inside the
text) becomes a literal block, so the page shows it exactly as `help()` does. Elsewhere,
an absolute value written as ``|a|`` is kept as text rather than read as a substitution.
"""
import re

COLUMN_GAP = re.compile(r"\S {3,}\S")
ABSOLUTE_VALUE = re.compile(r"\|(?=\S)([^|]*?\S)\|")


def literal_aligned_blocks(lines: list[str]) -> list[str]:
    out: list[str] = []
    i = 0
    while i < len(lines):
        if not lines[i].strip():
            out.append(lines[i])
            i += 1
            continue
        end = i
        while end < len(lines) and lines[end].strip():
            end += 1
        run = lines[i:end]
        gaps = [bool(COLUMN_GAP.search(line.strip())) for line in run]
        if gaps[0] or sum(gaps) >= 2:
            indent = min(len(line) - len(line.lstrip()) for line in run)
            if out and out[-1].strip():
                out.append("")
            out += [" " * indent + "::", ""]
            out += ["    " + line for line in run]
            out.append("")
        else:
            out += [ABSOLUTE_VALUE.sub(r"\\|\1\\|", line) for line in run]
        i = end
    return out


def setup(app):
    def process(app, what, name, obj, options, lines):
        lines[:] = literal_aligned_blocks(lines)

    # Before numpydoc (priority 500), which would read the columns as parameter lists.
    app.connect("autodoc-process-docstring", process, priority=100)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
