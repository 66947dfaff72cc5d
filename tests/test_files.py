import random
import re
import struct

import pytest

import cwa_builder as cb
import kelpmoor

SHORT_READ = "IO error: failed to fill whole buffer"
HEADER_READERS = [kelpmoor.read_metadata, kelpmoor.sampling_consistency_report]
ALL_READERS = HEADER_READERS + [kelpmoor.read_cwa_file]


def exact(message):
    return f"^{re.escape(message)}$"


@pytest.mark.parametrize("func", ALL_READERS)
def test_missing_file(tmp_path, func):
    with pytest.raises(RuntimeError) as info:
        func(str(tmp_path / "nope.cwa"))
    assert str(info.value).startswith("IO error: ")
    assert "(os error 2)" in str(info.value)


@pytest.mark.parametrize("func", HEADER_READERS)
@pytest.mark.parametrize("data", [b"", b"M", b"MD", cb.metadata_block()[:1023]])
def test_header_readers_need_1024_bytes(raw_file, func, data):
    with pytest.raises(RuntimeError, match=exact(SHORT_READ)):
        func(raw_file(data))


@pytest.mark.parametrize("data,message", [
    (b"", SHORT_READ),
    (b"M", SHORT_READ),
    (b"MD", "File too small to be a valid CWA file"),
    (cb.metadata_block()[:1023], "File too small to be a valid CWA file"),
    (cb.metadata_block() + b"\x00", "Incomplete CWA data block"),
    (cb.metadata_block() + cb.data_block() + b"\x00" * 64, "Incomplete CWA data block"),
    (b"XX" + cb.metadata_block()[2:] + cb.data_block(), "Not a valid CWA file"),
    (b"XX", "Not a valid CWA file"),
    (cb.metadata_block(), "Start block is beyond file size"),
    (cb.metadata_block() + cb.zero_sector() + cb.ff_sector(),
     "No valid sample data found in the specified range"),
])
def test_read_cwa_file_framing(raw_file, data, message):
    with pytest.raises(RuntimeError, match=exact(message)):
        kelpmoor.read_cwa_file(raw_file(data))


@pytest.mark.parametrize("func", HEADER_READERS)
@pytest.mark.parametrize("trailing", [b"\x00", b"AX" + b"\x00" * 62, b"\xff" * 511])
def test_partial_last_sector_fails_the_scan(make_cwa, func, trailing):
    with pytest.raises(RuntimeError, match=exact(SHORT_READ)):
        func(make_cwa([{}, cb.zero_sector(), {}], trailing=trailing))


def test_header_is_read_before_the_data_scan(make_cwa):
    # a damaged header wins over damaged data blocks
    path = make_cwa([dict(rate_code=0, sample_count=1)], trailing=b"\x00", header=b"\xff\xff")
    for func in HEADER_READERS:
        with pytest.raises(RuntimeError, match=exact("Invalid packet header format")):
            func(path)
    with pytest.raises(RuntimeError, match=exact("Not a valid CWA file")):
        kelpmoor.read_cwa_file(path)


def mutated_sectors(seed):
    rng = random.Random(seed)
    sectors = []
    for _ in range(12):
        block = bytearray(cb.data_block(samples=rng.randbytes(480), fmt=rng.choice([0x30, 0x32, 0x62, 0x92])))
        for _ in range(rng.randint(0, 3)):
            offset = rng.choice([0, 1, 14, 15, 16, 17, 24, 25, 26, 27, 28, 29, rng.randrange(512)])
            block[offset] = rng.randrange(256)
        if rng.random() < 0.3:
            struct.pack_into("<H", block, 28, rng.choice([0, 1, 26, 27, 40, 80, 120, 121, 0xFFFF]))
        sectors.append(bytes(block))
    return sectors


@pytest.mark.parametrize("seed", range(40))
def test_damaged_files_never_crash(make_cwa, seed):
    path = make_cwa(mutated_sectors(seed), trailing=b"\x00" if seed % 3 == 0 else b"")
    for func in ALL_READERS:
        try:
            func(path)
        except RuntimeError as exc:
            assert type(exc) is RuntimeError, repr(exc)  # not an internal fault (PanicException)
            assert str(exc)
    for cut in (kelpmoor.seconds(0.5, 3), kelpmoor.blocks(3, 9)):
        try:
            kelpmoor.read_cwa_file(path, cut=cut)
        except RuntimeError as exc:
            assert type(exc) is RuntimeError, repr(exc)  # not an internal fault (PanicException)
            assert str(exc)
