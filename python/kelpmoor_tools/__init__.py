"""Tools around the kelpmoor reader: synthetic recordings (`synth`), the `kelpmoor` command line
(`cli`), cohort summaries on Dask (`cohort`), the repair of damaged recordings (`salvage`) and
a recording's discontinuities (`timeline(path)`). Submodules are imported on use, so importing
this package costs nothing and needs no optional extra."""
from __future__ import annotations

import importlib
from importlib.metadata import PackageNotFoundError, version
from typing import TYPE_CHECKING

if TYPE_CHECKING:     # type checkers see the function; at run time it loads on first use
    from ._timeline import timeline

try:
    __version__ = version("kelpmoor")
except PackageNotFoundError:       # run from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = ["__version__", "timeline"]


def __getattr__(name: str):
    # `timeline` pulls in pandas; it is loaded on first use so that `import kelpmoor_tools`
    # stays free.
    if name == "timeline":
        return importlib.import_module("._timeline", __name__).timeline
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
