"""The package's build backend: scikit-build-core, with one build folder per
environment.

An environment that reuses another's CMake build folder races it (two installs at
once remove each other's dependency files) or links against the other interpreter's
configuration, so each environment (`sys.prefix`, the interpreter that runs the
install) gets its own folder under build/, named after it and reused by its later
installs. `-C build-dir=...` still chooses a folder of one's own.
"""

from __future__ import annotations

import hashlib
import os
import sys
from typing import Any

from scikit_build_core import build as _backend
from scikit_build_core.build import (  # noqa: F401  (the hooks that need no folder)
    build_sdist,
    get_requires_for_build_editable,
    get_requires_for_build_sdist,
    get_requires_for_build_wheel,
    prepare_metadata_for_build_editable,
    prepare_metadata_for_build_wheel,
)

ConfigSettings = dict[str, Any] | None


def environment_build_dir(prefix: str = sys.prefix) -> str:
    """build/<wheel tag>-<environment's folder name>-<hash of its full path>."""
    name = os.path.basename(os.path.normpath(prefix)) or "python"
    digest = hashlib.sha256(os.path.normcase(os.path.abspath(prefix)).encode()).hexdigest()[:8]
    return f"build/{{wheel_tag}}-{name}-{digest}"


def _with_build_dir(config_settings: ConfigSettings) -> dict[str, Any]:
    settings = dict(config_settings or {})
    settings.setdefault("build-dir", environment_build_dir())
    return settings


def build_wheel(wheel_directory: str, config_settings: ConfigSettings = None,
                metadata_directory: str | None = None) -> str:
    return _backend.build_wheel(wheel_directory, _with_build_dir(config_settings), metadata_directory)


def build_editable(wheel_directory: str, config_settings: ConfigSettings = None,
                   metadata_directory: str | None = None) -> str:
    return _backend.build_editable(wheel_directory, _with_build_dir(config_settings), metadata_directory)
