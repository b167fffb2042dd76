"""Numbers as text that reads back to the same value, shared by the mzML export and
the PROXI server: float64 values as their shortest round-trip text, values the file
stores as 32-bit floats (injection time, isolation width, intensities) as their
shortest float32 text, `0.8` rather than `0.800000011920929`. A value that is no
number is written with XML Schema's words (`NaN`, `INF`, `-INF`): peaks that are no
plausible peaks still hold them.
"""

from __future__ import annotations

import math

import numpy as np

__all__ = ["float32_text", "float64_text"]


def float32_text(value: float) -> str:
    """The shortest text that reads back as the same 32-bit float: `0.8`, not the
    float64 `0.800000011920929` of the same value (NumPy's shortest form, `1e+38` for
    the extremes)."""
    return _xsd_float(value) or str(np.float32(value))


def float64_text(value: float) -> str:
    """The shortest text that reads back as the same 64-bit float."""
    return _xsd_float(value) or repr(float(value))


def _xsd_float(value: float) -> str | None:
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "INF" if value > 0 else "-INF"
    return None
