"""Batches of runs: finding the inputs, one task per file, and running the tasks
serially, in a local process pool or on a Dask distributed cluster.

A task never raises for a bad input: it answers an `Outcome` whose `reason` says in a
few words what was wrong with the file, so one bad file never stops the others.
Tasks are plain picklable values and module-level functions, so a process pool and a
cluster run exactly the same code.
"""

from __future__ import annotations

import collections
import errno
import importlib
import importlib.util
import multiprocessing
import os
import stat
import weakref
from collections.abc import Callable, Generator, Iterable, Iterator, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, TypeVar

from kestrune_tools.outputs import atomic_output, is_complete

if TYPE_CHECKING:
    from kestrune_tools.parquet import ExportPass
    from kestrune_tools.runs import Run

RAW_SUFFIX = ".raw"  # compared without regard to case

# -- finding the inputs


@dataclass(frozen=True)
class Discovery:
    """The inputs found for the command line's arguments, in a stable order."""

    inputs: list[Path]
    empty_folders: list[Path] = field(default_factory=list)


def is_raw_name(path: Path) -> bool:
    return path.suffix.lower() == RAW_SUFFIX


def _raw_files_under(folder: Path) -> list[Path]:
    """Every entry named *.raw (any case) under `folder`, searched recursively. A
    folder named *.raw is an input too (it will fail as a directory), not searched."""
    found = []
    for root, folders, names in os.walk(folder):
        here = Path(root)
        found += [here / name for name in folders + names if is_raw_name(Path(name))]
        folders[:] = sorted(name for name in folders if not is_raw_name(Path(name)))
    return sorted(found)


def discover_inputs(arguments: Iterable[str | os.PathLike[str]]) -> Discovery:
    """Files are taken as given (whatever their name, even missing ones: they fail
    later with a reason); folders are searched recursively for .raw files. The same
    file reached twice is kept once."""
    inputs: list[Path] = []
    empty: list[Path] = []
    seen: set[str] = set()
    for argument in arguments:
        path = Path(argument)
        found = _raw_files_under(path) if path.is_dir() else [path]
        if not found:
            empty.append(path)
        for candidate in found:
            key = os.path.realpath(candidate)
            if key not in seen:
                seen.add(key)
                inputs.append(candidate)
    return Discovery(inputs, empty)


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
    text = str(error).strip() or type(error).__name__
    return text if isinstance(error, OSError) else f"{type(error).__name__}: {text}"


# -- one task per file


@dataclass(frozen=True)
class Outcome:
    """What became of one input: converted, skipped (its outputs were complete), or
    failed (with the reason). `rows` holds a catalog task's rows."""

    source: str
    status: Literal["converted", "skipped", "failed"]
    reason: str | None = None
    rows: Any = None


def guarded(source: str, work: Callable[[], Outcome]) -> Outcome:
    """Runs `work` for `source`; a bad input or a failing export becomes a failed
    Outcome. Interrupts and exits still propagate."""
    problem = input_problem(source)
    if problem is not None:
        return Outcome(source, "failed", problem)
    try:
        return work()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # the reader's PanicException is a BaseException
        if not (isinstance(error, Exception) or is_panic(error)):
            raise
        return Outcome(source, "failed", failure_reason(error, source))


@dataclass(frozen=True)
class ExportOptions:
    """Options of the exports; the mzML ones name what the file does not hold."""

    ms_level: int | None = None
    polarity: Literal["positive", "negative"] | None = None
    spectrum_type: Literal["centroid", "profile"] = "centroid"
    zlib: bool = False


PartWriter = Callable[["Run", Path, ExportOptions], None]


def _write_mgf(run: Run, destination: Path, options: ExportOptions) -> None:
    from kestrune_tools.mgf import write_mgf

    write_mgf(run, destination, options.ms_level)


# The Parquet parts of a run share one pass over its peaks: the scans part makes it
# (both parts are then written from it), the peaks part takes it, or makes its own
# where the scans part was not written. It goes with the run at the latest.
_parquet_passes: weakref.WeakKeyDictionary[Run, ExportPass] = weakref.WeakKeyDictionary()


def _write_scans(run: Run, destination: Path, options: ExportOptions) -> None:
    from kestrune_tools.parquet import export_pass, write_scans

    made = _parquet_passes[run] = export_pass(run, options.ms_level)
    write_scans(run, destination, options.ms_level, made)


def _write_peaks(run: Run, destination: Path, options: ExportOptions) -> None:
    from kestrune_tools.parquet import write_peaks

    write_peaks(run, destination, options.ms_level, scan_pass=_parquet_passes.pop(run, None))


MZML_MODULE = "kestrune_tools.mzml"


def _write_mzml(run: Run, destination: Path, options: ExportOptions) -> None:
    mzml: Any = importlib.import_module(MZML_MODULE)
    settings = mzml.MzmlOptions(polarity=options.polarity, spectrum_type=options.spectrum_type,
                                compression=options.zlib)
    mzml.write_mzml(run, destination, settings, ms_level=options.ms_level)


def mzml_available() -> bool:
    return importlib.util.find_spec(MZML_MODULE) is not None


# Each format: the suffix of each output file and the writer of that file.
FORMATS: dict[str, tuple[tuple[str, PartWriter], ...]] = {
    "mzml": ((".mzML", _write_mzml),),
    "mgf": ((".mgf", _write_mgf),),
    "parquet": ((".scans.parquet", _write_scans), (".peaks.parquet", _write_peaks)),
}


def output_paths(source: Path, outdir: Path, format_name: str) -> list[Path]:
    return [outdir / (source.stem + suffix) for suffix, _ in FORMATS[format_name]]


@dataclass(frozen=True)
class ConvertJob:
    source: str
    outdir: str
    format_name: str
    options: ExportOptions = ExportOptions()
    overwrite: bool = False


def convert_file(job: ConvertJob) -> Outcome:
    """Writes the job's outputs that are not complete yet (all of them with
    `overwrite`), each under a temporary name first."""
    import kestrune_tools as kt

    source = Path(job.source)
    finals = output_paths(source, Path(job.outdir), job.format_name)
    parts = [(final, writer) for final, (_, writer) in zip(finals, FORMATS[job.format_name])
             if job.overwrite or not is_complete([final], source)]

    def convert() -> Outcome:
        if not parts:
            return Outcome(job.source, "skipped")
        with kt.open_run(source) as run:
            for final, writer in parts:
                with atomic_output(final) as temporary:
                    writer(run, temporary, job.options)
        return Outcome(job.source, "converted")

    return guarded(job.source, convert)


def catalog_file(source: str) -> Outcome:
    """The catalog rows of one input, in `Outcome.rows`."""
    from kestrune_tools.catalog import catalog_rows

    return guarded(source, lambda: Outcome(source, "converted", rows=catalog_rows(source)))


# -- running the tasks

Item = TypeVar("Item")


class SchedulerError(Exception):
    """The Dask cluster cannot be used (extra missing, scheduler unreachable)."""


def run_tasks(task: Callable[[Item], Outcome], items: Sequence[Item], *, workers: int = 1,
              scheduler: str | None = None) -> Iterator[tuple[int, Outcome]]:
    """Runs `task` on every item; yields (index of the item, outcome) as each ends.

    On a Dask cluster with `scheduler`, otherwise in a pool of `workers` local
    processes, or here in this process for one worker. A task lost with its worker
    process is a failed outcome naming the reason.
    """
    sources = [_source_of(item) for item in items]
    if scheduler is not None:
        return _on_cluster(_connect(scheduler), task, items, sources)
    if workers <= 1 or len(items) <= 1:
        return ((index, task(item)) for index, item in enumerate(items))
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
# A module that cannot be imported (an extra not installed) is passed over.
_WORKER_PRELOAD = ["kestrune", "numpy", "pyarrow.parquet", "kestrune_tools.batch", "kestrune_tools.runs",
                   "kestrune_tools.parquet", "kestrune_tools.mgf", "kestrune_tools.catalog", "kestrune_tools.mzml"]


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
    pool = ProcessPoolExecutor(max_workers=workers, mp_context=_worker_context())
    in_flight: dict[Future[Outcome], int] = {}
    try:
        while waiting or in_flight:
            while waiting and len(in_flight) <= workers:
                index = waiting.popleft()
                in_flight[pool.submit(task, items[index])] = index
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
                yield index, outcome
            if broken:
                return broken + list(in_flight.values())
        return []
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def _connect(scheduler: str) -> Any:
    try:
        distributed: Any = importlib.import_module("distributed")
    except ImportError:
        raise SchedulerError("--scheduler needs Dask distributed: pip install 'kestrune[dask]'") from None
    try:
        # An unknown scheme is refused before a client exists: a client that fails
        # on it would wait in its finalizer at exit.
        scheme, _ = distributed.comm.parse_address(scheduler)
        distributed.comm.registry.get_backend(scheme)
        return distributed.Client(scheduler, timeout="10s", set_as_default=False)
    except (OSError, TimeoutError, ValueError) as error:
        raise SchedulerError(f"cannot reach the Dask scheduler at {scheduler}: {error}") from None


def _on_cluster(client: Any, task: Callable[[Item], Outcome], items: Sequence[Item],
                sources: list[str]) -> Iterator[tuple[int, Outcome]]:
    completed_on_cluster: Any = importlib.import_module("distributed").as_completed
    with client:
        futures = {client.submit(task, item, pure=False): index for index, item in enumerate(items)}
        for future in completed_on_cluster(futures, loop=client.loop):
            index = futures[future]
            try:
                outcome = future.result()
            except Exception as error:
                outcome = _lost(sources[index], error)
            yield index, outcome
