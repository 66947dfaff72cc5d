import re

import pytest

import cwa_builder as cb
import kelpmoor

pt = cb.packed_time

# (raw packed value, naive text or None when the value is not a usable date-time)
PACKED_CASES = [
    (0x5D9EC8B8, "2023-06-15T12:34:56"),
    (pt(2000, 1, 1), "2000-01-01T00:00:00"),
    (pt(2063, 12, 31, 23, 59, 59), "2063-12-31T23:59:59"),
    (pt(2024, 2, 29, 1, 2, 3), "2024-02-29T01:02:03"),
    (pt(2000, 2, 29), "2000-02-29T00:00:00"),
    (0x00000000, None),
    (0xFFFFFFFF, None),
    (pt(2023, 0, 10), None),
    (pt(2023, 13, 10), None),
    (pt(2023, 6, 0), None),
    (pt(2023, 2, 30), None),
    (pt(2023, 2, 29), None),
    (pt(2023, 4, 31), None),
    (pt(2023, 6, 15, 24, 0, 0), None),
    (pt(2023, 6, 15, 12, 60, 0), None),
    (pt(2023, 6, 15, 12, 0, 60), None),
    (pt(2023, 6, 15, 31, 63, 63), None),
]


def _ids(cases):
    return [f"{raw:#010x}" for raw, _ in cases]


@pytest.mark.parametrize("raw,text", PACKED_CASES, ids=_ids(PACKED_CASES))
def test_packed_time_in_header_fields(make_cwa, raw, text):
    md = kelpmoor.read_metadata(make_cwa(logging_start=raw, logging_end=raw, last_change=raw))
    assert md["logging_start_time_raw"] == text
    assert md["logging_end_time_raw"] == text
    assert md["last_change_time_raw"] == text


@pytest.mark.parametrize("raw,text", PACKED_CASES, ids=_ids(PACKED_CASES))
def test_packed_time_in_data_blocks(make_cwa, raw, text):
    # the same value must be valid in a data block exactly when it is valid in the header
    path = make_cwa([dict(timestamp=pt(2023, 1, 1)), dict(timestamp=raw, sample_count=1)])
    if text is None:
        with pytest.raises(RuntimeError, match="^Invalid block timestamp$"):
            kelpmoor.read_metadata(path)
    else:
        first = kelpmoor.read_metadata(make_cwa([dict(timestamp=raw, sample_count=1)]))
        assert first["start_from_data_raw"] == text
        assert first["end_from_data_raw"] == text


FULL_METADATA = dict(
    packet_length=0xABCD, hardware_type=0x64, device_id=0x1234, session_id=0xDEADBEEF,
    upper_device_id=0x0002, logging_start=pt(2023, 6, 15, 12), logging_end=0xFFFFFFFF,
    flash_led=3, sensor_config=0x13, rate_code=0x8F, last_change=pt(2022, 12, 31, 23, 59, 58),
    firmware_revision=47, annotation=b"Study 7, wrist",
)


def test_read_metadata_dict_every_key_in_order(make_cwa):
    block = dict(timestamp=pt(2023, 6, 15, 12, 0, 5), timestamp_offset=25)
    path = make_cwa([block, cb.ff_sector()], **FULL_METADATA)
    tl = cb.timeline([block])
    expected = [
        ("packet_header", "MD"),
        ("packet_length", 0xABCD),
        ("hardware_type", "AX6"),
        ("device_id", 0x1234 + 2 * 65536),
        ("session_id", 0xDEADBEEF),
        ("upper_device_id", 2),
        ("logging_start_time_raw", "2023-06-15T12:00:00"),
        ("logging_end_time_raw", None),
        ("last_change_time_raw", "2022-12-31T23:59:58"),
        ("start_from_data_raw", "2023-06-15T12:00:04.750"),
        ("end_from_data_raw", cb.iso_from_us(tl.last_us)),
        ("flash_led", 3),
        ("sensor_config", 0x13),
        ("sample_rate_hz", 3200.0),
        ("accel_range", 4),
        ("firmware_revision", 47),
        ("annotation", "Study 7, wrist"),
        ("gyro_range", 1000),
        ("magnetometer_enabled", True),
    ]
    md = kelpmoor.read_metadata(path)
    assert list(md.items()) == expected
    assert [type(v) for v in md.values()] == [type(v) for _, v in expected]


def test_metadata_only_file_has_no_data_times(make_cwa):
    md = kelpmoor.read_metadata(make_cwa([]))
    assert (md["start_from_data_raw"], md["end_from_data_raw"]) == (None, None)
    assert md["packet_header"] == "MD" and md["sample_rate_hz"] == 100.0 and md["accel_range"] == 8


@pytest.mark.parametrize("hardware,config,hw_text,gyro,mag", [
    (0x64, 0x12, "AX6", 2000, True),
    (0x64, 0x02, "AX6", 2000, False),
    (0x64, 0x13, "AX6", 1000, True),
    (0x64, 0x04, "AX6", 500, False),
    (0x64, 0x05, "AX6", 250, False),
    (0x64, 0x16, "AX6", 125, True),
    (0x64, 0x17, "AX6", None, True),
    (0x64, 0x01, "AX6", None, False),
    (0x64, 0x00, "AX6", None, False),
    (0x64, 0xFF, "AX6", None, False),
    (0x00, 0x12, "AX3", None, False),
    (0x65, 0x12, "AX3", None, False),
    (0xFF, 0x02, "AX3", None, False),
])
def test_hardware_and_sensor_config(make_cwa, hardware, config, hw_text, gyro, mag):
    md = kelpmoor.read_metadata(make_cwa(hardware_type=hardware, sensor_config=config))
    assert (md["hardware_type"], md["gyro_range"], md["magnetometer_enabled"]) == (hw_text, gyro, mag)
    assert md["sensor_config"] == config


@pytest.mark.parametrize("code,hz,g", [
    (0x4A, 100.0, 8), (0xCA, 100.0, 2), (0x0A, 100.0, 16), (0x8F, 3200.0, 4),
    (0x00, 0.09765625, 16), (0x4D, 800.0, 8), (0x36, 6.25, 16),
])
def test_rate_code_gives_rate_and_range(make_cwa, code, hz, g):
    md = kelpmoor.read_metadata(make_cwa(rate_code=code))
    assert (md["sample_rate_hz"], md["accel_range"]) == (hz, g)


@pytest.mark.parametrize("lower,upper,device_id", [
    (1234, 0xFFFF, 1234), (1234, 2, 132306), (0xFFFF, 0xFFFE, 0xFFFEFFFF), (0, 0, 0),
])
def test_device_id_combines_upper_part(make_cwa, lower, upper, device_id):
    md = kelpmoor.read_metadata(make_cwa(device_id=lower, upper_device_id=upper))
    assert (md["device_id"], md["upper_device_id"]) == (device_id, upper)


@pytest.mark.parametrize("area,text", [
    (b"Hello", "Hello"),
    (b"A\x00B", "A\x00B"),
    (b"  lead", "  lead"),
    (b"Hi" + b"\x00" * 200 + b"\xff" * 200 + b" \x00\xff", "Hi"),
    (b"x\xff\x00 \xffy \x00\xff", "x\ufffd\x00 \ufffdy"),
    (b"\xc3\x28ok", "\ufffd(ok"),
    ("h\u00e9llo \u2713".encode(), "h\u00e9llo \u2713"),
    (b"z" * 448, "z" * 448),
])
def test_annotation_trims_padding_and_replaces_bad_utf8(make_cwa, area, text):
    assert kelpmoor.read_metadata(make_cwa(annotation=area))["annotation"] == text


@pytest.mark.parametrize("func", [kelpmoor.read_metadata, kelpmoor.sampling_consistency_report])
@pytest.mark.parametrize("letters,message", [
    (b"AX", "First block is not a metadata block"),
    (b"md", "First block is not a metadata block"),
    (b"\xff\xfe", "Invalid packet header format"),
    (b"M\xc3", "Invalid packet header format"),
])
def test_metadata_header_letters(make_cwa, func, letters, message):
    with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
        func(make_cwa([{}], header=letters))
