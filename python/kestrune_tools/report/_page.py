"""Whole HTML pages: Bokeh's document with its JavaScript inlined, between sections
of our own markup. Every text that reaches our markup passes through `text()`."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np
from bokeh.core.templates import get_env
from bokeh.embed import file_html
from bokeh.resources import INLINE

from kestrune_tools.markup import (NO_RETENTION_TIMES, creation_text, holds_retention_times, isolated, levels_text,
                                   rt_text, text)

from ._digest import RunDigest

# A text from a file may be one word thousands of characters long: it wraps anywhere
# (`overflow-wrap: anywhere` also lets its box shrink), a log entry scrolls inside a
# box of three lines, and the page stays within the window.
STYLE = """
body { font: 14px/1.45 system-ui, sans-serif; color: #222; margin: 0 auto; max-width: 1200px; padding: 0 16px 32px; }
h1 { font-size: 22px; margin: 18px 0 2px; } h2 { font-size: 16px; margin: 18px 0 6px; }
h1, li, td, pre, .path { overflow-wrap: anywhere; }
.path { color: #666; margin: 0 0 12px; }
table { border-collapse: collapse; } td, th { padding: 2px 12px 2px 0; text-align: left; vertical-align: top; }
th { font-weight: 600; } .columns { display: flex; flex-wrap: wrap; gap: 8px 40px; } .columns > section { min-width: 0; }
ul { margin: 0; padding-left: 18px; } .labels { columns: 3 220px; }
pre { white-space: pre-wrap; background: #f6f6f6; padding: 8px; max-height: 480px; overflow: auto; }
summary { cursor: pointer; font-weight: 600; margin: 18px 0 6px; } .bad { color: #a00; }
li > bdi, td.entries > bdi { display: block; max-height: 4.4em; overflow-y: auto; }
.note { background: #f3f6fa; border-left: 3px solid #7a9cc6; padding: 4px 10px; }
table.runs { width: 100%; } table.runs td.short { white-space: nowrap; } table.runs td.name { min-width: 12em; }
"""

# Our style comes after Bokeh's, which zeroes the body's margins.
PAGE = get_env().from_string("""{% extends "file.html.jinja" %}
{% block postamble %}<style>{{ style }}</style>{% endblock %}
{% block contents %}{{ before }}{{ super() }}{{ after }}{% endblock %}""")


def render_page(title: str, models: Any, before: str, after: str = "") -> str:
    return file_html(models, INLINE, title=title, template=PAGE,
                     template_variables={"style": STYLE, "before": before, "after": after})


def rows(pairs: Iterable[tuple[str, object]]) -> str:
    return "".join(f"<tr><th>{text(name)}</th><td>{text(value)}</td></tr>" for name, value in pairs)


def bullet_list(items: Sequence[str], empty: str, css: str = "") -> str:
    """Texts from a file as a list, each isolated; `empty` (our own text) without any."""
    if not items:
        return f"<p>{text(empty)}</p>"
    return f'<ul class="{css}">' + "".join(f"<li>{isolated(item)}</li>" for item in items) + "</ul>"


def notes(digest: RunDigest) -> str:
    """What the plots cannot show of this run, said above them."""
    said = []
    if not holds_retention_times(digest.rt_range()):
        said.append(("no-retention-times", f"{NO_RETENTION_TIMES.capitalize()}: the plots show the scan number instead."))
    if not (digest.scans.ms_level >= 2).any():
        said.append(("no-ms2", "This run holds no MS2 scans: there are no precursor m/z or charge plots."))
    return "".join(f'<p class="note" id="{name}">{text(note)}</p>' for name, note in said)


def run_sections(digest: RunDigest) -> tuple[str, str]:
    """Our markup before and after the figures of a run's page."""
    fragments = digest.scans.ms_level >= 2
    header = rows([
        ("Format version", digest.version),
        ("Created", creation_text(digest.creation_date)),
        ("Scans", len(digest.scans.scan_number)),
        ("Scans per MS level", levels_text(digest.level_counts())),
        ("Retention time", rt_text(digest.rt_range())),
        ("MS2 scans with a precursor", int((fragments & np.isfinite(digest.scans.precursor_mz)).sum())),
        ("Error-log warnings", len(digest.error_logs)),
    ])
    before = (
        f"<h1>{isolated(digest.name)}</h1><p class=\"path\">{isolated(digest.path)}</p>"
        f"<div class=\"columns\"><section><h2>Run</h2><table>{header}</table></section>"
        f"<section><h2>Error log</h2>{bullet_list(digest.error_logs, 'No warnings recorded.', 'bad')}</section></div>"
        f"<h2>Status-log labels ({len(digest.status_log_labels)})</h2>"
        f"{bullet_list(digest.status_log_labels, 'No status-log labels found.', 'labels')}"
        f"<h2>Chromatograms and scans</h2>{notes(digest)}"
    )
    method = digest.instrument_method
    after = (
        f"<details id=\"instrument-method\"><summary>Instrument method ({len(method)} characters)</summary>"
        f"<pre>{isolated(method)}</pre></details>" if method else "<h2>Instrument method</h2><p>None found in the file.</p>"
    )
    return before, after
