"""Runs mypy and pyright on a typing sample and compares their errors with its `# E:` comments.

A line ending in `# E: mypy[code,...] pyright[rule,...]` must draw exactly those errors from
each checker (as a multiset), and every other line none. Prints each difference and exits 1
when there is any.

usage: python check_errors.py SAMPLE PYRIGHT_CONFIG
"""

import collections
import json
import pathlib
import re
import subprocess
import sys

EXPECTATION = re.compile(r"#\s*E:(?P<specs>(\s*\w+\[[\w\-,]+\])+)\s*$")
SPEC = re.compile(r"(\w+)\[([\w\-,]+)\]")


def expected_errors(sample: pathlib.Path) -> dict[str, collections.Counter]:
    expected = {"mypy": collections.Counter(), "pyright": collections.Counter()}
    for number, line in enumerate(sample.read_text().splitlines(), start=1):
        match = EXPECTATION.search(line)
        if not match:
            continue
        for tool, codes in SPEC.findall(match["specs"]):
            if tool not in expected:
                sys.exit(f"{sample}:{number}: unknown checker {tool!r}")
            expected[tool].update((number, code) for code in codes.split(","))
    return expected


def run(command: list[str]) -> str:
    # Both checkers exit 1 when they report errors, which is what this sample is for.
    completed = subprocess.run(command, capture_output=True, text=True)
    if completed.returncode not in (0, 1) or not completed.stdout.strip():
        sys.exit(f"{' '.join(command)} failed ({completed.returncode}):\n{completed.stdout}{completed.stderr}")
    return completed.stdout


def mypy_errors(sample: pathlib.Path) -> collections.Counter:
    output = run([sys.executable, "-m", "mypy", "--strict", "--python-version", "3.10", "--output", "json",
                  str(sample)])
    found = collections.Counter()
    for line in output.splitlines():
        if not line.startswith("{"):
            continue  # the closing summary
        error = json.loads(line)
        if error["severity"] == "error":
            found[(error["line"], error["code"])] += 1
    return found


def pyright_errors(sample: pathlib.Path, config: pathlib.Path) -> collections.Counter:
    basedpyright = pathlib.Path(sys.executable).with_name("basedpyright")
    output = run([str(basedpyright), "--outputjson", "--pythonpath", sys.executable, "-p", str(config),
                  str(sample)])
    found = collections.Counter()
    for error in json.loads(output)["generalDiagnostics"]:
        if error["severity"] == "error":
            # pyright counts lines from 0
            found[(error["range"]["start"]["line"] + 1, error.get("rule", "-"))] += 1
    return found


def main() -> int:
    sample, config = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    expected = expected_errors(sample)
    found = {"mypy": mypy_errors(sample), "pyright": pyright_errors(sample, config)}
    failures = 0
    for tool in expected:
        for (line, code), count in sorted((expected[tool] - found[tool]).items()):
            print(f"{sample}:{line}: {tool} did not report [{code}]" + (f" x{count}" if count > 1 else ""))
            failures += 1
        for (line, code), count in sorted((found[tool] - expected[tool]).items()):
            print(f"{sample}:{line}: {tool} reported unexpected [{code}]" + (f" x{count}" if count > 1 else ""))
            failures += 1
        print(f"{tool}: {sum(found[tool].values())} errors, {sum(expected[tool].values())} expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
