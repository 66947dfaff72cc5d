"""Outputs that appear whole or not at all.

Recordings, salvaged copies, pages and indexes are written in long batches that may fail or be
interrupted; a half-written file would look like a result. Each is written to a hidden
temporary file beside its destination and renamed over it only when complete (the rename is
atomic on one file system), so a failure leaves the destination as it was and no temporary file
behind. This is the one writer of that kind in the package.
"""
from __future__ import annotations

import os
import uuid
from pathlib import Path
from typing import Callable


def write_whole(path: str | os.PathLike[str], write: Callable[[Path], object]) -> Path:
    """Call `write(temporary)` and rename the temporary file to `path`; return `path`."""
    path = Path(path)
    # A name of our own rather than mkstemp's, so the file gets the usual permissions (umask)
    # of a page people share, not mkstemp's owner-only ones.
    temporary = path.with_name(f".{path.name}.{os.getpid()}.{uuid.uuid4().hex[:8]}.tmp")
    try:
        write(temporary)
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    return path
