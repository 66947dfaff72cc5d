import itertools
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

import cwa_builder as cb  # noqa: E402


@pytest.fixture
def make_cwa(tmp_path):
    """make_cwa(sectors, metadata=None, trailing=b"", **metadata_fields) -> str path.

    `sectors` holds bytes (written as given) or dicts (data_block keyword arguments)."""
    counter = itertools.count()

    def make(sectors=(), metadata=None, trailing=b"", **meta_fields):
        meta = metadata if metadata is not None else cb.metadata_block(**meta_fields)
        raw = [s if isinstance(s, (bytes, bytearray)) else cb.data_block(**s) for s in sectors]
        return cb.write_cwa(tmp_path / f"rec{next(counter)}.cwa", meta, raw, trailing)

    return make


@pytest.fixture
def raw_file(tmp_path):
    """raw_file(data) -> str path of a file holding exactly these bytes."""
    counter = itertools.count()

    def make(data: bytes):
        path = tmp_path / f"raw{next(counter)}.bin"
        path.write_bytes(data)
        return str(path)

    return make
