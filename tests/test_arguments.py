import datetime as dt
import inspect
import pathlib
import types

import numpy as np
import pytest

import cwa_builder as cb
import kelpmoor

NAMES = ["read_metadata", "sampling_consistency_report", "seconds", "blocks", "read_cwa_file",
         "write_cwa_csv"]
SIGNATURES = {
    "read_metadata": "(file_path)",
    "sampling_consistency_report": "(file_path)",
    "seconds": "(start=None, end=None)",
    "blocks": "(start=None, end=None)",
    "read_cwa_file": '(file_path, cut=None, include_magnetometer=True, include_temperature=True, '
                     'include_light=True, include_battery=True, resample_hz=None, '
                     'resample_method="cubic", *, fixed_utc_offset_timezone=None)',
    "write_cwa_csv": '(file_path, output_path, cut=None, include_magnetometer=True, '
                     'include_temperature=False, include_light=False, include_battery=False, '
                     'resample_hz=None, resample_method="cubic", *, fixed_utc_offset_timezone=None)',
}
FIRST_LINES = {
    "read_metadata": "Read CWA header and sample timing metadata without timezone conversion.",
    "sampling_consistency_report": "Return a sampling consistency report for a CWA file.",
    "read_cwa_file": "Python interface for reading CWA data.",
    "write_cwa_csv": "Write CWA samples directly to CSV.",
}
READ_METADATA_DOC = [
    "Read CWA header and sample timing metadata without timezone conversion.",
    "Scans packet metadata without decoding sensor values.",
    "`logging_start_time_raw`, `logging_end_time_raw`, and `last_change_time_raw`",
    "are naive ISO 8601 strings preserving the unaltered sensor clock values,",
    "or None when unset. Convert them to UTC or local time for most analysis.",
    "`start_from_data_raw` and `end_from_data_raw` are the first and last actual",
    "sample timestamps, including packet sample offsets and continuity correction,",
    "or None when no valid samples exist. Seconds cuts start at `start_from_data_raw`.",
    "`last_change_time_raw` records the last metadata write, which need not be",
    "the last clock synchronization; check your configuration software.",
]
FLAGS = ["include_magnetometer", "include_temperature", "include_light", "include_battery"]


@pytest.fixture
def cwa(make_cwa):
    return make_cwa([dict(sample_count=4)])


def type_error_naming(argument):
    return pytest.raises(TypeError, match=f"^argument '{argument}'")


def test_module_attributes():
    assert kelpmoor.__all__ == NAMES
    public = {n for n in dir(kelpmoor) if not (n.startswith("__") and n.endswith("__"))}
    assert public == set(NAMES)
    assert all(callable(getattr(kelpmoor, n)) for n in NAMES)


@pytest.mark.parametrize("name", NAMES)
def test_signatures(name):
    func = getattr(kelpmoor, name)
    assert func.__text_signature__ == SIGNATURES[name]
    assert str(inspect.signature(func)) == SIGNATURES[name].replace('"cubic"', "'cubic'")
    doc = func.__doc__
    if name in FIRST_LINES:
        assert doc.splitlines()[0].startswith(FIRST_LINES[name])
    else:
        assert not doc
    if name in ("read_cwa_file", "write_cwa_csv"):
        param = inspect.signature(func).parameters["fixed_utc_offset_timezone"]
        assert param.kind is inspect.Parameter.KEYWORD_ONLY


def test_read_metadata_docstring():
    assert kelpmoor.read_metadata.__doc__.splitlines()[:len(READ_METADATA_DOC)] == READ_METADATA_DOC


def docstring_sections(doc):
    """{section title: lines} of a NumPy-style docstring."""
    sections, title = {}, None
    lines = doc.splitlines()
    for line, underline in zip(lines, lines[1:] + [""]):
        if underline and set(underline) == {"-"} and len(underline) == len(line):
            title = line
            sections[title] = []
        elif title and line and set(line) != {"-"}:
            sections[title].append(line)
    return sections


@pytest.mark.parametrize("name", FIRST_LINES)
def test_docstring_documents_every_argument(name):
    func = getattr(kelpmoor, name)
    sections = docstring_sections(func.__doc__)
    assert list(sections) == ["Parameters", "Returns", "Raises"]
    documented = [part for line in sections["Parameters"] if not line.startswith(" ")
                  for part in line.split(" : ")[0].split(", ")]
    assert documented == list(inspect.signature(func).parameters)
    raised = {part for line in sections["Raises"] if not line.startswith(" ") for part in line.split(", ")}
    assert {"TypeError", "RuntimeError"} <= raised


@pytest.mark.parametrize("func", [kelpmoor.read_metadata, kelpmoor.sampling_consistency_report,
                                  kelpmoor.read_cwa_file])
@pytest.mark.parametrize("convert", [pathlib.Path, str.encode, lambda p: None, lambda p: 5])
def test_file_path_must_be_str(cwa, func, convert):
    with type_error_naming("file_path"):
        func(convert(cwa))


def test_paths_by_keyword(cwa):
    assert kelpmoor.read_metadata(file_path=cwa)["packet_header"] == "MD"
    assert list(kelpmoor.sampling_consistency_report(file_path=cwa))[0] == "start_from_header_raw"
    assert len(kelpmoor.read_cwa_file(file_path=cwa)) == 4


@pytest.mark.parametrize("flag", FLAGS)
@pytest.mark.parametrize("value", [1, 0, None, 1.0, "yes", np.int64(1)])
def test_flags_must_be_bool(cwa, flag, value):
    with type_error_naming(flag):
        kelpmoor.read_cwa_file(cwa, **{flag: value})


def test_numpy_bools_accepted(make_cwa):
    path = make_cwa([dict(fmt=0x92, sample_count=2)])
    df = kelpmoor.read_cwa_file(path, include_magnetometer=np.False_, include_temperature=np.True_,
                                include_light=np.False_, include_battery=np.bool_(True))
    assert list(df.columns) == ["acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z",
                                "temperature", "battery"]
    # the same flags by position
    df = kelpmoor.read_cwa_file(path, None, True, False, True, False)
    assert list(df.columns) == ["acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z",
                                "mag_x", "mag_y", "mag_z", "light"]


CALL_ERRORS = [
    # (function, args, kwargs, text the message must contain)
    ("read_metadata", ("p", "q"), {}, "read_metadata"),
    ("sampling_consistency_report", ("p", "q"), {}, "sampling_consistency_report"),
    ("seconds", (1, 2, 3), {}, "seconds"),
    ("blocks", (1, 2, 3), {}, "blocks"),
    ("read_cwa_file", ("p", None, True, True, True, True, None, "cubic", dt.timezone.utc), {},
     "read_cwa_file"),
    ("read_metadata", ("p",), {"foo": 1}, "foo"),
    ("read_cwa_file", ("p",), {"include_gyro": True}, "include_gyro"),
    ("seconds", (), {"begin": 1}, "begin"),
    ("read_metadata", ("p",), {"file_path": "p"}, "file_path"),
    ("read_cwa_file", ("p", None), {"cut": None}, "cut"),
    ("blocks", (1,), {"start": 1}, "start"),
    ("read_metadata", (), {}, "file_path"),
    ("read_cwa_file", (), {"cut": None}, "file_path"),
    ("sampling_consistency_report", (), {}, "file_path"),
]


@pytest.mark.parametrize("name,args,kwargs,text", CALL_ERRORS)
def test_call_shape_errors(name, args, kwargs, text):
    with pytest.raises(TypeError) as info:
        getattr(kelpmoor, name)(*args, **kwargs)
    assert text in str(info.value)


def test_resample_method(cwa):
    with type_error_naming("resample_method"):
        kelpmoor.read_cwa_file(cwa, resample_method=None)
    assert len(kelpmoor.read_cwa_file(cwa, resample_method="linear")) == 4


@pytest.mark.parametrize("tz,offset_us", [
    (dt.timezone.utc, 0),
    (dt.timezone(dt.timedelta(hours=-5)), -18000000000),
    (dt.timezone(dt.timedelta(hours=5, minutes=30)), 19800000000),
    (cb.FixedTz(dt.timedelta(seconds=-1, microseconds=250)), -999750),
    (cb.FixedTz(dt.timedelta(days=3, seconds=7)), 259207000000),
    (cb.FixedTz(dt.timedelta(microseconds=2 ** 63 - 1)), 2 ** 63 - 1),
])
def test_fixed_offset_shifts_index_to_utc(cwa, tz, offset_us):
    naive = kelpmoor.read_cwa_file(cwa)
    aware = kelpmoor.read_cwa_file(cwa, fixed_utc_offset_timezone=tz)
    assert str(naive.index.dtype) == "datetime64[us]"
    assert str(aware.index.dtype) == "datetime64[us, UTC]"
    assert aware.index.name == "timestamp"
    assert cb.index_us(aware) == [t - offset_us for t in cb.index_us(naive)]
    assert aware.to_numpy().tobytes() == naive.to_numpy().tobytes()


def test_timezone_none_is_naive(cwa):
    df = kelpmoor.read_cwa_file(cwa, fixed_utc_offset_timezone=None)
    assert df.index.tz is None


@pytest.mark.parametrize("offset", [dt.timedelta(days=999999999), dt.timedelta(days=-999999999),
                                    dt.timedelta(microseconds=2 ** 63),
                                    dt.timedelta(microseconds=-(2 ** 63) - 1)])
def test_offset_beyond_64_bits_overflows(cwa, offset):
    with pytest.raises(OverflowError):
        kelpmoor.read_cwa_file(cwa, fixed_utc_offset_timezone=cb.FixedTz(offset))


@pytest.mark.parametrize("returned", [None, 5, "UTC", dt.datetime(2020, 1, 1)])
def test_utcoffset_not_a_timedelta(cwa, returned):
    with pytest.raises(TypeError, match="PyDelta"):
        kelpmoor.read_cwa_file(cwa, fixed_utc_offset_timezone=cb.FixedTz(returned))


def test_utcoffset_exception_propagates_unchanged(cwa):
    error = ZeroDivisionError("clock lost")
    with pytest.raises(ZeroDivisionError) as info:
        kelpmoor.read_cwa_file(cwa, fixed_utc_offset_timezone=cb.FixedTz(error))
    assert info.value is error


@pytest.mark.parametrize("tz", [5, dt.timedelta(hours=1), "UTC", types.SimpleNamespace(
    utcoffset=lambda _: dt.timedelta(0))])
def test_timezone_must_be_tzinfo(cwa, tz):
    with type_error_naming("fixed_utc_offset_timezone"):
        kelpmoor.read_cwa_file(cwa, fixed_utc_offset_timezone=tz)


def test_unusable_timezone_before_missing_file_without_seconds_cut(tmp_path):
    missing = str(tmp_path / "missing.cwa")
    for cut in (None, kelpmoor.blocks(0, 1)):
        with pytest.raises(TypeError, match="PyDelta"):
            kelpmoor.read_cwa_file(missing, cut=cut, fixed_utc_offset_timezone=cb.FixedTz(None))
    with pytest.raises(RuntimeError, match="^IO error: "):
        kelpmoor.read_cwa_file(missing, cut=kelpmoor.seconds(), fixed_utc_offset_timezone=cb.FixedTz(None))


def wrap64(value):
    return (value + 2 ** 63) % 2 ** 64 - 2 ** 63


# The extremes that still fit, including negative ones whose day count alone lies beyond 64 bits
# (-106751992 days) until the time of day is added.
@pytest.mark.parametrize("offset_us", [2 ** 63 - 1, -(2 ** 63), -(2 ** 63) + 1,
                                       -106751992 * 86400000000 + 86399999999, -1, -86400000000])
def test_offset_at_the_edge_of_64_bits(cwa, offset_us):
    aware = kelpmoor.read_cwa_file(cwa, fixed_utc_offset_timezone=cb.FixedTz(dt.timedelta(microseconds=offset_us)))
    naive = kelpmoor.read_cwa_file(cwa)
    assert cb.index_us(aware) == [wrap64(t - offset_us) for t in cb.index_us(naive)]
