import os
import re
import shutil
import subprocess
from html.parser import HTMLParser

import numpy as np
import pandas as pd
import pytest

from kelpmoor_tools.report import write_index

CHROMIUM = next(filter(None, map(shutil.which, ("chromium", "chromium-browser", "google-chrome"))),
                None)


def cohort(folder):
    """Five recordings: two fine, one failed, one not calibrated, one short of valid days; the
    numbers are chosen so that text order and numeric order differ (10 before 2 as text)."""
    files = ["p01.cwa", "p02 <b>&.cwa", "p03.cwa", "p04.cwa", "p10.cwa"]
    return pd.DataFrame({
        "file": [f"/data/{name}" for name in files],
        "device_id": [41234, 41235, np.nan, 41240, 41241],
        "start": pd.to_datetime(["2024-03-04 09:00", "2024-03-05 10:00", None,
                                 "2024-03-06 08:00", "2024-03-04 12:00"]),
        "valid_days": [7, 2, np.nan, 6, 10],
        "calibration_status": ["calibrated", "calibrated", None, "not calibrated", "calibrated"],
        "mvpa_min": [45.2, 10.0, np.nan, 100.5, 9.0],
        "status": ["ok", "fewer than 16 h", None, "not calibrated", "ok"],
        "gaps": [0, 2, np.nan, 0, 1],
        "error": ["", "", "RuntimeError: bad <script>alert(1)</script>", "", ""],
        "page": [str(folder / "p01.png"), "p02 <b>&.png", "", str(folder / "p04.png"),
                 str(folder / "sub" / "p10.png")],
    })


class Rows(HTMLParser):
    """The text of each body row's cells, the row's class, and every tag met."""

    def __init__(self):
        super().__init__()
        self.rows, self.tags, self.links, self._cell = [], [], [], None

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        attrs = dict(attrs)
        if tag == "tr" and self.tags.count("tbody"):
            self.rows.append({"class": attrs.get("class"), "cells": []})
        elif tag == "td" and self.rows:
            self._cell = ""
        elif tag == "a":
            self.links.append(attrs["href"])

    def handle_data(self, data):
        if self._cell is not None:
            self._cell += data

    def handle_endtag(self, tag):
        if tag == "td" and self._cell is not None:
            self.rows[-1]["cells"].append(self._cell)
            self._cell = None


def parsed(text):
    parser = Rows()
    parser.feed(text)
    return parser


def test_text_is_escaped_and_page_is_self_contained(tmp_path):
    page = write_index(cohort(tmp_path), tmp_path / "index.html")
    text = page.read_text()
    rows = parsed(text)
    assert rows.tags.count("script") == 1            # the page's own, none from the data
    assert rows.rows[2]["cells"][1] == "failed: RuntimeError: bad <script>alert(1)</script>"
    assert rows.rows[1]["cells"][0] == "p02 <b>&.cwa"
    assert not re.search(r"\b(src|href)=\"(https?:)?//", text) and "<link" not in text
    assert rows.links == ["p01.png", "p02%20%3Cb%3E%26.png", "p04.png", "sub/p10.png"]


@pytest.mark.parametrize("min_valid_days,expected", [
    (4, ["", "2 valid days of 4 needed", "failed: RuntimeError: bad <script>alert(1)</script>",
         "not calibrated", ""]),
    (7, ["", "2 valid days of 7 needed", "failed: RuntimeError: bad <script>alert(1)</script>",
         "not calibrated; 6 valid days of 7 needed", ""]),
])
def test_problems_are_marked_in_words_and_colour(tmp_path, min_valid_days, expected):
    page = write_index(cohort(tmp_path), tmp_path / "index.html", min_valid_days=min_valid_days)
    rows = parsed(page.read_text()).rows
    assert [row["cells"][1] for row in rows] == expected
    assert [row["class"] for row in rows] == ["problem" if e else None for e in expected]


def test_pages_mapping_replaces_the_page_column(tmp_path):
    summary = cohort(tmp_path)
    page = write_index(summary, tmp_path / "index.html",
                       pages={"/data/p10.cwa": tmp_path / "pages" / "p10.png"})
    assert parsed(page.read_text()).links == ["pages/p10.png"]


def sorted_files(page, fragment):
    # The browser must not inherit the sanitizer runtimes a sanitized test run preloads.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    dom = subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom",
         f"{page.as_uri()}#sort={fragment}"],
        capture_output=True, text=True, timeout=60, check=True, env=env).stdout
    return [row["cells"][0] for row in parsed(dom).rows]


@pytest.mark.skipif(CHROMIUM is None, reason="needs a headless Chromium")
@pytest.mark.parametrize("fragment,expected", [
    # Numbers sort as numbers (10 after 7), empty cells last in both directions.
    ("valid_days", ["p02 <b>&.cwa", "p04.cwa", "p01.cwa", "p10.cwa", "p03.cwa"]),
    ("-valid_days", ["p10.cwa", "p01.cwa", "p04.cwa", "p02 <b>&.cwa", "p03.cwa"]),
    ("-mvpa_min", ["p04.cwa", "p01.cwa", "p02 <b>&.cwa", "p10.cwa", "p03.cwa"]),
    # Text in natural order: p10 after p04.
    ("file", ["p01.cwa", "p02 <b>&.cwa", "p03.cwa", "p04.cwa", "p10.cwa"]),
    # Equal texts keep their order: the sort is stable.
    ("-status", ["p01.cwa", "p10.cwa", "p04.cwa", "p02 <b>&.cwa", "p03.cwa"]),
    ("-start", ["p04.cwa", "p02 <b>&.cwa", "p10.cwa", "p01.cwa", "p03.cwa"]),
])
def test_sorting_in_the_browser(tmp_path, fragment, expected):
    page = write_index(cohort(tmp_path), tmp_path / "index.html")
    assert sorted_files(page, fragment) == expected
