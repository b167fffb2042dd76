"""Helpers shared by the subcommands of `kestrune`.

A subcommand uses these so that every command finds its inputs, reports bad files,
writes its outputs and ends in the same way:

- `add_input_arguments(parser)` and `find_inputs(args.inputs)`: FILE_OR_DIR...
  arguments, folders searched recursively for .raw files (any case); empty folders
  are reported as failures (`refuse_nothing_to_do(discovery)` alone, for a command
  that reports empty folders its own way).
- `refuse_stem_collisions(inputs)`: two inputs whose outputs would share a name stop
  the command (exit status 2) before anything is written.
- `refuse_writing_inputs(outputs, inputs)`: an output path that is an input, an
  existing .raw file or the same file as one stops the command (exit status 2).
- `with writing_into(folder):` makes the output folder, checks that it takes files
  and holds its lock for the batch (exit status 2, naming the folder, otherwise).
- `add_batch_options(parser)` and `args.jobs`, `args.scheduler`, `args.no_progress`.
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
- `kestrune_tools.outputs.atomic_output(final)`: write to a temporary name in the
  output folder, renamed into place when complete.
"""

from __future__ import annotations

import argparse
import contextlib
import enum
import errno
import importlib
import os
import sys
import time
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path
from types import TracebackType
from typing import Any, TextIO

from kestrune_tools.batch import CONNECT_SECONDS, Discovery, Outcome, discover_inputs, is_raw_name, stem_collisions
from kestrune_tools.outputs import FolderBusy, sole_writer
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


def add_input_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "inputs", nargs="+", metavar="FILE_OR_DIR",
        help="a .raw file, or a folder searched recursively for .raw files (any case), "
             "through links to folders; a folder that cannot be listed is a failed input")


BATCH_ENDINGS = """\
Ctrl-C (SIGINT), SIGTERM and SIGHUP end a batch alike: no further file starts,
the files in progress are stopped, the summary counts what was written, and the
exit status is 130, 143 or 129. The worker processes end with the command, even
when it is killed. A closed standard error (| head, quitting less) stops
nothing: the batch goes on and the exit status tells."""


def add_batch_options(parser: argparse.ArgumentParser) -> None:
    """-j, --scheduler and --no-progress, for commands that run one task per file."""
    cores = usable_cores()
    batch = parser.add_argument_group("batch options", BATCH_ENDINGS)
    batch.add_argument(
        "-j", "--jobs", type=positive_int, default=cores, metavar="N",
        help=f"work on N files at once in local processes (default: the machine's cores, "
             f"{cores} here); 1 works in this process")
    batch.add_argument(
        "--scheduler", metavar="ADDRESS",
        help="send the per-file tasks to the Dask distributed scheduler at ADDRESS "
             "(tcp://HOST:PORT or tls://HOST:PORT, the port 8786 where none is given, such as "
             "tcp://10.0.0.5:8786) instead of local "
             f"processes; -j is then ignored. An address where no scheduler answers within "
             f"{CONNECT_SECONDS} s is a usage error (exit status 2). "
             "The workers must see the inputs and the output folder under the same paths. "
             "Needs the extra: pip install 'kestrune[dask]'")
    batch.add_argument(
        "--no-progress", action="store_true",
        help="no progress bar (there is none anyway when standard error is not a terminal)")


def find_inputs(arguments: list[str], stream: TextIO | None = None) -> tuple[list[Path], int]:
    """The inputs found, and the number of folders that were empty or could not be
    listed (each reported as a failure)."""
    discovery = discover_inputs(arguments)
    for folder, reason in discovery_failures(discovery):
        report_error(folder, reason, stream)
    refuse_nothing_to_do(discovery)
    return discovery.inputs, len(discovery_failures(discovery))


def discovery_failures(discovery: Discovery) -> list[tuple[Path, str]]:
    """The folders that gave no input, each with the reason."""
    return [*((folder, "no .raw files in this folder") for folder in discovery.empty_folders),
            *discovery.unreadable_folders]


def refuse_nothing_to_do(discovery: Discovery) -> None:
    """A usage error where the arguments name no input file at all (a folder that
    cannot be listed is a failed input instead)."""
    if not discovery.inputs and not discovery.unreadable_folders:
        raise UsageError("no input files found" if not discovery.empty_folders else "nothing to do")


def refuse_writing_inputs(outputs: Iterable[Path], inputs: Sequence[Path]) -> None:
    """A usage error where an output path is one of the inputs, an existing .raw
    file, or leads to one (through links, or as a hard link: the same device and
    inode): inputs are never written."""
    real_inputs = {os.path.realpath(path) for path in inputs}
    identities: dict[tuple[int, int], Path] = {}
    for path in inputs:
        with contextlib.suppress(OSError):
            status = os.stat(path)
            identities[(status.st_dev, status.st_ino)] = path
    for output in outputs:
        problem = _input_at(output, real_inputs, identities)
        if problem is not None:
            raise UsageError(f"{output}: {problem}; inputs are never written (check the order of -o and "
                             f"the inputs)")


def _input_at(output: Path, real_inputs: set[str], identities: dict[tuple[int, int], Path]) -> str | None:
    real = os.path.realpath(output)
    if real in real_inputs:
        return "is one of the inputs"
    try:
        status = os.stat(output)
    except OSError:
        return None  # nothing there to lose
    if (status.st_dev, status.st_ino) in identities:
        return f"is the same file as the input {identities[(status.st_dev, status.st_ino)]}"
    if not os.path.isdir(output) and (is_raw_name(output) or is_raw_name(Path(real))):
        return "is an existing .raw file"
    return None


def _folder_problem(error: OSError) -> str:
    if error.errno == errno.ENOTDIR:
        return "a part of this path is a file, not a folder"
    return (error.strerror or str(error)).lower()


@contextlib.contextmanager
def writing_into(folder: Path) -> Iterator[None]:
    """Makes the output folder if missing and holds its lock (`.kestrune.lock` in it)
    while the block runs: a usage error naming the folder where it is a file, cannot
    be made or takes no new file, or another command holds it."""
    if folder.exists() and not folder.is_dir():
        raise UsageError(f"{folder}: the output folder is not a folder")
    lock = contextlib.ExitStack()
    made = not folder.exists()
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise UsageError(f"{folder}: cannot make the output folder: {_folder_problem(error)}") from None
    try:
        lock.enter_context(sole_writer(folder))
    except FolderBusy as busy:
        raise UsageError(f"{folder}: {busy}") from None
    except OSError as error:
        raise UsageError(f"{folder}: cannot write into the output folder: {_folder_problem(error)}") from None
    try:
        with lock:
            yield
    except UsageError:
        # Found before any work (such as an unreachable scheduler): nothing is left,
        # not even the folder made for it.
        if made:
            with contextlib.suppress(OSError):
                folder.rmdir()
        raise


def refuse_stem_collisions(inputs: list[Path]) -> None:
    collisions = stem_collisions(inputs)
    if collisions:
        groups = "; ".join(" and ".join(map(str, group)) for group in collisions)
        raise UsageError(f"inputs share a file name stem, so their outputs would overwrite each "
                         f"other (rename one or convert them separately): {groups}")


class Progress:
    """Counts outcomes, draws the bar, reports failures and ends with a summary line.

        with Progress(len(inputs), command="convert", enabled=not args.no_progress) as progress:
            for outcome in outcomes:
                progress.record(outcome)
        return progress.status

    `one_output`: the command writes one output for all its files (the catalog),
    which an interrupt leaves unwritten, so that the summary then counts no file done.
    """

    def __init__(self, total: int, *, command: str, enabled: bool = True, failed: int = 0,
                 done_word: str = "converted", stream: TextIO | None = None,
                 one_output: bool = False) -> None:
        self.stream = stream or sys.stderr
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
        return tqdm(total=total, unit="file", file=self.stream, dynamic_ncols=True, leave=False)

    def record(self, outcome: Outcome) -> None:
        self.counts[outcome.status] += 1
        self.left_out += outcome.left_out
        if outcome.status == "failed":
            self.error(outcome.source, outcome.reason or "failed")
        if self.bar is not None:
            bar = self.bar
            self._drawing(lambda: bar.set_postfix(done=self.counts["converted"] + self.counts["skipped"],
                                                  failed=self.counts["failed"], refresh=False))
            self._drawing(lambda: bar.update(1))

    def error(self, path: str | os.PathLike[str], reason: str) -> None:
        if self.bar is not None:
            bar = self.bar
            self._drawing(lambda: bar.write(error_line(path, reason), file=self.stream))
        else:
            report_error(path, reason, self.stream)

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
        words = {"converted": self.done_word, "skipped": "skipped", "failed": "failed"}
        counts = ", ".join(f"{self.counts[status]} {word}" for status, word in words.items())
        left_out = f"; {self.left_out} MSn scans without a precursor m/z left out" if self.left_out else ""
        return f"{PROGRAM} {self.command}: {counts} in {elapsed:.1f} s ({rate:.1f} files/s){left_out}"

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if self.bar is not None:
            bar = self.bar
            self._drawing(bar.close)
        if self.one_output and isinstance(error, KeyboardInterrupt):
            self.counts["converted"] = 0  # gathered, but never written
        write_line(self.summary(), self.stream)
