"""Companion tools for kestrune: acquisition runs as Python users expect them.

    import kestrune_tools as kt
    with kt.open_run(path) as run: ...

`open_run`, `Run` and `Spectrum` live in `kestrune_tools.runs` and need NumPy
(`scan_table` also pyarrow): pip install 'kestrune[tools]'. They are loaded at their
first use, so `kestrune_tools.synthetic`, which writes synthetic acquisition files
for the examples, the tests and the benchmarks, needs nothing beyond the standard
library. `__version__` is the installed package's version.
"""

from __future__ import annotations

import importlib
from importlib.metadata import PackageNotFoundError, version
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from kestrune_tools.runs import Run, Spectrum, open_run

__all__ = ["Run", "Spectrum", "open_run"]

try:
    __version__ = version("kestrune")
except PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "unknown"

def __getattr__(name: str) -> Any:
    if name in __all__:
        return getattr(importlib.import_module("kestrune_tools.runs"), name)
    raise AttributeError(f"module 'kestrune_tools' has no attribute {name!r}")


def __dir__() -> list[str]:
    # The public names (those loaded at first use included) and the module's dunders,
    # not the helpers this file imports.
    return sorted([name for name in globals() if name.startswith("__")] + __all__)
