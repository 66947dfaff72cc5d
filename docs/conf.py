"""Sphinx configuration of the kelpmoor documentation site.

Theme and extensions follow the scientific Python community (NumPy, SciPy, pandas and
scikit-learn document themselves this way): the PyData theme, numpydoc for the "Parameters /
Returns / Raises" docstrings every function here has, and MyST so that pages are Markdown.
Build: ``pip install ".[docs]"`` then ``sphinx-build -W --keep-going -n docs docs/_build/html``.
"""
import importlib.metadata
import sys
from pathlib import Path

here = Path(__file__).resolve().parent
sys.path.insert(0, str(here / "_ext"))

project = "kelpmoor"
author = "the kelpmoor developers"
copyright = "the kelpmoor developers, MIT licence"
try:
    release = importlib.metadata.version("kelpmoor")
except importlib.metadata.PackageNotFoundError:     # built from a source tree on PYTHONPATH
    release = "dev"
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "numpydoc",
    "stub_signatures",
    "plain_docstrings",
]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build", "methods/make_figures.py"]
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3
# Literal blocks of docstrings are plain text; code samples name their language.
highlight_language = "text"

autodoc_default_options = {"members": True, "member-order": "bysource"}
autodoc_typehints = "signature"
numpydoc_show_class_members = False
numpydoc_xref_param_type = False

# The build runs offline, so names of other projects cannot be linked; everything of this
# project must resolve (-n), and these are the only names allowed to stay plain text.
nitpick_ignore_regex = [
    ("py:.*", r"(numpy|np|pandas|pd|datetime|os|pathlib|typing|collections\.abc|zoneinfo"
              r"|concurrent\.futures|dask|distributed|argparse)(\..*)?"),
    ("py:.*", r"(str|int|float|bool|bytes|dict|list|tuple|object|None|Path|PathLike|Callable"
              r"|Iterable|Sequence|Mapping|SupportsIndex|SupportsFloat|DataFrame|Series"
              r"|Timestamp|DatetimeIndex|ndarray|tzinfo|timedelta|ZoneInfo|Client"
              r"|Axes|Dtype)"),  # pandas' own annotation aliases, met in DataFrame subclasses
    # The cohort's annotation aliases, spelt out in its guide page rather than given pages.
    ("py:class", r"(Paths|PerRecording)"),
]

html_theme = "pydata_sphinx_theme"
html_title = f"kelpmoor {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
}
# The gallery's pictures get the page's whole width.
html_sidebars = {"gallery": []}
html_static_path = []
