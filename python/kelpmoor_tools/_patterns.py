"""Recordings named by paths and glob patterns, for the command line and for cohorts.

A pattern the shell passed on unmatched (or that was quoted) is expanded here. One that matches
nothing is an error, never an empty list: a batch silently missing its recordings is worse than
none. A name that exists as a file is taken as it stands, even with glob characters in it.
"""
from __future__ import annotations

import glob
import os
from collections.abc import Iterable


class NoMatch(ValueError):
    """A pattern that matches no file; `pattern` is the text as given."""

    def __init__(self, pattern: str):
        super().__init__(f"no file matches the pattern {pattern!r}")
        self.pattern = pattern


def expand(items: Iterable[str | os.PathLike[str]]) -> list[str]:
    """Every path as given and every pattern's matches (sorted), in the order named."""
    out: list[str] = []
    for item in items:
        text = os.fspath(item)
        if glob.has_magic(text) and not os.path.lexists(text):
            matched = sorted(glob.glob(text))
            if not matched:
                raise NoMatch(text)
            out.extend(matched)
        else:
            out.append(text)
    return out
