import pytest

import cwa_builder as cb
import kelpmoor

pt = cb.packed_time
KEYS = ["start_from_header_raw", "end_from_header_raw", "duration_s_from_header",
        "start_from_data_raw", "end_from_data_raw", "duration_s_from_data",
        "samplingrate_hz_from_header", "samplingrate_hz_from_data"]


def report(make_cwa, sectors=(), **meta):
    result = kelpmoor.sampling_consistency_report(make_cwa(sectors, **meta))
    assert list(result) == KEYS
    return result


def test_full_report(make_cwa):
    # ten 1-second packets at 100 Hz, joined end to end: 1000 samples
    packets = [dict(timestamp=pt(2023, 6, 15, 12, 0, s), sample_count=100) for s in range(10)]
    tl = cb.timeline(packets)
    r = report(make_cwa, packets, logging_start=pt(2023, 6, 15, 11, 59, 30),
               logging_end=pt(2023, 6, 15, 13, 0, 0), rate_code=0x8A)
    duration = (tl.last_us - tl.first_us) / 1000000.0
    assert list(r.values()) == [
        "2023-06-15T11:59:30", "2023-06-15T13:00:00", 3630.0,
        "2023-06-15T12:00:00", cb.iso_from_us(tl.last_us), duration,
        100.0, 999 / duration,
    ]
    assert (duration, 999 / duration) == (9.99, 100.0)
    assert type(r["samplingrate_hz_from_header"]) is float


def test_metadata_only_file(make_cwa):
    r = report(make_cwa, logging_start=pt(2023, 6, 15, 12), logging_end=pt(2023, 6, 16, 12))
    assert list(r.values()) == ["2023-06-15T12:00:00", "2023-06-16T12:00:00", 86400.0,
                                None, None, None, 100.0, None]


@pytest.mark.parametrize("start,end,expected", [
    (pt(2023, 6, 16, 12), pt(2023, 6, 15, 12), -86400.0),
    (pt(2023, 12, 31, 23, 59, 59), pt(2024, 1, 1), 1.0),
    (pt(2024, 2, 28), pt(2024, 3, 1), 172800.0),
    (pt(2023, 6, 15, 12), pt(2023, 6, 15, 12), 0.0),
])
def test_header_duration(make_cwa, start, end, expected):
    r = report(make_cwa, logging_start=start, logging_end=end)
    assert r["duration_s_from_header"] == expected


@pytest.mark.parametrize("start,end,texts", [
    (0xFFFFFFFF, pt(2023, 6, 15, 12), (None, "2023-06-15T12:00:00")),
    (pt(2023, 6, 15, 12), 0, ("2023-06-15T12:00:00", None)),
    (pt(2023, 2, 30), 0xFFFFFFFF, (None, None)),
])
def test_unset_header_times(make_cwa, start, end, texts):
    r = report(make_cwa, logging_start=start, logging_end=end)
    assert (r["start_from_header_raw"], r["end_from_header_raw"]) == texts
    assert r["duration_s_from_header"] is None


@pytest.mark.parametrize("code,hz", [(0x4A, 100.0), (0x0F, 3200.0), (0x00, 0.09765625),
                                     (0xC0, 0.09765625), (0xFB, 200.0)])
def test_header_rate(make_cwa, code, hz):
    assert report(make_cwa, rate_code=code)["samplingrate_hz_from_header"] == hz


def test_single_sample(make_cwa):
    r = report(make_cwa, [dict(sample_count=1, timestamp_offset=-30)])
    assert r["start_from_data_raw"] == r["end_from_data_raw"] == "2023-06-15T12:34:56.300"
    assert r["duration_s_from_data"] == 0.0
    assert r["samplingrate_hz_from_data"] is None


def test_last_before_first_gives_negative_duration_and_no_rate(make_cwa):
    # a clock jump back by more than a packet is still joined, so the last sample lies
    # before the first
    packets = [dict(timestamp=pt(2023, 6, 15, 12, 0, 10), sample_count=100),
               dict(timestamp=pt(2023, 6, 15, 12, 0, 0), sample_count=100)]
    tl = cb.timeline(packets)
    r = report(make_cwa, packets)
    assert tl.last_us < tl.first_us
    assert r["duration_s_from_data"] == (tl.last_us - tl.first_us) / 1000000.0
    assert r["samplingrate_hz_from_data"] is None


def test_sample_count_includes_every_packet(make_cwa):
    # one-sample packets a minute apart: count 3 over 120 s
    packets = [dict(timestamp=pt(2023, 6, 15, 12, m, 0), sample_count=1) for m in range(3)]
    r = report(make_cwa, [packets[0], cb.zero_sector(), packets[1], packets[2]])
    assert (r["duration_s_from_data"], r["samplingrate_hz_from_data"]) == (120.0, 2 / 120.0)
