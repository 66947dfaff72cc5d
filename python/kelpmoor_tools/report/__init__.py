"""What people look at: a recording's page (`draw_page`, a PNG drawn with matplotlib) and a
cohort's index (`write_index`, one self-contained HTML page that links the pages).

Each is imported on first use, so writing an index needs nothing beyond pandas, and only
drawing a page needs the ``plot`` extra (matplotlib)."""
from __future__ import annotations

import importlib
from typing import TYPE_CHECKING

if TYPE_CHECKING:     # type checkers see the functions; at run time they load on first use
    from .index import write_index
    from .page import draw_page

__all__ = ["draw_page", "write_index"]
_HOMES = {"draw_page": ".page", "write_index": ".index"}


def __getattr__(name: str) -> object:
    if name in _HOMES:
        return getattr(importlib.import_module(_HOMES[name], __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), *__all__])
