import collections
import math
import sys

import pytest

import cwa_builder as cb
import kelpmoor

USIZE_MAX = 2 * sys.maxsize + 1
NAN, INF = float("nan"), float("inf")
FINITE = "seconds cut values must be finite"
NEGATIVE = "seconds cut values must be >= 0"
SECONDS_ORDER = "seconds end must be greater than start"
BLOCKS_ORDER = "blocks end must be greater than start"
NOT_A_CUT = "cut must be created by seconds() or blocks()"
NO_TYPE = "cut is missing type"
BAD_TYPE = "cut type must be 'seconds' or 'blocks'"


@pytest.fixture
def recording(make_cwa):
    # five 1-second packets, each marked by its own temperature so rows reveal their block
    return make_cwa([dict(timestamp=cb.packed_time(2023, 6, 15, 12, 34, s), rate_code=0x0A,
                          sample_count=100, temperature=s) for s in range(5)])


def rows(df):
    return cb.index_us(df), df.to_numpy().tobytes()


class Boom(Exception):
    pass


class BadFloat:
    def __float__(self):
        raise Boom("no float")


class KeyWithBrokenEq:
    """A key that collides with "type" in a dict and cannot be compared."""

    def __hash__(self):
        return hash("type")

    def __eq__(self, other):
        raise Boom("lookup failed")


@pytest.mark.parametrize("call,expected", [
    (lambda: kelpmoor.seconds(), ("seconds", None, None)),
    (lambda: kelpmoor.seconds(5), ("seconds", 5.0, None)),
    (lambda: kelpmoor.seconds(end=True), ("seconds", None, 1.0)),
    (lambda: kelpmoor.seconds(0, 2.25), ("seconds", 0.0, 2.25)),
    (lambda: kelpmoor.blocks(2, 7), ("blocks", 2, 7)),
    (lambda: kelpmoor.blocks(end=0), ("blocks", None, 0)),
    (lambda: kelpmoor.blocks(start=True), ("blocks", 1, None)),
    (lambda: kelpmoor.blocks(USIZE_MAX - 1, USIZE_MAX), ("blocks", USIZE_MAX - 1, USIZE_MAX)),
])
def test_cut_dictionaries(call, expected):
    cut = call()
    assert type(cut) is dict and list(cut.items()) == list(zip(["type", "start", "end"], expected))
    # floats for seconds, plain ints for blocks, whatever the argument's own type
    value_type = float if expected[0] == "seconds" else int
    assert all(type(v) is value_type for v in expected[1:] if v is not None)
    assert all(type(cut[k]) is value_type for k in ("start", "end") if cut[k] is not None)
    assert call() is not cut


def test_negative_zero_is_stored_as_is():
    assert math.copysign(1.0, kelpmoor.seconds(-0.0, 1)["start"]) == -1.0


@pytest.mark.parametrize("func,args,error,text", [
    (kelpmoor.seconds, (10, 10), ValueError, SECONDS_ORDER),
    (kelpmoor.seconds, (11, 10), ValueError, SECONDS_ORDER),
    (kelpmoor.seconds, (None, -1e-300), ValueError, NEGATIVE),
    (kelpmoor.seconds, (NAN,), ValueError, FINITE),
    (kelpmoor.seconds, (None, INF), ValueError, FINITE),
    (kelpmoor.seconds, (-1, NAN), ValueError, NEGATIVE),       # the whole start check comes first
    (kelpmoor.seconds, (NAN, -1), ValueError, FINITE),
    (kelpmoor.blocks, (3, 3), ValueError, BLOCKS_ORDER),
    (kelpmoor.blocks, (1, 0), ValueError, BLOCKS_ORDER),
    # conversion failures: only a TypeError gets the argument's name in front
    (kelpmoor.blocks, (-1,), OverflowError, None),
    (kelpmoor.blocks, (USIZE_MAX + 1,), OverflowError, None),
    (kelpmoor.blocks, (0, 10 ** 30), OverflowError, None),
    (kelpmoor.blocks, (2.5,), TypeError, "start"),
    (kelpmoor.blocks, (1, "2"), TypeError, "end"),
    (kelpmoor.blocks, (2.5, -1), TypeError, "start"),           # the first failing argument wins
    (kelpmoor.blocks, (-1, 2.5), OverflowError, None),
    (kelpmoor.seconds, ("x",), TypeError, "start"),
    (kelpmoor.seconds, (-1, "x"), TypeError, "end"),            # both converted before validation
    (kelpmoor.seconds, (10 ** 400,), OverflowError, None),
    (kelpmoor.seconds, (1, BadFloat()), Boom, None),
])
def test_seconds_and_blocks_refuse(func, args, error, text):
    with pytest.raises(error) as info:
        func(*args)
    assert type(info.value) is error
    if error is ValueError:
        assert str(info.value) == text
    else:
        assert str(info.value).startswith(f"argument '{text}'") == (text is not None)


# ---------------------------------------------------------------------------------------------
# the cut argument of read_cwa_file


class CutDict(dict):
    pass


@pytest.mark.parametrize("hand_made,made,count", [
    ({"type": "seconds", "start": 1}, kelpmoor.seconds(1), 400),
    ({"type": "seconds", "start": 1.5, "end": None, "note": 0}, kelpmoor.seconds(1.5), 350),
    ({"end": 3, "type": "seconds", "start": 2}, kelpmoor.seconds(2, 3), 100),
    ({"type": "seconds", "start": -0.0, "end": 1}, kelpmoor.seconds(0, 1), 100),
    ({"type": "blocks"}, None, 500),
    ({"type": "blocks", "end": 3, "extra": object()}, kelpmoor.blocks(end=3), 300),
    (CutDict(type="blocks", start=1, end=4), kelpmoor.blocks(1, 4), 300),
    (collections.OrderedDict(type="seconds", start=0.5), kelpmoor.seconds(0.5), 450),
])
def test_hand_made_cuts_read_like_made_ones(recording, hand_made, made, count):
    expected = kelpmoor.read_cwa_file(recording, cut=made)
    assert rows(kelpmoor.read_cwa_file(recording, cut=hand_made)) == rows(expected)
    assert len(expected) == count


def test_cut_dictionary_is_read_again_at_each_use(recording):
    cut = kelpmoor.seconds(1)
    assert len(kelpmoor.read_cwa_file(recording, cut=cut)) == 400
    cut["start"] = 3
    assert len(kelpmoor.read_cwa_file(recording, cut=cut)) == 200
    cut["start"] = -3.0
    with pytest.raises(ValueError, match=NEGATIVE):
        kelpmoor.read_cwa_file(recording, cut=cut)


@pytest.mark.parametrize("cut,error,message", [
    ([1, 2], ValueError, NOT_A_CUT),
    (0, ValueError, NOT_A_CUT),
    (type("Mapping", (), {"keys": lambda s: [], "__getitem__": lambda s, k: 1})(), ValueError,
     NOT_A_CUT),
    ({"start": 1}, ValueError, NO_TYPE),
    ({"type": "Seconds"}, ValueError, BAD_TYPE),
    ({"type": "seconds "}, ValueError, BAD_TYPE),
    ({"type": "seconds", "start": -5}, ValueError, NEGATIVE),
    ({"type": "seconds", "start": NAN, "end": -1}, ValueError, FINITE),
    ({"type": "seconds", "start": 4, "end": 4}, ValueError, SECONDS_ORDER),
    ({"type": "blocks", "start": 5, "end": 1}, ValueError, BLOCKS_ORDER),
    # conversion failures come unchanged, without an argument name
    ({"type": None}, TypeError, None),
    ({"type": b"seconds"}, TypeError, None),
    ({"type": "blocks", "start": 2.5}, TypeError, None),
    ({"type": "blocks", "start": -1}, OverflowError, None),
    ({"type": "blocks", "start": 2.5, "end": -1}, TypeError, None),     # start is read first
    ({"type": "blocks", "start": -1, "end": 2.5}, OverflowError, None),
    ({"type": "seconds", "start": -1, "end": "x"}, TypeError, None),   # conversion first
    ({"type": "seconds", "start": BadFloat()}, Boom, None),
    ({KeyWithBrokenEq(): 1}, Boom, None),
])
def test_refused_cuts(recording, tmp_path, cut, error, message):
    # the cut is parsed before the file is touched
    for path in (recording, str(tmp_path / "missing.cwa")):
        with pytest.raises(error) as info:
            kelpmoor.read_cwa_file(path, cut=cut)
        assert type(info.value) is error
        if message is not None:
            assert str(info.value) == message
        assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("kwargs,message", [
    (dict(cut={"type": "blocks", "start": 4, "end": 2}, resample_hz=-1.0), BLOCKS_ORDER),
    (dict(cut=[0], resample_hz=NAN), NOT_A_CUT),
    (dict(resample_hz=0.0), "resample_hz must be a finite value > 0"),
    (dict(cut=kelpmoor.seconds(1), resample_hz=20000), "resample_hz must be <= 10000"),
    (dict(resample_hz=50, resample_method="linear"),
     "Unsupported resample_method 'linear'. Supported: cubic"),
])
def test_argument_errors_come_before_the_missing_file(tmp_path, kwargs, message):
    with pytest.raises(ValueError) as info:
        kelpmoor.read_cwa_file(str(tmp_path / "missing.cwa"), **kwargs)
    assert str(info.value) == message
