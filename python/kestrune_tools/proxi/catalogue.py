"""The runs served and which run a name means.

- The runs are the .raw files found under the served paths, as `kestrune convert`
  finds them. A run is known by its path within its served folder: `[a/b]run17`
  is `a/b/run17.raw`; a file served by name is at the top. A file whose real place
  is outside the served folders (through a link) is never served.
- A run name is only ever compared with the names of the runs found: no file name is
  made from it, so `..`, absolute paths or odd characters find nothing.
- `<msRun>` is the file name, or the name without its extension; `.raw` in any case,
  and the peak list extensions a converted copy of the run would carry, are
  understood. Asked without its `[folder]` prefix, a name that two folders hold is
  ambiguous.
- The folders are searched again when a name is not found (at most every
  `MISS_RESCAN_SECONDS`) and, whatever the requests, every `RESCAN_SECONDS`: runs
  added later are found without a restart.
"""

from __future__ import annotations

import collections
import math
import os
import threading
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path

from kestrune_tools.inputs import Discovery, discover_inputs, is_raw_name
from kestrune_tools.proxi.errors import ProxiError, not_found

RESCAN_SECONDS = 30.0
MISS_RESCAN_SECONDS = 0.5
# The extensions a USI's run name may carry for the same run, compared without regard to case.
RUN_EXTENSIONS = (".raw", ".mzml", ".mzxml", ".mgf")


@dataclass(frozen=True)
class ServedRun:
    """A run found under a served path: where it is read, and its name in USIs."""

    path: Path
    real_path: str  # where the path led when found; a path that leads elsewhere later is refused
    folder: str  # its folder within the served folder, "/"-separated, "" at the top
    file_name: str

    @property
    def stem(self) -> str:
        return self.file_name[:-len(".raw")] if is_raw_name(Path(self.file_name)) else self.file_name

    @property
    def usi_name(self) -> str:
        """Its `<msRun>` in a USI that names its folder: `[a/b]run17`, `[]run17` at the top."""
        return f"[{self.folder}]{self.stem}"


@dataclass
class Found:
    """One search of the served paths."""

    runs: list[ServedRun] = field(default_factory=list)
    outside: list[Path] = field(default_factory=list)  # led outside the served folders
    unreadable: list[tuple[Path, str]] = field(default_factory=list)


def find_runs(paths: Sequence[Path]) -> Found:
    """The runs under `paths` (folders searched as `kestrune convert` searches them;
    files served as given), each real file once."""
    found = Found()
    seen: set[str] = set()
    for path in paths:
        discovery: Discovery = discover_inputs([path])
        found.unreadable += discovery.unreadable_folders
        for candidate in discovery.inputs:
            run = _served(path, candidate) if path.is_dir() else _served_file(candidate)
            if run is None:
                found.outside.append(candidate)
            elif run.real_path not in seen:
                seen.add(run.real_path)
                found.runs.append(run)
    return found


def _served(root: Path, candidate: Path) -> ServedRun | None:
    real_root, real = os.path.realpath(root), os.path.realpath(candidate)
    if os.path.commonpath([real_root, real]) != real_root:
        return None
    relative = candidate.relative_to(root)
    return ServedRun(candidate, real, "/".join(relative.parent.parts), relative.name)


def _served_file(candidate: Path) -> ServedRun:
    return ServedRun(candidate, os.path.realpath(candidate), "", candidate.name)


class RunCatalogue:
    """The runs under the served paths, by name; searched again as the module says."""

    def __init__(self, paths: Sequence[Path]) -> None:
        self.paths = list(paths)
        self._lock = threading.Lock()
        self._by_name: dict[str, list[ServedRun]] = {}
        self._by_stem: dict[str, list[ServedRun]] = {}
        self._searched = -math.inf
        self.last = self.rescan()

    def rescan(self) -> Found:
        found = find_runs(self.paths)
        by_name: dict[str, list[ServedRun]] = collections.defaultdict(list)
        by_stem: dict[str, list[ServedRun]] = collections.defaultdict(list)
        for run in found.runs:
            by_name[run.file_name].append(run)
            by_stem[run.stem].append(run)
        self._by_name, self._by_stem = dict(by_name), dict(by_stem)
        self._searched = time.monotonic()
        self.last = found
        return found

    def __len__(self) -> int:
        return sum(len(runs) for runs in self._by_name.values())

    def find(self, folder: str | None, name: str) -> ServedRun:
        """The run of that name (in that folder, where given); ProxiError 404 where
        there is none, 400 where several folders hold it and none was named."""
        self._rescan_after(RESCAN_SECONDS)
        runs = self._matching(folder, name)
        if not runs and self._rescan_after(MISS_RESCAN_SECONDS):
            runs = self._matching(folder, name)
        if not runs:
            where = f" in the folder [{folder}]" if folder is not None else ""
            raise not_found("UnknownMsRun", "Unknown MS run", f"no run named {name!r}{where} is served")
        if len(runs) > 1:
            names = " and ".join(sorted(run.usi_name for run in runs))
            raise ProxiError(400, "AmbiguousMsRun", "Ambiguous MS run",
                             f"several folders hold a run named {name!r}: {names}; "
                             f"name one with its [folder] prefix ([] for the top folder)")
        return runs[0]

    def _rescan_after(self, seconds: float) -> bool:
        with self._lock:
            if time.monotonic() - self._searched < seconds:
                return False
            self.rescan()
            return True

    def _matching(self, folder: str | None, name: str) -> list[ServedRun]:
        """The runs the name means: its file name first, then its stem, then its stem
        with a run extension taken off."""
        for table, key in ((self._by_name, name), (self._by_stem, name), (self._by_stem, _without_extension(name))):
            runs = [run for run in table.get(key, []) if folder is None or run.folder == folder.strip("/")]
            if runs:
                return runs
        return []


def _without_extension(name: str) -> str:
    for extension in RUN_EXTENSIONS:
        if name.lower().endswith(extension) and len(name) > len(extension):
            return name[:-len(extension)]
    return name
