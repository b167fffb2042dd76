"""Texts read from a file made safe and legible in HTML: the reports' and the notebook
views' one escaping rule.

- `text(value)`: nothing in it can become markup or script, and no character of it
  can hide or reorder what is shown: a bidirectional control (U+202E, the
  right-to-left override, among them) is shown as its escape, `\\u202e`, the way
  the terminal output shows it, and a C0 control other than tab, line feed and
  carriage return (NUL among them) as its Unicode control picture (U+2400 for NUL),
  so the characters a page counts are all seen.
- `isolated(value)`: `text(value)` in a `<bdi>` element, so a right-to-left text from
  a file does not reorder our own text around it.

And the texts of a run's values that the reports and the notebook views share.
"""

from __future__ import annotations

import html
import re
from datetime import datetime, timezone

from kestrune_tools.text import BIDI_CONTROLS

__all__ = ["NO_RETENTION_TIMES", "creation_text", "holds_retention_times", "isolated", "levels_text", "rt_text", "text",
           "visible"]

_HIDDEN = re.compile(f"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f{BIDI_CONTROLS}]")
_CONTROL_PICTURES = 0x2400  # U+2400 SYMBOL FOR NULL, then one a C0 control; U+2421 for DEL


def _shown(match: re.Match[str]) -> str:
    code = ord(match.group())
    if code < 0x20:
        return chr(_CONTROL_PICTURES + code)
    if code == 0x7F:
        return "\u2421"
    return f"\\u{code:04x}"


def visible(value: object) -> str:
    """`value` as text with its hidden and reordering characters shown (no escaping:
    for canvas texts such as legend labels)."""
    return _HIDDEN.sub(_shown, str(value))


def text(value: object) -> str:
    """A value as HTML text: nothing in it can become markup or script, or hide."""
    return html.escape(visible(value), quote=True)


def isolated(value: object) -> str:
    """A text from a file as HTML, isolated from the text around it."""
    return f"<bdi>{text(value)}</bdi>"


def creation_text(seconds: str) -> str:
    try:
        moment = datetime.fromtimestamp(int(seconds), timezone.utc)
    except (ValueError, OverflowError, OSError):
        return seconds
    return f"{moment:%Y-%m-%d %H:%M:%S} UTC" if int(seconds) > 0 else "not recorded"


NO_RETENTION_TIMES = "this run holds no retention times"


def holds_retention_times(rt_range: tuple[float, float] | None) -> bool:
    """False for a run without a finite retention time or with every one at 0 (as in
    files of the generic profile): its scans are better placed by their number."""
    return rt_range is not None and rt_range != (0.0, 0.0)


def rt_text(rt_range: tuple[float, float] | None) -> str:
    if rt_range is None:
        return "none held"
    if not holds_retention_times(rt_range):
        return "none held (every scan at 0)"
    return f"{rt_range[0]:.3f} to {rt_range[1]:.3f} min"


def levels_text(counts: dict[int, int]) -> str:
    return ", ".join(f"MS{level}: {count}" for level, count in counts.items()) or "none"
