"""The notebook views of a run and a spectrum, rendered in headless Chromium."""

import html
import os

import pytest

pytest.importorskip("numpy")

import kestrune_tools as kt  # noqa: E402
import kestrune_tools.synthetic as sr  # noqa: E402
from kestrune_tools.markup import text  # noqa: E402

import browser  # noqa: E402

needs_chromium = pytest.mark.skipif(browser.chromium() is None and os.environ.get("KESTRUNE_BROWSER_CHECK") != "required",
                                    reason="chromium is not installed")
HOSTILE_NAME = '<img src=x onerror="window.__pwned = 1">_\u202erab 1.3_orbitrap.raw'


@pytest.mark.parametrize("raw, shown", [
    ("tab\tline\nfeed\r", "tab\tline\nfeed\r"),  # the layout's own controls stay
    ("a\0b\x01\x1f\x7f", "a\u2400b\u2401\u241f\u2421"),  # hidden controls as their pictures
    ("\u202e3.1 bar\u202c \u2066\u2069\u200f\u061c", "\\u202e3.1 bar\\u202c \\u2066\\u2069\\u200f\\u061c"),
    ('<b a="1">&</b>', "&lt;b a=&quot;1&quot;&gt;&amp;&lt;/b&gt;"),
    ("µ-Säule 日本語 \u05d0", "µ-Säule 日本語 \u05d0"),  # right-to-left letters are text, not controls
])
def test_texts_from_a_file_are_escaped_and_shown(raw, shown):
    assert text(raw) == shown


@pytest.mark.parametrize("mz, intensity", [
    ([500.0, 501.0, 1.7e308, -1.7e308], [1.0, 2.0, 3.0, 4.0]),  # a span past the largest float
    ([500.0, float("nan"), float("inf")], [1.0, 2.0, 3.0]),
    ([500.0, 500.0], [float("nan"), 0.0]),  # nothing to draw
])
def test_a_spectrum_view_renders_whatever_its_peaks_hold(mz, intensity):
    import numpy as np

    from kestrune_tools.runs import Spectrum

    spectrum = Spectrum(3, 2, 1.5, np.array(mz), np.array(intensity, np.float32), None, None, None, 0.0, "scan=3")
    view = spectrum._repr_html_()
    assert view.count("<svg") == 1 and "nan" not in view.lower().replace("native id", "")


def notebook_page(views):
    """A page laid out like a notebook: each view an output cell under its input."""
    cells = "".join(f'<div class="cell"><pre class="in">In [{k}]: {html.escape(code)}</pre>'
                    f'<div class="out">{view}</div></div>' for k, (code, view) in enumerate(views, 1))
    style = ("body{font:13px system-ui,sans-serif;margin:16px;max-width:900px} .in{background:#f5f5f5;"
             "padding:6px;margin:0} .out{padding:8px 6px 14px} th,td{padding:1px 10px 1px 0}")
    return f"<!DOCTYPE html><html><head><meta charset=\"utf-8\"><style>{style}</style></head><body>{cells}</body></html>"


def notebook_views(path):
    with kt.open_run(path) as run:
        return [("run", run._repr_html_()), ("run[2]", run[2]._repr_html_()), ("run[1]", run[1]._repr_html_())]


@needs_chromium
def test_notebook_views_in_headless_chromium(files):
    """Both views render as plain markup: tables, a stick plot, no script; a hostile
    file name stays isolated text; a scan without peaks says so."""
    path = sr.demo_file().write(files / HOSTILE_NAME)
    raw = sr.RawFile().header(version=66).at_least(sr.orbitrap_minimum_length(66))  # scans without peaks
    views = notebook_views(path) + notebook_views(raw.write(files / "empty_orbitrap.raw"))[2:]
    page = files / "notebook.html"
    page.write_text(notebook_page(views), encoding="utf-8")
    outcome = browser.open_page(page, probes={
        "pwned": "window.__pwned === undefined ? null : window.__pwned",
        "scripts and images": "document.querySelectorAll('script, img').length",
        "path shown": "document.querySelector('.out bdi').textContent",
        "caption and rows": "[...document.querySelectorAll('.out table')].map(t => [t.caption.textContent, t.rows.length])",
        "sticks drawn": "[...document.querySelectorAll('.out svg path')].map(p => (p.getAttribute('d').match(/M/g) || []).length)",
        "no peaks said": "[...document.querySelectorAll('.out svg text')].map(t => t.textContent).includes('no peaks')",
    })
    sticks = outcome.probes.pop("sticks drawn")  # one per pixel column at most, of scan 2's 80 and 1's 200 peaks
    assert outcome.errors == [] and outcome.requests == []
    assert len(sticks) == 2 and 0 < sticks[0] <= 80 and 0 < sticks[1] <= 200
    assert outcome.probes == {
        "pwned": None, "scripts and images": 0, "path shown": path.replace("\u202e", "\\u202e"),
        "caption and rows": [["Run", 7], ["Scan 2", 7], ["Scan 1", 7], ["Scan 1", 7]], "no peaks said": True,
    }
