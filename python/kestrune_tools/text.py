"""Text from files and file names made inert before it reaches a terminal or a
line-based output.

`escaped(text)` writes every character that could end a line, move a cursor, send
a terminal escape sequence or reorder what is shown as a visible escape, the way
`ls -b` and Python's `repr` do: `\\x1b` for ESC, `\\x0a` for a line feed,
`\\u2028` for the line separator. Escaped are the C0 controls,
DEL, the C1 controls (U+0085 among them), the line and paragraph separators
U+2028 and U+2029, the bidirectional controls, and lone surrogates; a surrogate
that stands for an undecodable byte of a file name (U+DC80 to U+DCFF, Python's
"surrogateescape") is shown as that byte, `\\xff`. Everything else, backslashes
included, is kept as it is.
"""

from __future__ import annotations

import re

__all__ = ["BIDI_CONTROLS", "escaped"]

# The characters that reorder the text around them, as a regular-expression class
# body: the marks, the embeddings and overrides, the isolates.
BIDI_CONTROLS = "\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069"
_UNSAFE = re.compile(f"[\x00-\x1f\x7f-\x9f\u2028\u2029{BIDI_CONTROLS}\ud800-\udfff]")
_ESCAPED_BYTES = range(0xDC80, 0xDD00)  # the surrogates of undecodable bytes


def _escape(match: re.Match[str]) -> str:
    code = ord(match.group())
    if code in _ESCAPED_BYTES:
        return f"\\x{code - 0xDC00:02x}"
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def escaped(text: str) -> str:
    """`text` with its control, separator and surrogate characters escaped."""
    return _UNSAFE.sub(_escape, text)
