"""The `kelpmoor` command line: metadata, CSV and Parquet for many recordings at once.

Each recording is one task; tasks run in `--jobs` processes. A recording that fails is one
line on standard error naming the file and the error, and the batch goes on; a summary ends
the run, and the exit status is 1 when any recording failed (2 for a usage error). An output
file appears under its name only once complete: it is written to a hidden temporary file in
the same folder and renamed, or removed when anything goes wrong.
"""
from __future__ import annotations

import argparse
import datetime as _dt
import json
import math
import os
import re
import sys
import time
from concurrent.futures import ProcessPoolExecutor, as_completed
from pathlib import Path

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
    ap = argparse.ArgumentParser(
        prog="kelpmoor", description="Read CWA accelerometer recordings: metadata, CSV, Parquet.",
        epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="command", required=True, metavar="{info,csv,parquet}")

    def common(p):
        p.add_argument("files", nargs="+", metavar="FILE", help="CWA recordings")
        p.add_argument("--jobs", "-j", type=int, default=1, metavar="N",
                       help="recordings processed at once, each in its own process (default 1)")
        p.add_argument("--no-progress", action="store_true", help="no progress bar (there is none without "
                       "a terminal or without tqdm)")

    info = sub.add_parser("info", help="metadata and sampling consistency report",
                          epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    common(info)
    info.add_argument("--json", action="store_true", help="print one JSON list instead of tables")

    for name, aux_default, what in (("csv", False, "write_cwa_csv"), ("parquet", True, "read_cwa_file")):
        p = sub.add_parser(name, help=f"one {name.upper() if name == 'csv' else 'Parquet'} file per recording "
                           f"(the options of {what})",
                           epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
        common(p)
        p.add_argument("--out", "-o", type=Path, required=True, metavar="DIR",
                       help="output folder (created if missing); each output is named after its recording")
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
    return ap


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


# ---------------------------------------------------------------------------- tasks (run in workers)


def _with_cut(kelpmoor, options: dict) -> dict:
    options = dict(options)
    if "cut" in options:
        kind, start, end = options["cut"]
        options["cut"] = getattr(kelpmoor, kind)(start, end)
    return options


def _json_safe(value):
    if isinstance(value, float) and not math.isfinite(value):
        return None if math.isnan(value) else str(value)
    return value


def info_task(path: str, options: dict) -> dict:
    import kelpmoor
    meta = kelpmoor.read_metadata(path)
    report = kelpmoor.sampling_consistency_report(path)
    return {"file": path, "metadata": {k: _json_safe(v) for k, v in meta.items()},
            "sampling_consistency": {k: _json_safe(v) for k, v in report.items()}}


def csv_task(path: str, options: dict) -> dict:
    import kelpmoor
    out = output_path(path, options["out"], ".csv")
    kwargs = _with_cut(kelpmoor, options["read"])
    with _atomic(out) as tmp:
        kelpmoor.write_cwa_csv(path, str(tmp), **kwargs)
    return {"file": path, "output": str(out)}


def parquet_task(path: str, options: dict) -> dict:
    import kelpmoor
    import pyarrow as pa
    import pyarrow.parquet as pq
    out = output_path(path, options["out"], ".parquet")
    frame = kelpmoor.read_cwa_file(path, **_with_cut(kelpmoor, options["read"]))
    table = pa.Table.from_pandas(frame, preserve_index=True)
    del frame
    with _atomic(out) as tmp:
        pq.write_table(table, tmp)
    return {"file": path, "output": str(out), "rows": table.num_rows}


def output_path(path: str, folder: str, suffix: str) -> Path:
    return Path(folder) / (Path(path).stem + suffix)


class _atomic:
    """A hidden temporary name beside `target`; renamed onto it on success, removed otherwise."""

    def __init__(self, target: Path):
        self.target = target
        self.tmp = target.with_name(f".{target.name}.{os.getpid()}.part")

    def __enter__(self) -> Path:
        return self.tmp

    def __exit__(self, kind, exc, tb) -> None:
        try:
            if kind is None:
                os.replace(self.tmp, self.target)
        finally:
            # After a failure, of the conversion or of the rename itself.
            try:
                os.unlink(self.tmp)
            except FileNotFoundError:
                pass


TASKS = {"info": info_task, "csv": csv_task, "parquet": parquet_task}


def run_task(command: str, path: str, options: dict) -> tuple[bool, dict | str]:
    """(True, result) or (False, one-line error text); never raises for a recording's fault."""
    try:
        return True, TASKS[command](path, options)
    except KeyboardInterrupt:
        raise
    except BaseException as exc:  # noqa: BLE001  any failure of one recording is reported, not fatal
        text = " ".join(str(exc).split()) or "(no message)"
        return False, f"{type(exc).__name__}: {text}"


# ---------------------------------------------------------------------------- the batch


class _Progress:
    """A tqdm bar over the bytes of the recordings, its label counting recordings; nothing
    when tqdm is missing, standard error is not a terminal, or the user said so."""

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

    def advance(self, nbytes: int) -> None:
        self.done += 1
        if self.bar is not None:
            self.bar.set_description(self._label(), refresh=False)
            self.bar.update(nbytes)

    def write(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(line, file=sys.stderr)
        else:
            print(line, file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def run_batch(command: str, files: list[str], options: dict, jobs: int, progress: bool):
    """Run one task per file; returns ({file: result}, {file: error}) in the order of `files`."""
    sizes = {f: _size(f) for f in files}
    bar = _Progress(sum(sizes.values()), len(files), progress)
    results, errors = {}, {}

    def settle(path, ok, value):
        if ok:
            results[path] = value
        else:
            errors[path] = value
            bar.write(f"kelpmoor {command}: FAILED {path}: {value}")
        bar.advance(sizes[path])

    try:
        if jobs <= 1 or len(files) == 1:
            for path in files:
                settle(path, *run_task(command, path, options))
        else:
            with ProcessPoolExecutor(max_workers=min(jobs, len(files))) as pool:
                futures = {pool.submit(run_task, command, path, options): path for path in files}
                for future in as_completed(futures):
                    path = futures[future]
                    try:
                        settle(path, *future.result())
                    except Exception as exc:  # a worker died (killed, out of memory)
                        settle(path, False, f"{type(exc).__name__}: {exc}")
    finally:
        bar.close()
    order = {f: i for i, f in enumerate(files)}
    return (dict(sorted(results.items(), key=lambda kv: order[kv[0]])),
            dict(sorted(errors.items(), key=lambda kv: order[kv[0]])))


# ---------------------------------------------------------------------------- output


def _text(value) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:.6f}".rstrip("0").rstrip(".") if value == value else "nan"
    return str(value)


def info_table(result: dict) -> str:
    rows = [(k, _text(v)) for k, v in result["metadata"].items()]
    rows += [("", "")] + [(k, _text(v)) for k, v in result["sampling_consistency"].items()]
    width = max(len(k) for k, _ in rows)
    lines = [result["file"]] + [f"  {k:<{width}}  {v}".rstrip() for k, v in rows]
    return "\n".join(lines)


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    if args.jobs < 1:
        print("kelpmoor: --jobs must be at least 1", file=sys.stderr)
        return 2
    files = [str(f) for f in args.files]
    options = {}
    if args.command != "info":
        suffix = "." + args.command
        names = {}
        for f in files:
            name = Path(f).stem + suffix
            if name in names and names[name] != f:
                print(f"kelpmoor: {names[name]} and {f} would both write {name}; convert them into "
                      f"different folders", file=sys.stderr)
                return 2
            names[name] = f
        if args.command == "parquet":
            try:
                import pyarrow  # noqa: F401
            except ImportError:
                print("kelpmoor parquet needs pyarrow: pip install 'kelpmoor[parquet]'", file=sys.stderr)
                return 2
        args.out.mkdir(parents=True, exist_ok=True)
        options = {"out": str(args.out), "read": read_options(args)}
        if options["read"].get("resample_hz") is not None and not options["read"]["resample_hz"] > 0:
            print("kelpmoor: --resample must be a positive rate in Hz", file=sys.stderr)
            return 2

    t0 = time.perf_counter()
    results, errors = run_batch(args.command, files, options, args.jobs, not args.no_progress)
    elapsed = time.perf_counter() - t0

    if args.command == "info":
        if args.json:
            entries = [results.get(f) or {"file": f, "error": errors[f]} for f in files]
            json.dump(entries, sys.stdout, indent=2)
            sys.stdout.write("\n")
        else:
            print("\n\n".join(info_table(results[f]) for f in files if f in results))
    megabytes = sum(_size(f) for f in results) / 1e6
    verb = {"info": "read", "csv": "converted", "parquet": "converted"}[args.command]
    print(f"kelpmoor {args.command}: {len(results)} of {len(files)} recordings {verb}, {len(errors)} failed "
          f"({megabytes:.1f} MB in {elapsed:.1f} s)", file=sys.stderr)
    return 1 if errors else 0


def _entry() -> int:
    try:
        return main()
    except BrokenPipeError:
        # The reader of our output went away (`kelpmoor info ... | head`): not an error of ours.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(_entry())
