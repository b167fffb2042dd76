"""The browser check of the documentation site: a page of a site may load the site's
own files, and nothing else. (.ci/run builds the site and checks its pages with
`python tests/browser.py --site`.)"""

from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))
import browser  # noqa: E402

needs_chromium = pytest.mark.skipif(browser.chromium() is None and os.environ.get("KESTRUNE_BROWSER_CHECK") != "required",
                                    reason="chromium is not installed")


@needs_chromium
@pytest.mark.parametrize("href, as_site, reported", [
    ("_static/style.css", True, False),
    ("../outside.css", True, True),
    ("_static/../../outside.css", True, True),
    ("_static/style.css", False, True),  # a single page (the reports) still loads nothing beside itself
])
def test_site_pages_load_only_the_site(files, href, as_site, reported):
    site = files / "site"
    (site / "_static").mkdir(parents=True)
    (site / "_static" / "style.css").write_text("body { color: #123; }")
    (files / "outside.css").write_text("body { color: #321; }")
    page = site / "index.html"
    page.write_text(f'<!DOCTYPE html><html><head><link rel="stylesheet" href="{href}"></head>'
                    "<body><p>text</p></body></html>")
    outcome = browser.open_page(page, settle=0.2, site=site if as_site else None)
    assert bool(outcome.requests) is reported and outcome.errors == []
