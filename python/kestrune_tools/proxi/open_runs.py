"""The open runs, in a bounded cache: each reopened when its file changed and checked
once more to be the file found, just before it is opened."""

from __future__ import annotations

import collections
import os
import threading
from typing import TYPE_CHECKING

from kestrune_tools.proxi.catalogue import ServedRun

if TYPE_CHECKING:
    from kestrune_tools.runs import Run

OPEN_RUNS = 32


class RunGone(Exception):
    """The run's file is gone, cannot be read, or now leads outside the served folders."""


class OpenRuns:
    """At most `capacity` open runs, the least recently used dropped first. A run
    whose file changed (another file, size or modification time) is opened anew."""

    def __init__(self, capacity: int = OPEN_RUNS) -> None:
        self.capacity = capacity
        self._lock = threading.Lock()
        self._runs: collections.OrderedDict[str, tuple[tuple[int, ...], Run]] = collections.OrderedDict()

    def __len__(self) -> int:
        return len(self._runs)

    def get(self, served: ServedRun) -> Run:
        identity = _identity(served)
        key = os.fspath(served.path)
        with self._lock:
            cached = self._runs.get(key)
            if cached is not None and cached[0] == identity:
                self._runs.move_to_end(key)
                return cached[1]
            run = _open(served)
            self._runs[key] = (identity, run)
            self._runs.move_to_end(key)
            while len(self._runs) > self.capacity:
                # Dropped, not closed: a request may still be reading it; it closes
                # with its last reference.
                self._runs.popitem(last=False)
            return run

    def forget(self, served: ServedRun) -> None:
        with self._lock:
            self._runs.pop(os.fspath(served.path), None)


def _identity(served: ServedRun) -> tuple[int, ...]:
    if os.path.realpath(served.path) != served.real_path:
        raise RunGone
    try:
        status = os.stat(served.path)
    except OSError:
        raise RunGone from None
    return (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns)


def _open(served: ServedRun) -> Run:
    from kestrune_tools.runs import open_run

    try:
        return open_run(served.path)
    except OSError:
        raise RunGone from None
