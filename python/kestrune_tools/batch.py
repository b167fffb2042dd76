"""Batches of runs: finding the inputs, one task per file, and running the tasks
serially, in a local process pool or on a Dask distributed cluster.

A task never raises for a bad input: it answers an `Outcome` whose `reason` says in a
few words what was wrong with the file, so one bad file never stops the others.
Tasks are plain picklable values and module-level functions, so a process pool and a
cluster run exactly the same code.
"""

from __future__ import annotations

import collections
import contextlib
import ctypes
import dataclasses
import errno
import importlib
import importlib.util
import multiprocessing
import os
import re
import signal
import socket
import stat
import struct
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Generator, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, TypeVar

from kestrune_tools._platform import wait_for_process
from kestrune_tools.mgf import NothingToWrite
from kestrune_tools.outputs import atomic_outputs, is_made_from, output_error, record_source, source_identity

if TYPE_CHECKING:
    from kestrune_tools.runs import Run

RAW_SUFFIX = ".raw"  # compared without regard to case

# -- finding the inputs


@dataclass(frozen=True)
class Discovery:
    """The inputs found for the command line's arguments, in a stable order, and the
    folders that held none or could not be listed (each with the reason)."""

    inputs: list[Path]
    empty_folders: list[Path] = field(default_factory=list)
    unreadable_folders: list[tuple[Path, str]] = field(default_factory=list)


def is_raw_name(path: Path) -> bool:
    return path.suffix.lower() == RAW_SUFFIX


def _listing_problem(error: OSError) -> str:
    words = "permission denied" if isinstance(error, PermissionError) else (error.strerror or str(error)).lower()
    return f"cannot list this folder: {words}"


def _is_folder(entry: os.DirEntry[str]) -> bool:
    try:
        return entry.is_dir()  # through a link too
    except OSError:
        return False  # it fails later as an input, or is no .raw file anyway


def _raw_files_under(folder: Path, unreadable: list[tuple[Path, str]]) -> list[Path]:
    """Every entry named *.raw (any case) under `folder`, searched recursively and
    through links to folders, each real folder once (a link loop ends there). A folder
    named *.raw is an input too (it will fail as a directory), not searched. A folder
    that cannot be listed goes to `unreadable`, with the reason."""
    found: list[Path] = []
    searched: set[tuple[int, int]] = set()
    pending = [folder]
    while pending:
        here = pending.pop()
        try:
            status = here.stat()
            if (status.st_dev, status.st_ino) in searched:
                continue
            searched.add((status.st_dev, status.st_ino))
            with os.scandir(here) as listing:
                entries = list(listing)
        except OSError as error:
            unreadable.append((here, _listing_problem(error)))
            continue
        for entry in entries:
            path = here / entry.name
            if is_raw_name(path):
                found.append(path)
            elif _is_folder(entry):
                pending.append(path)
    return sorted(found)


def discover_inputs(arguments: Iterable[str | os.PathLike[str]]) -> Discovery:
    """Files are taken as given (whatever their name, even missing ones: they fail
    later with a reason); folders are searched recursively for .raw files. The same
    file reached twice is kept once."""
    inputs: list[Path] = []
    empty: list[Path] = []
    unreadable: list[tuple[Path, str]] = []
    seen: set[str] = set()
    for argument in arguments:
        path = Path(argument)
        problems = len(unreadable)
        found = _raw_files_under(path, unreadable) if path.is_dir() else [path]
        if not found and len(unreadable) == problems:
            empty.append(path)
        for candidate in found:
            key = os.path.realpath(candidate)
            if key not in seen:
                seen.add(key)
                inputs.append(candidate)
    return Discovery(inputs, empty, sorted(unreadable))


def stem_collisions(inputs: Sequence[Path]) -> list[list[Path]]:
    """Groups of inputs whose outputs would have the same names. Stems are compared
    without regard to case, as a case-insensitive file system would."""
    groups: dict[str, list[Path]] = {}
    for path in inputs:
        groups.setdefault(path.stem.casefold(), []).append(path)
    return [group for group in groups.values() if len(group) > 1]


# -- why an input cannot be read


def input_problem(path: str | os.PathLike[str]) -> str | None:
    """What makes `path` no input at all (missing, a directory, not a regular file,
    unreadable), or None where the reader may open it."""
    try:
        status = os.stat(path)
    except FileNotFoundError:
        return "no such file"
    except PermissionError:
        return "permission denied"
    except OSError as error:
        return error.strerror or str(error)
    if stat.S_ISDIR(status.st_mode):
        return "is a directory, not a .raw file"
    if not stat.S_ISREG(status.st_mode):
        return "not a regular file"
    if not os.access(path, os.R_OK):
        return "permission denied"
    return None


def is_panic(error: BaseException) -> bool:
    """The reader's internal-failure exception, which derives from BaseException."""
    kind = type(error)
    return (kind.__module__, kind.__name__) == ("kestrune_runtime", "PanicException")


def failure_reason(error: BaseException, path: str | os.PathLike[str]) -> str:
    """A few words on why opening or exporting `path` failed."""
    if isinstance(error, OSError) and str(error) == "failed to fill whole buffer":
        size = os.stat(path).st_size
        return f"too short to hold a file header ({size} bytes)"
    if isinstance(error, PermissionError) or getattr(error, "errno", None) == errno.EACCES:
        return "permission denied"
    if is_panic(error):
        return f"cannot be read: {str(error).strip()}"
    if isinstance(error, NothingToWrite):
        return str(error)
    text = str(error).strip() or type(error).__name__
    return text if isinstance(error, OSError) else f"{type(error).__name__}: {text}"


# -- one task per file


@dataclass(frozen=True)
class Outcome:
    """What became of one input: converted, skipped (its outputs were complete), or
    failed (with the reason). `rows` holds a catalog task's rows; `left_out` counts the
    MSn scans an export left out for want of a precursor m/z."""

    source: str
    status: Literal["converted", "skipped", "failed"]
    reason: str | None = None
    rows: Any = None
    left_out: int = 0


def guarded(source: str, work: Callable[[], Outcome]) -> Outcome:
    """Runs `work` for `source`; a bad input or a failing export becomes a failed
    Outcome. Interrupts and exits still propagate.

    What the reader writes on the process's standard error meanwhile (its own line
    on an internal failure) is captured and folded into the failed outcome's reason,
    so that it is never a second line that names no file."""
    problem = input_problem(source)
    if problem is not None:
        return Outcome(source, "failed", problem)
    with _captured_stderr() as captured:
        try:
            outcome = work()
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:  # the reader's PanicException is a BaseException
            if not (isinstance(error, Exception) or is_panic(error)):
                raise
            outcome = Outcome(source, "failed", failure_reason(error, source))
    if outcome.status == "failed":
        return dataclasses.replace(outcome, reason=with_diagnostics(outcome.reason or "failed", captured()))
    _write_through(captured())
    return outcome


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


@dataclass(frozen=True)
class ExportOptions:
    """Options of the exports; the mzML ones name what the file does not hold."""

    ms_level: int | None = None
    polarity: Literal["positive", "negative"] | None = None
    spectrum_type: Literal["centroid", "profile"] = "centroid"
    zlib: bool = False
    require_precursor: bool = False  # mzML: leave out MSn scans without a precursor m/z (MGF always does)


# A format's writer writes each of its files given a destination (by suffix; a file
# already made from this input gets none) and answers the number of MSn scans it left
# out for want of a precursor m/z.
FormatWriter = Callable[["Run", Mapping[str, Path], ExportOptions], int | None]


def _write_mgf(run: Run, destinations: Mapping[str, Path], options: ExportOptions) -> int:
    from kestrune_tools.mgf import write_mgf

    return write_mgf(run, destinations[".mgf"], options.ms_level)


def _write_parquet(run: Run, destinations: Mapping[str, Path], options: ExportOptions) -> None:
    from kestrune_tools.parquet import write_parquet

    write_parquet(run, destinations.get(".scans.parquet"), destinations.get(".peaks.parquet"), options.ms_level)


MZML_MODULE = "kestrune_tools.mzml"


def _write_mzml(run: Run, destinations: Mapping[str, Path], options: ExportOptions) -> int:
    mzml: Any = importlib.import_module(MZML_MODULE)
    settings = mzml.MzmlOptions(polarity=options.polarity, spectrum_type=options.spectrum_type,
                                compression=options.zlib)
    left_out: int = mzml.write_mzml(run, destinations[".mzML"], settings, ms_level=options.ms_level,
                                    require_precursor=options.require_precursor)
    return left_out


def mzml_available() -> bool:
    return importlib.util.find_spec(MZML_MODULE) is not None


# Each format: the suffix of each output file and the writer of its files.
FORMATS: dict[str, tuple[tuple[str, ...], FormatWriter]] = {
    "mzml": ((".mzML",), _write_mzml),
    "mgf": ((".mgf",), _write_mgf),
    "parquet": ((".scans.parquet", ".peaks.parquet"), _write_parquet),
}


def output_paths(source: Path, outdir: Path, format_name: str) -> list[Path]:
    return [outdir / (source.stem + suffix) for suffix in FORMATS[format_name][0]]


@dataclass(frozen=True)
class ConvertJob:
    source: str
    outdir: str
    format_name: str
    options: ExportOptions = ExportOptions()
    overwrite: bool = False

    def shaping_options(self) -> dict[str, Any]:
        """Everything that shapes the outputs: the format and every export option."""
        return {"format": self.format_name, **asdict(self.options)}


CHANGED_WHILE_READ = "changed while it was read"


class InputChanged(Exception):
    """The input's identity after reading it is not the one before."""


def _changed_since(source: Path, identity: dict[str, Any]) -> bool:
    try:
        return source_identity(source) != identity
    except OSError:  # removed, or no longer readable
        return True


def convert_file(job: ConvertJob) -> Outcome:
    """Writes the job's outputs that were not made from this very input with these
    options yet (all of them with `overwrite`), each under a temporary name first,
    and renames them into place only if the input did not change meanwhile."""
    source = Path(job.source)
    finals = output_paths(source, Path(job.outdir), job.format_name)
    suffixes, writer = FORMATS[job.format_name]

    def convert() -> Outcome:
        made_from = {"input": source_identity(source), "options": job.shaping_options()}
        parts = {suffix: final for suffix, final in zip(suffixes, finals)
                 if job.overwrite or not is_made_from(final, made_from)}
        if not parts:
            return Outcome(job.source, "skipped")
        return _write_parts(job, writer, parts, made_from)

    return guarded(job.source, convert)


def _write_parts(job: ConvertJob, writer: FormatWriter, parts: dict[str, Path],
                 made_from: dict[str, Any]) -> Outcome:
    import kestrune_tools as kt

    source = Path(job.source)
    finals = list(parts.values())
    pairs: list[tuple[Path, Path]] = []
    current = finals[0]  # the output an error names where it names no file of its own
    try:
        with atomic_outputs(finals) as temporaries:
            pairs = list(zip(finals, temporaries))
            with kt.open_run(source) as run:
                # MSn scans without a precursor m/z that the outputs leave out
                left_out = writer(run, dict(zip(parts, temporaries)), job.options) or 0
            if _changed_since(source, made_from["input"]):
                raise InputChanged(CHANGED_WHILE_READ)  # so the outputs are never renamed in
            for final, temporary in pairs:
                record_source(final, temporary, made_from)
    except InputChanged:
        return Outcome(job.source, "failed", CHANGED_WHILE_READ)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # the reader's PanicException is a BaseException
        if _changed_since(source, made_from["input"]):
            return Outcome(job.source, "failed", CHANGED_WHILE_READ)
        reason = output_error(error, pairs, current)
        if reason is None:
            raise
        return Outcome(job.source, "failed", reason)
    return Outcome(job.source, "converted", left_out=left_out)


def _stat_of(source: str) -> tuple[int, int, int, int]:
    status = os.stat(source)
    return status.st_size, status.st_mtime_ns, status.st_dev, status.st_ino


def catalog_file(source: str) -> Outcome:
    """The catalog rows of one input, in `Outcome.rows`; none of an input that
    changed while it was read (its size, mtime or inode)."""
    from kestrune_tools.catalog import catalog_rows

    def catalog() -> Outcome:
        before = _stat_of(source)
        rows = catalog_rows(source)
        try:
            changed = _stat_of(source) != before
        except OSError:
            changed = True
        if changed:
            return Outcome(source, "failed", CHANGED_WHILE_READ)
        return Outcome(source, "converted", rows=rows)

    return guarded(source, catalog)


# -- running the tasks

Item = TypeVar("Item")


class SchedulerError(Exception):
    """The Dask cluster cannot be used (extra missing, scheduler unreachable)."""


class Interrupted(KeyboardInterrupt):
    """A batch ended by a signal (SIGINT, SIGTERM, SIGHUP), raised by `stop`;
    `signal_number` names the signal."""

    def __init__(self, signal_number: int) -> None:
        super().__init__(signal_number)
        self.signal_number = signal_number


# The signal that asked this process to stop, once one has. An exception raised by
# a signal handler can be swallowed on its way out (a C library's write callback
# makes an error of its own of it), so the runners of the tasks look here too.
_stop_signal: int | None = None


def stop(signal_number: int, frame: object = None) -> None:
    """A signal handler: this process's batch ends with `Interrupted`."""
    global _stop_signal
    _stop_signal = signal_number
    raise Interrupted(signal_number)


def clear_stop() -> None:
    global _stop_signal
    _stop_signal = None


def run_tasks(task: Callable[[Item], Outcome], items: Sequence[Item], *, workers: int = 1,
              scheduler: str | None = None) -> Iterator[tuple[int, Outcome]]:
    """Runs `task` on every item; yields (index of the item, outcome) as each ends.

    On a Dask cluster with `scheduler`, otherwise in a pool of `workers` local
    processes, or here in this process for one worker. A task lost with its worker
    process is a failed outcome naming the reason.

    An interrupt (KeyboardInterrupt, or `Interrupted` for SIGTERM and SIGHUP) while
    the tasks run starts no further task and stops the ones in progress; the
    outcomes of tasks that still ended are yielded before the interrupt goes on to
    the caller, so that whoever counts them counts what was really written. Local
    worker processes end with the process that started them, even when it is
    killed.
    """
    sources = [_source_of(item) for item in items]
    if scheduler is not None:
        return _on_cluster(_connect(scheduler), task, items, sources)
    if workers <= 1 or len(items) <= 1:
        return _serially(task, items)
    return _in_pool(task, items, sources, min(workers, len(items)))


def _source_of(item: object) -> str:
    return item.source if isinstance(item, ConvertJob) else str(item)


def _lost(source: str, error: BaseException) -> Outcome:
    return Outcome(source, "failed", f"its task failed: {type(error).__name__}: {error}".rstrip(": "))


def _in_pool(task: Callable[[Item], Outcome], items: Sequence[Item], sources: list[str],
             workers: int) -> Iterator[tuple[int, Outcome]]:
    """A worker that dies (a crash under one file) breaks the pool for every task in
    flight. Those tasks are then run again, each alone in a pool of its own, so that
    only the file that kills its worker fails; the rest go on in a fresh pool."""
    waiting = collections.deque(range(len(items)))
    while waiting:
        suspects = yield from _pool_round(task, items, sources, waiting, workers)
        for index in suspects:
            if (yield from _pool_round(task, items, sources, collections.deque([index]), 1)):
                yield index, Outcome(sources[index], "failed", "its worker process died while working on it")


# What a worker needs, imported once by the fork server rather than by every worker.
# A module that cannot be imported (an extra not installed) is passed over. The first
# makes the fork server itself end with the batch's process.
_WORKER_PRELOAD = ["kestrune_tools._with_parent", "kestrune", "numpy", "pyarrow.parquet",
                   "kestrune_tools.batch", "kestrune_tools.runs", "kestrune_tools.parquet",
                   "kestrune_tools.mgf", "kestrune_tools.catalog", "kestrune_tools.mzml"]

# How long the tasks in progress have to stop after an interrupt before their
# worker processes are killed.
STOP_GRACE_SECONDS = 5.0
PR_SET_PDEATHSIG = 1  # from <linux/prctl.h>
PARENT_POLL_SECONDS = 0.5


def end_with_parent(watch: bool = True) -> None:
    """Makes this process end when its parent process ends, however the parent ends
    (SIGKILL too): on Linux the kernel sends SIGKILL (PR_SET_PDEATHSIG); elsewhere,
    with `watch`, a thread ends the process: on Windows when the parent's handle says
    it ended, on other POSIX systems when the parent's pid changes."""
    parent = os.getppid()
    if sys.platform.startswith("linux"):
        with contextlib.suppress(OSError, AttributeError):
            if ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL) == 0:
                if os.getppid() != parent:  # the parent ended before the request took hold
                    os._exit(1)
                return
    if watch:
        threading.Thread(target=_watch_parent, args=(parent,), name="parent-watch", daemon=True).start()


def _watch_parent(parent: int) -> None:
    if sys.platform == "win32":  # a Windows child's parent pid never changes
        wait_for_process(parent)
    else:
        while os.getppid() == parent:
            time.sleep(PARENT_POLL_SECONDS)
    os._exit(1)


_task_running = False


# The signals that reach a worker with the batch's process (a console's Ctrl-C or
# Ctrl-Break, a closed terminal's SIGHUP), where the system has them.
_LEFT_TO_THE_BATCH = [name for name in ("SIGINT", "SIGHUP", "SIGBREAK") if hasattr(signal, name)]


def _worker_started() -> None:
    """The initializer of a pool's worker process. The batch's own process decides
    what an interrupt stops: Ctrl-C reaching the whole process group and a closed
    terminal's SIGHUP are left to it, and it stops a task in progress by SIGTERM."""
    end_with_parent()
    for name in _LEFT_TO_THE_BATCH:
        signal.signal(getattr(signal, name), signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _stop_task)


def _stop_task(signal_number: int, frame: object) -> None:
    global _stop_signal
    _stop_signal = signal_number
    if _task_running:
        stop(signal_number)
    # Between tasks nothing is half-done: end at once, as the pool's own shutdown of
    # a broken pool expects of the signal (an idle worker that stayed would be waited
    # for for ever).
    os._exit(128 + signal_number)


def _in_worker(task: Callable[[Item], Outcome], item: Item) -> Outcome:
    global _task_running
    if _stop_signal is not None:  # a task already queued for this worker when the batch ended
        raise Interrupted(_stop_signal)
    _task_running = True
    try:
        outcome = task(item)
    finally:
        _task_running = False
    if _stop_signal is not None and outcome.status == "failed":
        raise Interrupted(_stop_signal)
    return outcome


def _worker_context() -> multiprocessing.context.BaseContext:
    """Workers forked from a fork server: the server is a fresh interpreter with no
    threads (none of a progress bar's or a cluster client's is copied into a worker),
    it imports the converters once, and each worker then starts in milliseconds where
    a spawned one imports them all again. Spawn where there are no fork servers."""
    if "forkserver" not in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("spawn")
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(_WORKER_PRELOAD)
    return context


def _pool_round(task: Callable[[Item], Outcome], items: Sequence[Item], sources: list[str],
                waiting: collections.deque[int], workers: int
                ) -> Generator[tuple[int, Outcome], None, list[int]]:
    """Runs the waiting items (taking them off the queue) with at most workers + 1 in
    flight, so that the tasks a broken pool took down are known; answers those."""
    pool = ProcessPoolExecutor(max_workers=workers, mp_context=_worker_context(),
                               initializer=_worker_started)
    in_flight: dict[Future[Outcome], int] = {}
    started = time.time_ns()
    try:
        while waiting or in_flight:
            while waiting and len(in_flight) <= workers:
                index = waiting.popleft()
                in_flight[pool.submit(_in_worker, task, items[index])] = index
            done, _ = wait(in_flight, return_when=FIRST_COMPLETED)
            broken = []
            for future in done:
                index = in_flight.pop(future)
                try:
                    outcome = future.result()
                except BrokenProcessPool:
                    broken.append(index)
                    continue
                except Exception as error:  # such as an argument that cannot be pickled
                    outcome = _lost(sources[index], error)
                except Interrupted:  # its worker was stopped from outside the batch
                    outcome = Outcome(sources[index], "failed", "its task was interrupted")
                yield index, outcome
            if broken:
                return broken + list(in_flight.values())
            if _stop_signal is not None:
                raise Interrupted(_stop_signal)
        return []
    except KeyboardInterrupt:
        yield from _stop_round(pool, in_flight, items, sources, started)
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def _stop_round(pool: ProcessPoolExecutor, in_flight: dict[Future[Outcome], int], items: Sequence[Item],
                sources: list[str], started: int) -> Iterator[tuple[int, Outcome]]:
    """After an interrupt: the queued tasks never start, the running ones are asked
    to stop (their outputs are then not written) and killed after a grace period;
    yields the outcomes of those that ended all the same, or whose outputs were in
    place when the interrupt reached them."""
    for future in in_flight:
        future.cancel()
    processes = list(getattr(pool, "_processes", {}).values())  # the executor's own table
    for process in processes:
        with contextlib.suppress(OSError, ValueError, AttributeError):
            process.terminate()
    wait(in_flight, timeout=STOP_GRACE_SECONDS)
    for process in processes:
        if process.is_alive():
            process.kill()
    for future, index in in_flight.items():
        if future.cancelled():
            continue
        if future.done() and future.exception() is None:
            yield index, future.result()
        elif outputs_written_since(items[index], started):
            yield index, Outcome(sources[index], "converted")


def _serially(task: Callable[[Item], Outcome], items: Sequence[Item]) -> Iterator[tuple[int, Outcome]]:
    for index, item in enumerate(items):
        started = time.time_ns()
        try:
            outcome = task(item)
        except KeyboardInterrupt:
            if outputs_written_since(item, started):
                yield index, Outcome(_source_of(item), "converted")
            raise
        if _stop_signal is None or outcome.status != "failed":
            yield index, outcome
        if _stop_signal is not None:
            raise Interrupted(_stop_signal)


# The file system's clock may lag the process's by a tick.
_CLOCK_TICK_NS = 50_000_000


def outputs_written_since(item: object, started: int) -> bool:
    """Whether every output of an interrupted task is in place under its final name,
    written since `started` (time.time_ns()): the interrupt came after its last
    rename, so the file was converted all the same."""
    if isinstance(item, ConvertJob):
        outputs = output_paths(Path(item.source), Path(item.outdir), item.format_name)
    else:
        page = getattr(item, "page", None)  # a report task's one page
        outputs = [Path(page)] if isinstance(page, str) else []
    try:
        return bool(outputs) and all(os.stat(path).st_mtime_ns >= started - _CLOCK_TICK_NS for path in outputs)
    except OSError:
        return False


# -- a Dask cluster

CONNECT_SECONDS = 10  # the bound of a connection to a scheduler, stated in --help
DEFAULT_SCHEDULER_PORT = 8786
# [scheme://]host[:port], the host a name, an IPv4 address or a bracketed IPv6 one;
# tcp and Dask's port where none is given, as Dask has them.
_SCHEDULER_ADDRESS = re.compile(
    r"(?:(?P<scheme>tcp|tls)://)?(?P<host>\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9._-]+)(?::(?P<port>[0-9]{1,5}))?")
# A scheduler greets each connection with one message: its length (8 bytes), then
# the frame count (8 bytes) and the frame lengths. A plausible greeting is short.
_GREETING_LIMIT = 1 << 20


def _connect(scheduler: str) -> Any:
    try:
        distributed: Any = importlib.import_module("distributed")
    except ImportError:
        raise SchedulerError("--scheduler needs Dask distributed: pip install 'kestrune[dask]'") from None
    scheme, host, port = _scheduler_place(scheduler)
    # The address is tried by hand first, within the bound, because a client given
    # a server that is no scheduler can wait for ever or fail on its first bytes.
    deadline = time.monotonic() + CONNECT_SECONDS
    _within_deadline(lambda: _probe_scheduler(scheduler, scheme, host, port, deadline), deadline,
                     SchedulerError(f"cannot reach the Dask scheduler at {scheduler}: "
                                    f"no scheduler answered within {CONNECT_SECONDS} s"))
    remaining = max(1.0, deadline - time.monotonic())
    address = f"{scheme}://{host if ':' not in host else f'[{host}]'}:{port}"
    try:
        return distributed.Client(address, timeout=f"{remaining:.1f}s", set_as_default=False)
    except Exception as error:  # whatever a server that greets like a scheduler does next
        raise SchedulerError(f"cannot reach the Dask scheduler at {scheduler}: {error}") from None


def _scheduler_place(scheduler: str) -> tuple[str, str, int]:
    """The scheme, host and port of a scheduler address; SchedulerError for
    anything else (an empty text, an unknown scheme, a broken IPv6 bracket)."""
    match = _SCHEDULER_ADDRESS.fullmatch(scheduler)
    port = int(match.group("port") or DEFAULT_SCHEDULER_PORT) if match else 0
    if match is None or not 0 < port < 65536:
        raise SchedulerError(f"{scheduler!r} is no Dask scheduler address: give tcp://HOST:PORT "
                             f"(such as tcp://10.0.0.5:8786)")
    return match.group("scheme") or "tcp", match.group("host").strip("[]"), port


def _probe_scheduler(scheduler: str, scheme: str, host: str, port: int, deadline: float) -> None:
    """Connects to the address and, for plain tcp, reads the scheduler's greeting,
    all before `deadline`; SchedulerError where that fails."""
    def unreachable(why: str) -> SchedulerError:
        return SchedulerError(f"cannot reach the Dask scheduler at {scheduler}: {why}")

    try:
        with socket.create_connection((host, port), timeout=max(0.1, deadline - time.monotonic())) as peer:
            if scheme != "tcp":
                return  # its greeting comes after the TLS handshake, which the client makes
            peer.settimeout(max(0.1, deadline - time.monotonic()))
            length, = struct.unpack("<Q", _receive(peer, 8))
            if not 16 <= length <= _GREETING_LIMIT:
                raise unreachable("it is no Dask scheduler (it answered with something else)")
            frames, = struct.unpack("<Q", _receive(peer, 8))
            if not 1 <= frames <= 64:
                raise unreachable("it is no Dask scheduler (it answered with something else)")
    except (socket.timeout, TimeoutError):
        raise unreachable(f"no scheduler answered within {CONNECT_SECONDS} s") from None
    except OSError as error:
        raise unreachable(error.strerror or str(error)) from None


def _within_deadline(probe: Callable[[], None], deadline: float, late: SchedulerError) -> None:
    """Runs `probe` in a thread of its own that is given up at `deadline`: a name
    lookup has no timeout of its own. A thread given up ends with the process."""
    failures: list[BaseException] = []

    def run() -> None:
        try:
            probe()
        except BaseException as error:
            failures.append(error)

    thread = threading.Thread(target=run, name="scheduler-probe", daemon=True)
    thread.start()
    thread.join(max(0.0, deadline - time.monotonic()) + 1.0)
    if thread.is_alive():
        raise late
    if failures:
        raise failures[0]


def _receive(peer: socket.socket, count: int) -> bytes:
    data = b""
    while len(data) < count:
        chunk = peer.recv(count - len(data))
        if not chunk:
            raise ConnectionResetError(errno.ECONNRESET, "the connection was closed before a greeting")
        data += chunk
    return data


def _on_cluster(client: Any, task: Callable[[Item], Outcome], items: Sequence[Item],
                sources: list[str]) -> Iterator[tuple[int, Outcome]]:
    completed_on_cluster: Any = importlib.import_module("distributed").as_completed
    with client:
        futures = {client.submit(task, item, pure=False): index for index, item in enumerate(items)}
        try:
            for future in completed_on_cluster(futures, loop=client.loop):
                index = futures[future]
                try:
                    outcome = future.result()
                except Exception as error:
                    outcome = _lost(sources[index], error)
                yield index, outcome
        except KeyboardInterrupt:
            client.cancel(list(futures))  # no task of this batch starts on the cluster
            raise
