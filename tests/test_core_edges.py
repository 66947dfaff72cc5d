"""Core paths that no Python call reaches, through the native check program
tests/native/core_edges_check.cpp (under .ci/asan-tests built with ASan and UBSan)."""

import random

import numpy as np

import native_checks

INT64_MIN, INT64_MAX = -(2 ** 63), 2 ** 63 - 1
# The calendar range of the naive texts.
MIN_YEAR, MAX_YEAR = -262144, 262143


def expected_text(us):
    """The device-clock text of a microsecond count, by NumPy's calendar; None outside the range."""
    if us == INT64_MIN:  # NumPy's NaT
        return None
    t = np.datetime64(us, "us")
    year_start, month_start, day_start = (t.astype(f"M8[{u}]") for u in "YMD")
    year = int(year_start.astype(np.int64)) + 1970
    if not MIN_YEAR <= year <= MAX_YEAR:
        return None
    month = int((month_start - year_start.astype("M8[M]")).astype(np.int64)) + 1
    day = int((day_start - month_start.astype("M8[D]")).astype(np.int64)) + 1
    micros = int((t - day_start.astype("M8[us]")).astype(np.int64))
    seconds, fraction = divmod(micros, 1000000)
    text = f"{year:04d}" if 0 <= year <= 9999 else f"{year:+05d}"
    text += f"-{month:02d}-{day:02d}T{seconds // 3600:02d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"
    if fraction:
        text += f".{fraction // 1000:03d}" if fraction % 1000 == 0 else f".{fraction:06d}"
    return text


def year_start_us(year):
    return int(np.datetime64(year - 1970, "Y").astype("M8[us]").astype(np.int64))


def test_any_64_bit_timestamp_gives_its_text_or_none():
    rng = random.Random(11)
    first, last = year_start_us(MIN_YEAR), year_start_us(MAX_YEAR + 1) - 1
    values = [INT64_MIN, INT64_MIN + 1, INT64_MIN + 775807, INT64_MIN + 775808, INT64_MAX, INT64_MAX - 1,
              0, 1, -1, 999, -1000, 1000000, -1000000, -86400000000, first - 1, first, last, last + 1]
    values += [rng.randint(INT64_MIN, INT64_MAX) for _ in range(2000)]
    values += [rng.randint(first, last) for _ in range(2000)]
    values += [rng.randint(-10 ** 12, 10 ** 12) * 1000 for _ in range(500)]
    values += [rng.randint(-10 ** 9, 10 ** 9) * 1000000 for _ in range(500)]
    run = native_checks.run("core_edges_check", "times", input="\n".join(map(str, values)))
    assert run.returncode == 0, run.stderr
    got = run.stdout.splitlines()
    assert len(got) == len(values)
    mismatches = [(us, text, expected_text(us)) for us, text in zip(values, got)
                  if text != (expected_text(us) or "none")]
    assert not mismatches, mismatches[:10]


def test_unreachable_errors_keep_their_texts(tmp_path):
    native_checks.assert_all_passed(native_checks.run("core_edges_check", "errors", tmp_path), "core edges")
