"""What a command needs installed: where a library of the tools extra is missing, one
usage error naming it and the extra, before any input is read (rather than the same
import failure on every input)."""

from __future__ import annotations

import importlib.util

from kestrune_tools.cli.common import UsageError

TOOLS_LIBRARIES = {"numpy": "NumPy", "pyarrow": "pyarrow"}


def require_tools(command: str) -> None:
    missing = [name for module, name in TOOLS_LIBRARIES.items() if importlib.util.find_spec(module) is None]
    if missing:
        raise UsageError(f"{command} needs {' and '.join(missing)}: pip install 'kestrune[tools]'")
