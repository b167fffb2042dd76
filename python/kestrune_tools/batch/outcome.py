"""What became of one input, and the guard that makes every task answer one.

A task never raises for a bad input: it answers an `Outcome` whose `reason` says in
a few words what was wrong with the file, so one bad file never stops the others.
"""

from __future__ import annotations

import contextlib
import dataclasses
import errno
import os
import re
import sys
import tempfile
import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Generic, Literal, TypeVar

from kestrune_tools.inputs import CHANGED_WHILE_READ, changed_since, failure_reason, file_stamp, input_problem, \
    is_panic
from kestrune_tools.outputs import NothingToWrite

Value = TypeVar("Value")
Kind = Literal["done", "skipped", "nothing to write", "failed"]

SKIPPED = "skipped"
NOTHING_TO_WRITE = "nothing to write"
FAILED = "failed"


@dataclass(frozen=True)
class Outcome(Generic[Value]):
    """What became of one input: done (`status` is then the command's own word for it,
    such as "converted" or "catalogued"), skipped (its outputs were complete), nothing
    to write (the run holds nothing the chosen output takes; no file was made) or
    failed (with the reason). `value` is what a done task answers (a catalog's rows, a
    report's summary); `left_out` counts the MSn scans an export left out for want of
    a precursor m/z."""

    source: str
    status: str
    reason: str | None = None
    value: Value | None = None
    left_out: int = 0

    @classmethod
    def done(cls, source: str, word: str, value: Value | None = None, left_out: int = 0) -> Outcome[Value]:
        return cls(source, word, value=value, left_out=left_out)

    @classmethod
    def skipped(cls, source: str) -> Outcome[Value]:
        return cls(source, SKIPPED)

    @classmethod
    def nothing_to_write(cls, source: str, reason: str) -> Outcome[Value]:
        return cls(source, NOTHING_TO_WRITE, reason)

    @classmethod
    def failed(cls, source: str, reason: str) -> Outcome[Value]:
        return cls(source, FAILED, reason)

    @property
    def kind(self) -> Kind:
        if self.status == SKIPPED:
            return "skipped"
        if self.status == NOTHING_TO_WRITE:
            return "nothing to write"
        if self.status == FAILED:
            return "failed"
        return "done"


def guarded(source: str, work: Callable[[], Outcome[Value]], *, watch_input: bool = True) -> Outcome[Value]:
    """Runs `work` for `source`; a bad input or a failing task becomes a failed
    Outcome, an output with nothing to write a nothing-to-write one. Interrupts and
    exits still propagate. With `watch_input`, an input that changed while `work`
    read it fails (a task that renames outputs into place checks that itself, before
    the rename, and passes False).

    What the reader writes on the process's standard error meanwhile (its own line
    on an internal failure) is captured and folded into the failed outcome's reason,
    so that it is never a second line that names no file."""
    problem = input_problem(source)
    if problem is not None:
        return Outcome.failed(source, problem)
    before = _stamp_or_none(source)
    with _captured_stderr() as captured:
        try:
            outcome = work()
        except (KeyboardInterrupt, SystemExit):
            raise
        except NothingToWrite as nothing:
            outcome = Outcome.nothing_to_write(source, str(nothing))
        except BaseException as error:  # the reader's PanicException is a BaseException
            if not (isinstance(error, Exception) or is_panic(error)):
                raise
            outcome = Outcome.failed(source, failure_reason(error, source))
    if watch_input and outcome.kind != "skipped" and changed_since(source, before):
        outcome = Outcome.failed(source, CHANGED_WHILE_READ)
    if outcome.kind == "failed":
        return dataclasses.replace(outcome, reason=with_diagnostics(outcome.reason or FAILED, captured()))
    _write_through(captured())
    return outcome


def _stamp_or_none(source: str) -> tuple[int, int, int, int] | None:
    try:
        return file_stamp(source)
    except OSError:  # gone since it was found readable: the reading fails on its own
        return None


@contextlib.contextmanager
def _captured_stderr() -> Iterator[Callable[[], str]]:
    """Points file descriptor 2 at a temporary file for the block; yields what answers
    the text written there (once the block has ended). Only in the main thread: the
    descriptor is the whole process's, and the tasks of a threaded worker (a Dask
    worker's) would capture each other's, so there the reader's line stays in the
    worker's own log."""
    text = ""
    with contextlib.suppress(OSError, ValueError, AttributeError):  # closed, or no stream at all
        sys.stderr.flush()
    try:
        if threading.current_thread() is not threading.main_thread():
            raise OSError(errno.EBUSY, "not the main thread")
        saved = os.dup(2)
    except OSError:  # nothing to capture: another thread's task, or no descriptor 2 at all
        yield lambda: text
        return
    try:
        with tempfile.TemporaryFile() as capture:
            os.dup2(capture.fileno(), 2)
            try:
                yield lambda: text
            finally:
                os.dup2(saved, 2)
                capture.seek(0)
                text = capture.read().decode("utf-8", "replace")
    finally:
        os.close(saved)


def _write_through(text: str) -> None:
    """Text captured under a task that went well goes on to standard error as it was."""
    if text:
        with contextlib.suppress(OSError):
            os.write(2, text.encode())


_DIAGNOSTIC_PREFIX = "kestrune: "
_INTERNAL_FAILURE = re.compile(r"internal failure at (\S+): (.*)")


def with_diagnostics(reason: str, captured: str) -> str:
    """`reason` with the reader's captured diagnostic lines folded in: where a line
    repeats the reason's words only its place in the reader is added."""
    for line in filter(None, (line.strip() for line in captured.splitlines())):
        line = line.removeprefix(_DIAGNOSTIC_PREFIX)
        failure = _INTERNAL_FAILURE.fullmatch(line)
        if failure is not None and failure.group(2).strip() in reason:
            reason += f" (internal failure at {failure.group(1).rstrip(':')})"
        else:
            reason += f" ({line})"
    return reason
