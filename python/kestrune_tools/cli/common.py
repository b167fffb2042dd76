"""Helpers shared by the subcommands of `kestrune` (a batch command's whole shape is
`kestrune_tools.cli.batch_command.run_batch`):

- `Progress(total, enabled=...)`: the progress bar on standard error (only when it is
  a terminal), error lines written above it, the summary line, and the exit status.
- `error_line(path, reason)` / `report_error(path, reason)`: the one line that names
  a bad file and why, with control and escape characters shown escaped (`\\x1b`,
  `kestrune_tools.text.escaped`), as everything a file or its name says is on a
  terminal.
- `write_line(line, stream)`: every line a command writes; a stream closed at its
  other end (`| head -1`, quitting `less`, a terminal hung up) is written no more,
  and the work goes on.
- `UsageError(message)`: raise it for a usage error; `main` prints it and exits 2.
- `ExitStatus`: 0 all went well, 1 some file failed, 2 usage error.
- `positive_int`, `usable_cores()`: for options such as -j.
"""

from __future__ import annotations

import argparse
import enum
import importlib
import os
import sys
import time
from collections import Counter
from collections.abc import Callable
from types import TracebackType
from typing import Any, TextIO

from kestrune_tools.batch.outcome import Outcome
from kestrune_tools.text import escaped

PROGRAM = "kestrune"


class ExitStatus(enum.IntEnum):
    OK = 0
    FAILED = 1  # some input failed; every other one was still done
    USAGE = 2  # bad arguments: nothing was done


class UsageError(Exception):
    """A usage error found after argument parsing; `main` exits with status 2."""


def error_line(path: str | os.PathLike[str], reason: str) -> str:
    """The one line naming a bad file and why, its control characters escaped."""
    return f"{PROGRAM}: {escaped(os.fspath(path))}: {escaped(reason)}"


def report_error(path: str | os.PathLike[str], reason: str, stream: TextIO | None = None) -> None:
    write_line(error_line(path, reason), stream or sys.stderr)


# The streams found closed at their other end (a pipe's reader gone, a terminal hung
# up, or the stream object closed), by id: nothing more is written to them. Each is
# held here, so that its id is never another stream's.
_closed_streams: dict[int, TextIO] = {}


def write_line(line: str, stream: TextIO) -> bool:
    """Writes `line` and flushes; answers False where `stream` is closed. A closed
    stream never stops the work: it is written no more, and where it is one of the
    process's own (standard output or error) its descriptor is pointed at the null
    device, so that nothing written later, nor the flush at exit, can fail on it."""
    if id(stream) in _closed_streams:
        return False
    try:
        stream.write(line + "\n")
        stream.flush()
        return True
    except (OSError, ValueError):  # EPIPE, EIO of a hung-up terminal; a closed file object
        stream_closed(stream)
        return False


def stream_closed(stream: TextIO) -> None:
    """Marks `stream` closed and points its descriptor at the null device."""
    _closed_streams[id(stream)] = stream
    try:
        descriptor = stream.fileno()
    except (OSError, ValueError):  # no descriptor of its own (a closed or in-memory stream)
        return
    if descriptor in (1, 2):
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, descriptor)
        os.close(null)


def positive_int(text: str) -> int:
    """An argparse type: an integer of at least 1."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{value} is below 1")
    return value


def usable_cores() -> int:
    """The cores this process may run on (a container's or a job's share, not the
    machine's total, where the system says)."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


class Progress:
    """Counts outcomes, draws the bar, reports failures and ends with a summary line.

        with Progress(len(inputs), command="convert", enabled=not args.no_progress) as progress:
            for outcome in outcomes:
                progress.record(outcome)
        return progress.status

    `done_word` says what was done to an input. An input with nothing to write gets a
    line of its own too, and is counted apart (it fails nothing). `one_output`: the
    command writes one output for all its files (the catalog), which an interrupt
    leaves unwritten, so that the summary then counts no file done. `note` answers a
    line of its own to write for an outcome, or None (a run read with the generic File
    profile, say).
    """

    def __init__(self, total: int, *, command: str, enabled: bool = True, failed: int = 0,
                 done_word: str = "converted", stream: TextIO | None = None,
                 one_output: bool = False, note: Callable[[Outcome[Any]], str | None] | None = None) -> None:
        self.stream = stream or sys.stderr
        self.note = note
        self.total, self.command, self.done_word = total, command, done_word
        self.one_output = one_output
        self.counts: Counter[str] = Counter(failed=failed)
        self.left_out = 0  # MSn scans the outputs left out for want of a precursor m/z
        self.started = time.perf_counter()
        self.bar: Any = self._bar(total) if enabled and self.stream.isatty() else None

    def _bar(self, total: int) -> Any:
        try:
            tqdm: Any = importlib.import_module("tqdm").tqdm
        except ImportError:
            return None
        # Said from the start: the first files take a while (the workers start, each
        # reads a whole run) before the count moves.
        return tqdm(total=total, unit="file", file=self.stream, dynamic_ncols=True, leave=False,
                    desc=f"{self.command}: reading {total} file{'s' if total != 1 else ''}")

    def record(self, outcome: Outcome[Any]) -> None:
        self.counts[outcome.kind] += 1
        self.left_out += outcome.left_out
        line = self.note(outcome) if self.note is not None else None
        if line is not None:
            self.line(line)
        if outcome.kind in ("failed", "nothing to write"):
            self.error(outcome.source, outcome.reason or outcome.kind)
        if self.bar is not None:
            bar = self.bar
            self._drawing(lambda: bar.set_postfix(done=self.counts["done"] + self.counts["skipped"],
                                                  failed=self.counts["failed"], last=os.path.basename(outcome.source),
                                                  refresh=False))
            self._drawing(lambda: bar.update(1))

    def error(self, path: str | os.PathLike[str], reason: str) -> None:
        self.line(error_line(path, reason))

    def line(self, text: str) -> None:
        """A line of its own on the stream, above the bar where there is one."""
        if self.bar is not None:
            bar = self.bar
            self._drawing(lambda: bar.write(text, file=self.stream))
        else:
            write_line(text, self.stream)

    def _drawing(self, draw: Callable[[], object]) -> None:
        """Draws on the bar; a terminal that is gone ends the bar, not the batch."""
        try:
            draw()
        except (OSError, ValueError):
            self.bar = None
            stream_closed(self.stream)

    @property
    def status(self) -> ExitStatus:
        return ExitStatus.FAILED if self.counts["failed"] else ExitStatus.OK

    def summary(self) -> str:
        elapsed = time.perf_counter() - self.started
        handled = sum(self.counts.values())
        rate = handled / elapsed if elapsed > 0 else 0.0
        words = {"done": self.done_word, "skipped": "skipped", "failed": "failed"}
        counts = ", ".join(f"{self.counts[kind]} {word}" for kind, word in words.items())
        nothing = self.counts["nothing to write"]
        apart = [f"{nothing} with nothing to write"] if nothing else []
        apart += [f"{self.left_out} MSn scans without a precursor m/z left out"] if self.left_out else []
        # A rate says something of a batch, nothing of one file.
        per_second = f" ({rate:.1f} files/s)" if handled > 1 else ""
        return f"{PROGRAM} {self.command}: {counts} in {elapsed:.1f} s{per_second}" + \
            "".join(f"; {words}" for words in apart)

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if self.bar is not None:
            bar = self.bar
            self._drawing(bar.close)
        if self.one_output and isinstance(error, KeyboardInterrupt):
            self.counts["done"] = 0  # gathered, but never written
        write_line(self.summary(), self.stream)
