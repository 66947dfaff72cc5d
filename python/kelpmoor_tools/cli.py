"""The `kelpmoor` command line: metadata, CSV, Parquet, salvaged copies and the first stage's
outcomes for many recordings at once.

Each recording is one task; tasks run in `--jobs` worker processes. A recording that fails is
one line on standard error naming the file and the error, and the batch goes on; a summary ends
the run, and the exit status is 1 when any recording failed (2 for a usage error, 130 when
interrupted). An output file appears under its name only once complete: it is written in a
hidden folder beside it and moved into place, and the hidden folder is removed at the end,
however the run ends. Ctrl-C stops the whole batch: recordings not started are not started,
running ones are stopped, and one line says what was done. `--address` runs the tasks on a
dask.distributed scheduler instead of local processes.
"""
from __future__ import annotations

import argparse
import datetime as _dt
import json
import os
import re
import signal
import sys
import time
from pathlib import Path

from . import _patterns, _tasks
from ._batch import Batch, Outcome, SchedulerUnreachable, file_size

EXAMPLES = """\
examples:
  kelpmoor info wrist.cwa                          metadata and sampling report as a table
  kelpmoor info --json data/*.cwa > info.json      the same for many files, as JSON
  kelpmoor csv data/*.cwa --out csv/ --jobs 4      one CSV per recording, four at a time
  kelpmoor csv wrist.cwa --out csv/ --resample 30 --utc-offset +02:00 --temperature
  kelpmoor csv wrist.cwa --out csv/ --utc-offset=-05:30     a negative offset takes the = form
  kelpmoor csv wrist.cwa --out csv/ --seconds 3600:7200     one hour from the first sample
  kelpmoor csv wrist.cwa --out csv/ --blocks 0:1000         the first 1000 data blocks
  kelpmoor parquet data/*.cwa --out parquet/ --jobs 2 --no-light
  kelpmoor salvage damaged/*.cwa --out salvaged/            readable copies of damaged recordings
  kelpmoor csv damaged/*.cwa --out csv/ --salvage           convert what can be read of each
  kelpmoor process returned/*.cwa --out study/ --jobs 2     epochs, days, pages, summary.csv, index.html
  kelpmoor process returned/*.cwa --out study/ --timezone Europe/London --device-utc-offset +01:00
  kelpmoor process returned/*.cwa --out study/ --address tcp://scheduler:8786   on Dask
"""


# ---------------------------------------------------------------------------- arguments


def parse_utc_offset(text: str) -> _dt.timezone:
    """A fixed offset such as +02:00, -0530, +2, Z or UTC, as a datetime.timezone."""
    if text.strip().upper() in ("Z", "UTC"):
        return _dt.timezone.utc
    m = re.fullmatch(r"\s*([+-])(\d{1,2})(?::?(\d{2}))?\s*", text)
    if not m:
        raise argparse.ArgumentTypeError(f"not a UTC offset: {text!r} (expected e.g. +02:00, -05:30 or Z)")
    sign = -1 if m.group(1) == "-" else 1
    hours, minutes = int(m.group(2)), int(m.group(3) or 0)
    if hours > 23 or minutes > 59:
        raise argparse.ArgumentTypeError(f"UTC offset out of range: {text!r}")
    return _dt.timezone(sign * _dt.timedelta(hours=hours, minutes=minutes))


def parse_timezone(text: str):
    """An IANA time zone such as Europe/London, as a zoneinfo.ZoneInfo."""
    from zoneinfo import ZoneInfo
    try:
        return ZoneInfo(text)
    except (KeyError, ValueError, OSError):   # not found is a KeyError, a malformed name a ValueError
        raise argparse.ArgumentTypeError(f"unknown time zone: {text!r} (expected e.g. Europe/London)") from None


def _positive(number):
    def parse(text: str):
        try:
            value = number(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not value > 0:
            raise argparse.ArgumentTypeError(f"must be positive, not {text}")
        return value
    return parse


# The first stage's parameters the command takes, by process()'s own names: (type, help).
STAGE_PARAMETERS = {
    "epoch_s": (_positive(float), "epoch length in seconds; must divide a minute (default 5)"),
    "nonwear_window_min": (_positive(float), "non-wear window in minutes (default 60)"),
    "nonwear_step_min": (_positive(float), "step between non-wear windows in minutes (default 15)"),
    "nonwear_sd_mg": (_positive(float), "an axis is still with a standard deviation below this "
                      "(mg, default 13) ..."),
    "nonwear_range_mg": (_positive(float), "... and a range below this (mg, default 50)"),
    "nonwear_axes": (_positive(int), "a window is non-wear when at least this many axes are still "
                     "(default 2)"),
    "min_wear_hours": (_positive(float), "a day is valid with this many hours of wear (default 16)"),
    "mvpa_mg": (_positive(float), "moderate-to-vigorous activity from this ENMO (mg, default 100)"),
}


def _span(kind: str, number):
    def parse(text: str) -> tuple:
        parts = text.split(":")
        if len(parts) != 2:
            raise argparse.ArgumentTypeError(f"{kind} range is START:END (either may be empty), not {text!r}")
        try:
            return tuple(number(p) if p.strip() else None for p in parts)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a {kind} range: {text!r}") from None
    return parse


def build_parser() -> argparse.ArgumentParser:
    from kelpmoor_tools import __version__
    ap = argparse.ArgumentParser(
        prog="kelpmoor", description="Read CWA accelerometer recordings: metadata, CSV, Parquet, "
        "the first stage's outcomes.",
        epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--version", action="version", version=f"kelpmoor {__version__}")
    sub = ap.add_subparsers(dest="command", required=True, metavar="{info,csv,parquet,salvage,process}")

    def command(name: str, help: str) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=help, epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
        p.add_argument("files", nargs="+", metavar="FILE", help="CWA recordings (a quoted glob pattern works too)")
        p.add_argument("--jobs", "-j", type=int, default=1, metavar="N",
                       help="recordings processed at once, each in its own process (default 1)")
        p.add_argument("--no-progress", action="store_true", help="no progress bar (there is none without "
                       "a terminal or without tqdm)")
        return p

    def out_folder(p: argparse.ArgumentParser) -> None:
        p.add_argument("--out", "-o", type=Path, required=True, metavar="DIR",
                       help="output folder (created if missing); each output is named after its recording")

    info = command("info", "metadata, sampling consistency and discontinuities")
    info.add_argument("--json", action="store_true", help="print one JSON list instead of tables")

    salvage = command("salvage", "readable copies of damaged recordings (blocks the module refuses "
                      "become erased sectors)")
    out_folder(salvage)

    for name, aux_default, what in (("csv", False, "write_cwa_csv"), ("parquet", True, "read_cwa_file")):
        p = command(name, f"one {name.upper() if name == 'csv' else 'Parquet'} file per recording "
                    f"(the options of {what})")
        out_folder(p)
        p.add_argument("--salvage", action="store_true",
                       help="convert a salvaged copy of each recording and list what was dropped")
        cut = p.add_mutually_exclusive_group()
        cut.add_argument("--seconds", type=_span("seconds", float), metavar="START:END",
                         help="cut in seconds from the first sample, start inclusive, end exclusive")
        cut.add_argument("--blocks", type=_span("blocks", int), metavar="START:END",
                         help="cut in zero-based data blocks, start inclusive, end exclusive")
        p.add_argument("--resample", type=float, metavar="HZ", help="resample onto a regular grid (cubic)")
        p.add_argument("--utc-offset", type=parse_utc_offset, metavar="OFFSET",
                       help="fixed offset of the device clock from UTC, e.g. +02:00 (a negative one "
                       "as --utc-offset=-05:30); times become UTC")
        flag = argparse.BooleanOptionalAction
        p.add_argument("--magnetometer", action=flag, default=True, help="magnetometer of 9-axis data")
        for channel in ("temperature", "light", "battery"):
            p.add_argument(f"--{channel}", action=flag, default=aux_default,
                           help=f"the {channel} column (default: {'yes' if aux_default else 'no'})")

    process = command("process", "the first stage of each recording: its epochs (Parquet), days "
                      "(CSV) and page (PNG); summary.csv and index.html for the batch")
    out_folder(process)
    process.add_argument("--salvage", action="store_true",
                         help="process a salvaged copy of each recording and list what was dropped")
    process.add_argument("--timezone", type=parse_timezone, metavar="ZONE",
                         help="days are local calendar days of this zone, e.g. Europe/London")
    process.add_argument("--device-utc-offset", type=parse_utc_offset, metavar="OFFSET",
                         help="the offset from UTC the device clock was set to, e.g. +01:00 (a "
                         "negative one as --device-utc-offset=-05:00); with --timezone")
    for name, (kind, text) in STAGE_PARAMETERS.items():
        process.add_argument("--" + name.replace("_", "-"), type=kind, metavar="X", help=text)
    process.add_argument("--nonwear-trim", action="store_true", default=None,
                         help="grow each non-wear bout, by up to a step at each end, while the "
                         "epochs next to it stay still (not part of the published rule)")
    process.add_argument("--min-valid-days", type=int, metavar="N",
                         help="the index marks a recording with fewer valid days (default 4)")
    process.add_argument("--address", metavar="tcp://HOST:PORT",
                         help="run on this dask.distributed scheduler instead of --jobs local "
                         "processes; its workers must see the files and --out under the same paths")
    return ap


def stage_parameters(args) -> dict:
    """Keyword arguments of activity.process: those given on the command line."""
    names = [*STAGE_PARAMETERS, "timezone", "device_utc_offset", "nonwear_trim"]
    return {name: getattr(args, name) for name in names if getattr(args, name) is not None}


def read_options(args) -> dict:
    """Keyword arguments of read_cwa_file / write_cwa_csv (the cut as (kind, start, end), made into a cut in the worker)."""
    options = dict(include_magnetometer=args.magnetometer, include_temperature=args.temperature,
                   include_light=args.light, include_battery=args.battery)
    if args.resample is not None:
        options["resample_hz"] = args.resample
    if args.utc_offset is not None:
        options["fixed_utc_offset_timezone"] = args.utc_offset
    if args.seconds is not None:
        options["cut"] = ("seconds", *args.seconds)
    elif args.blocks is not None:
        options["cut"] = ("blocks", *args.blocks)
    return options


# ---------------------------------------------------------------------------- the batch


class _Progress:
    """A tqdm bar over the bytes of the recordings, moving within a recording as its worker
    gets on, its label counting recordings; nothing when tqdm is missing, standard error is not
    a terminal, or the user said so."""

    def __init__(self, total_bytes: int, count: int, enabled: bool):
        self.count, self.done, self.bar = count, 0, None
        if enabled and sys.stderr.isatty():
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=total_bytes, unit="B", unit_scale=True, file=sys.stderr,
                            desc=self._label(), leave=False)

    def _label(self) -> str:
        return f"{self.done}/{self.count} recordings"

    def finished(self) -> None:
        self.done += 1
        if self.bar is not None:
            self.bar.set_description(self._label(), refresh=False)

    def move_to(self, position: float) -> None:
        if self.bar is not None and position > self.bar.n:
            self.bar.update(position - self.bar.n)

    def write(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(line, file=sys.stderr)
        else:
            print(line, file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def run_batch(command: str, files: list[str], options: dict, jobs: int, progress: bool,
              address: str | None = None) -> Outcome:
    """Run one task per file in worker processes, or on the scheduler at `address`; the
    outcome's results and errors are in the order of `files`, and `stopped_by` names the signal
    that stopped the batch, if any."""
    bar = _Progress(sum(file_size(f) for f in files), len(files), progress)

    def settled(path: str, ok: bool, value) -> None:
        if not ok:
            bar.write(f"kelpmoor {command}: FAILED {path}: {value}")
        bar.finished()

    try:
        if address is not None:
            from ._scheduler_batch import run_on_scheduler
            outcome = run_on_scheduler(address, command, files, options, settled, bar.move_to)
        else:
            outcome = Batch(command, files, options, jobs, settled, bar.move_to).run()
    finally:
        bar.close()
    order = {f: i for i, f in enumerate(files)}
    outcome.results = dict(sorted(outcome.results.items(), key=lambda kv: order[kv[0]]))
    outcome.errors = dict(sorted(outcome.errors.items(), key=lambda kv: order[kv[0]]))
    return outcome


# ---------------------------------------------------------------------------- the files


class UsageError(Exception):
    """A mistake in the command line: said in one line, exit status 2."""




def expand_files(given: list[str]) -> tuple[list[str], int]:
    """The recordings named, each once: a pattern that the shell passed on unmatched (or that
    was quoted) is expanded here, and one that matches nothing is a usage error; the same file
    named twice, under any spelling, is kept at its first mention. Also returns how many
    mentions were dropped as repeats."""
    try:
        named = _patterns.expand(given)
    except _patterns.NoMatch as exc:
        raise UsageError(f"no file matches {exc.pattern}") from None
    seen: set = set()
    files = []
    for item in named:
        try:
            st = os.stat(item)
            key: object = (st.st_dev, st.st_ino)
        except OSError:          # reported as that recording's failure later
            key = os.path.normcase(os.path.abspath(item))
        if key not in seen:
            seen.add(key)
            files.append(item)
    return files, len(named) - len(files)


def prepare_out(args: argparse.Namespace, files: list[str]) -> None:
    """Check the output names and create the output folder, or raise UsageError."""
    out: Path = args.out
    if out.exists() and not out.is_dir():
        raise UsageError(f"--out {out} is a file; it names the folder the outputs go to")
    suffix = _tasks.OUTPUT_SUFFIX.get(args.command)
    names: dict[str, str] = {}
    for f in files:
        name = Path(f).stem + suffix if suffix else Path(f).name
        if name in names:
            raise UsageError(f"{names[name]} and {f} would both write {name}; "
                             f"{'convert' if suffix else 'salvage'} them into different folders")
        names[name] = f
        if not suffix and out.is_dir() and Path(f).parent.resolve() == out.resolve():
            raise UsageError(f"the copy of {f} would replace it; choose another --out folder")
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise UsageError(f"cannot create the output folder {out}: {exc.strerror}") from None


# ---------------------------------------------------------------------------- output


def _text(value) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:.6f}".rstrip("0").rstrip(".") if value == value else "nan"
    return str(value)


# Fields of the sampling report that repeat a metadata field under another name.
_SAME_AS_METADATA = {"start_from_header_raw": "logging_start_time_raw", "end_from_header_raw": "logging_end_time_raw",
                     "samplingrate_hz_from_header": "sample_rate_hz"}
_KIND_NAMES = {"gap": "gaps", "backward_jump": "clock set back", "rate_change": "rate changes",
               "format_change": "format changes", "non_data": "runs of non-data sectors",
               "damaged": "damaged blocks"}


def info_table(result: dict) -> str:
    """A recording's three tables under their headings, each field once."""
    meta = result["metadata"]
    sampling = {k: v for k, v in result["sampling_consistency"].items()
                if k not in meta and _SAME_AS_METADATA.get(k) not in meta}
    sections = [("metadata", meta.items()), ("sampling: header against data", sampling.items()),
                ("discontinuities", ((_KIND_NAMES[k], n) for k, n in result["discontinuities"].items()))]
    rows = [[(k, _text(v)) for k, v in fields] for _, fields in sections]
    width = max(len(k) for section in rows for k, _ in section)
    lines = [result["file"]]
    for (heading, _), section in zip(sections, rows):
        lines += [f"  {heading}"] + [f"    {k:<{width}}  {v}".rstrip() for k, v in section]
    return "\n".join(lines)


def _salvage_line(path: str, changes: dict) -> str:
    lost = f" (about {changes['seconds_lost']:.6g} s of data)" if changes["blocks_replaced"] else ""
    return f"{path}: {changes['blocks_replaced']} blocks replaced{lost}, {changes['bytes_dropped']} bytes dropped"


VERBS = {"info": "read", "csv": "converted", "parquet": "converted", "salvage": "salvaged",
         "process": "processed"}
# What a command needs beyond numpy and pandas: (module, the extra that installs it).
NEEDS = {"parquet": [("pyarrow", "parquet")],
         "process": [("pyarrow", "parquet"), ("matplotlib", "plot")]}


def _missing(module: str) -> bool:
    import importlib.util
    try:
        return importlib.util.find_spec(module) is None
    except (ImportError, ValueError):       # a module that is blocked or half-installed
        return True


def _check_needs(command: str, address: str | None) -> None:
    needs = NEEDS.get(command, []) + ([("distributed", "cohort")] if address else [])
    missing = [(module, extra) for module, extra in needs if _missing(module)]
    if missing:
        extras = ",".join(dict.fromkeys(extra for _, extra in missing))
        raise UsageError(f"{command} needs {' and '.join(m for m, _ in missing)}: "
                         f"pip install 'kelpmoor[{extras}]'")


def write_batch_files(out: Path, files: list[str], outcome: Outcome, min_valid_days: int | None) -> None:
    """summary.csv and index.html of a `process` batch, each written whole."""
    from ._process_task import summary_table
    from .report import write_index
    from ._whole import write_whole
    from .report.index import MIN_VALID_DAYS
    table = summary_table(files, outcome.results, outcome.errors)
    write_whole(out / "summary.csv", lambda temporary: table.to_csv(temporary, index=False))
    pages = {r["summary"]["file"]: out / r["page"] for r in outcome.results.values()}
    write_index(table, out / "index.html", pages=pages,
                min_valid_days=MIN_VALID_DAYS if min_valid_days is None else min_valid_days)


def main(argv: list[str] | None = None) -> int:
    """The `kelpmoor` command with these arguments (those of the process when None); returns
    the exit status: 0, 1 when a recording failed, 2 for a usage error, 128 + the signal's
    number when interrupted."""
    args = build_parser().parse_args(argv)
    try:
        if args.jobs < 1:
            raise UsageError("--jobs must be at least 1")
        files, repeats = expand_files([str(f) for f in args.files])
        options: dict = {}
        address = getattr(args, "address", None)
        if args.command != "info":
            _check_needs(args.command, address)
            if getattr(args, "device_utc_offset", None) is not None and args.timezone is None:
                # Without a zone the days are the device clock's: the offset would do nothing.
                raise UsageError("--device-utc-offset says how the device clock relates to "
                                 "--timezone; give the time zone too")
            if getattr(args, "resample", None) is not None and not args.resample > 0:
                raise UsageError("--resample must be a positive rate in Hz")
            prepare_out(args, files)
            options = {"out": str(args.out)}
            if args.command == "process":
                options.update(parameters=stage_parameters(args), salvage=args.salvage)
            elif args.command != "salvage":
                options.update(read=read_options(args), salvage=args.salvage)
    except UsageError as exc:
        print(f"kelpmoor: {exc}", file=sys.stderr)
        return 2

    t0 = time.perf_counter()
    try:
        outcome = run_batch(args.command, files, options, args.jobs, not args.no_progress, address)
    except SchedulerUnreachable as exc:
        print(f"kelpmoor {args.command}: {exc}", file=sys.stderr)
        return 1
    elapsed = time.perf_counter() - t0
    results, errors, verb = outcome.results, outcome.errors, VERBS[args.command]

    if outcome.stopped_by:
        failed = f", {len(errors)} failed" if errors else ""
        print(f"kelpmoor {args.command}: interrupted: {len(results)} of {len(files)} {verb}{failed}, "
              f"{len(files) - len(results) - len(errors)} not done", file=sys.stderr)
        return 128 + outcome.stopped_by
    if args.command == "info":
        if args.json:
            entries = [results.get(f) or {"file": f, "error": errors[f]} for f in files]
            json.dump(entries, sys.stdout, indent=2)
            sys.stdout.write("\n")
        else:
            print("\n\n".join(info_table(results[f]) for f in files if f in results))
    elif args.command == "salvage":
        for f, result in results.items():
            print(_salvage_line(f, result))
    else:
        if args.command == "process":
            write_batch_files(args.out, files, outcome, args.min_valid_days)
        for f, result in results.items():
            if result["salvaged"]:
                print(f"kelpmoor {args.command}: salvaged {_salvage_line(f, result['salvaged'])}", file=sys.stderr)
    megabytes = sum(file_size(f) for f in results) / 1e6
    skipped = f", {repeats} named again and skipped" if repeats else ""
    print(f"kelpmoor {args.command}: {len(results)} of {len(files)} recordings {verb}, {len(errors)} failed"
          f"{skipped} ({megabytes:.1f} MB in {elapsed:.1f} s)", file=sys.stderr)
    return 1 if errors else 0


def _entry() -> int:
    try:
        return main()
    except KeyboardInterrupt:
        # Before or after the batch, where there is nothing to stop or clean.
        print("kelpmoor: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT
    except BrokenPipeError:
        # The reader of our output went away (`kelpmoor info ... | head`): not an error of ours.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(_entry())
