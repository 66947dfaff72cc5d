"""Benchmark of the plain reads: read_cwa_file (whole file and cuts) and read_metadata.

    python bench/bench_read.py                 # 7-day packed 3-axis recording
    python bench/bench_read.py --axes 6        # 6-axis recording of the same length

Targets, each against a floor or another call timed in the same run:
  * read_cwa_file <= 1.3 x floor A (filling arrays of the result's size), and its peak
    memory <= result size + 10% + 64 MiB;
  * a one-hour seconds cut <= read_metadata + 1.5 x the same hour read as a blocks cut
    (a seconds cut may scan the packet headers once, then read only its blocks);
  * read_metadata <= 3 x floor B, reading the file's bytes.
"""

from __future__ import annotations

import sys

import numpy as np
from kelpmoor_tools import _layout

import common
from common import Recording, Report

WINDOW_START_S = 86400.0
WINDOW_S = 3600.0


def reference_block(rec: Recording, index: int) -> dict:
    """Channel values of one data block decoded straight from the file, to compare the
    reader's output against before any timing counts."""
    with open(rec.path, "rb") as f:
        f.seek(_layout.METADATA_BYTES + _layout.SECTOR * index)
        sector = f.read(_layout.SECTOR)
    block = np.frombuffer(sector, dtype=_layout.DATA_DTYPE)[0]
    light, temperature = int(block["light"]), int(block["temperature"])
    offset, stamp = int(block["timestamp_offset"]), int(block["timestamp"])
    spb = rec.samples_per_block
    divisor = np.float32(2 ** (8 + (light >> 13)))
    if rec.axes == 3:
        words = np.frombuffer(sector, dtype="<u4", count=spb, offset=_layout.SAMPLE_AREA_OFFSET)
        counts = [((words >> s) & 0x3FF).astype(np.int32) for s in (0, 10, 20)]
        counts = [(np.where(c >= 512, c - 1024, c) << (words >> 30)) for c in counts]
        ref = {k: (c.astype(np.float32) / divisor) for k, c in zip(["acc_x", "acc_y", "acc_z"], counts)}
    else:
        six = np.frombuffer(sector, dtype="<i2", count=spb * 6, offset=_layout.SAMPLE_AREA_OFFSET).reshape(spb, 6).astype(np.float32)
        gyro_div = np.float32(32768) / np.float32(8000 >> ((light >> 10) & 7))
        ref = {name: six[:, i] / gyro_div for i, name in enumerate(["gyro_x", "gyro_y", "gyro_z"])}
        ref.update({name: six[:, 3 + i] / divisor for i, name in enumerate(["acc_x", "acc_y", "acc_z"])})
    ref["temperature"] = np.float32((temperature & 0x3FF) * 75.0 / 256.0 - 50.0)
    ref["battery"] = np.float32((int(block["battery"]) + 512.0) * 6.0 / 1024.0)
    # The block's first sample when nothing precedes it: the whole second minus the lead of
    # `offset` samples at 100 Hz, split into whole and fraction in single precision.
    epoch = _layout.epoch_of_packed(stamp)
    lead = np.float32(-np.float32(offset) / np.float32(100.0))
    whole = np.floor(lead)
    ref["start_us"] = int((float(np.float32(lead - whole)) + (float(whole) + epoch)) * 1e6)
    return ref


def check_values(df, rec: Recording) -> list[str]:
    """The first and last blocks' channels and the first timestamp, against the file itself."""
    problems = []
    spb = rec.samples_per_block
    first = reference_block(rec, 0)
    for index, ref, rows in ((0, first, slice(0, spb)),
                             (rec.blocks - 1, reference_block(rec, rec.blocks - 1), slice(len(df) - spb, len(df)))):
        for col in rec.columns:
            if col == "light":
                continue  # the last bit of the single-precision power function is the platform's
            if not np.allclose(df[col].to_numpy()[rows], ref[col], rtol=2e-7, atol=0):
                problems.append(f"block {index} {col} differs")
    got = int(df.index.asi8[0])
    if abs(got - first["start_us"]) > 1:
        problems.append(f"first timestamp {got} us, expected {first['start_us']}")
    return problems


def verify(kelpmoor, rec: Recording, rep: Report, window: tuple[float, float], blocks: tuple[int, int]) -> bool:
    """Check every road that will be timed once, so that a broken reader cannot post a fast number."""
    path = str(rec.path)
    df = kelpmoor.read_cwa_file(path)
    if not rep.check("read_cwa_file(path) output", common.check_frame(df, rec, rec.rows) + check_values(df, rec)):
        return False
    t0_s = int(df.index.asi8[0]) / 1e6
    del df

    start, end = window
    cut_df = kelpmoor.read_cwa_file(path, cut=kelpmoor.seconds(start, end))
    problems = common.check_frame(cut_df, rec)
    first, last = cut_df.index.asi8[0] / 1e6 - t0_s, cut_df.index.asi8[-1] / 1e6 - t0_s
    if not (start <= first < start + 0.02 and end - 0.02 < last < end):
        problems.append(f"spans {first:.3f}..{last:.3f} s after the first sample")
    del cut_df
    ok = rep.check(f"seconds({start:g}, {end:g}) output", problems)

    b0, b1 = blocks
    ok &= rep.check(f"blocks({b0}, {b1}) output",
                    common.check_frame(kelpmoor.read_cwa_file(path, cut=kelpmoor.blocks(b0, b1)), rec,
                                       (b1 - b0) * rec.samples_per_block))
    meta = kelpmoor.read_metadata(path)
    first_raw = str(meta.get("start_from_data_raw"))
    ok &= rep.check("read_metadata(path) output",
                    [] if len(meta) == 19 and first_raw.startswith("2024-03-04T09:00:00.")
                    else [f"{len(meta)} keys, start_from_data_raw {first_raw}"])
    return ok


def main(argv=None) -> int:
    args, rec, kelpmoor, rep = common.start_run("read", __doc__, argv)
    path = str(rec.path)

    # One hour from the start of the second day, and the blocks that hold it at 100 Hz.
    start = min(WINDOW_START_S, rec.blocks * rec.block_seconds / 2)
    window = (start, start + WINDOW_S)
    b0 = int(round(start / rec.block_seconds))
    blocks = (b0, b0 + int(round(WINDOW_S / rec.block_seconds)))
    try:
        if not verify(kelpmoor, rec, rep, window, blocks):
            return rep.finish()
    except NotImplementedError as exc:
        print(f"  kelpmoor is not finished yet: {exc}")
        return 3

    floors = max(5, args.repeat)
    floor_a = rep.time(f"floor A: fill result-sized arrays ({common.size_text(rec.rows * rec.bytes_per_row)})",
                       common.fill_floor(rec.rows, len(rec.columns), floors))
    rep.time("  the same with 4 KiB pages only", common.fill_floor(rec.rows, len(rec.columns), floors, huge_pages=False))
    rep.time("  pandas index + frame over such arrays", common.pandas_wrap(rec.rows, rec.columns, floors))
    floor_b = rep.time(f"floor B: read file bytes ({rec.size / 1e6:.0f} MB, cached)",
                       common.read_floor(rec.path, floors))

    full = rep.time("read_cwa_file(path)", common.best_of(lambda: kelpmoor.read_cwa_file(path), args.repeat))
    rep.ratio("read_cwa_file / floor A", full / floor_a, 1.3)
    rep.memory("read_cwa_file(path) peak RSS growth", common.peak_memory(rec.path, "read_cwa_file"))

    seconds_cut, blocks_cut = kelpmoor.seconds(*window), kelpmoor.blocks(*blocks)
    t_sec = rep.time(f"read_cwa_file(cut=seconds({window[0]:g}, {window[1]:g}))",
                     common.best_of(lambda: kelpmoor.read_cwa_file(path, cut=seconds_cut), args.repeat))
    t_blk = rep.time(f"read_cwa_file(cut=blocks({blocks[0]}, {blocks[1]}))",
                     common.best_of(lambda: kelpmoor.read_cwa_file(path, cut=blocks_cut), args.repeat))
    t_meta = rep.time("read_metadata(path)", common.best_of(lambda: kelpmoor.read_metadata(path), floors))
    rep.ratio("seconds cut / (read_metadata + 1.5 x blocks cut)", t_sec / (t_meta + 1.5 * t_blk), 1.0)
    rep.memory("seconds cut peak RSS growth",
               common.peak_memory(rec.path, "read_cwa_file", cut=("seconds", *window)), target=False)
    rep.ratio("read_metadata / floor B", t_meta / floor_b, 3.0)
    return rep.finish()


if __name__ == "__main__":
    sys.exit(main())
