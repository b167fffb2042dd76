"""Tasks in this process, one after the other, or in a pool of local worker processes.

A worker that dies (a crash under one file) breaks the pool for every task in
flight: those are run again one task a worker with none queued, and the few in
flight when a pool breaks again are each run alone, so that only the file that
kills its worker fails. After an interrupt no further task starts, the running ones are
stopped, and the outcomes of those that still ended are yielded first.
"""

from __future__ import annotations

import collections
import contextlib
import multiprocessing
import os
import time
from collections.abc import Callable, Generator, Iterator, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from pathlib import Path
from typing import Any, TypeVar

from kestrune_tools.batch.outcome import Outcome
from kestrune_tools.batch.transport import TablesApart, widen_results_pipe
from kestrune_tools.batch.signals import Interrupted, in_worker, raise_if_stopped, stop_signal, worker_started

Item = TypeVar("Item")
# What the batch knows of an item: its source, and the outputs it writes.
Describe = Callable[[Item], tuple[str, list[Path]]]
# What a task lost with its worker becomes: the item's index and the error.
Lost = Callable[[int, BaseException], Outcome[Any]]

# What every worker needs, imported once by the fork server rather than by every
# worker; a command adds the modules of its tasks. A module that cannot be imported
# (an extra not installed) is passed over. The first makes the fork server itself
# end with the batch's process.
WORKER_BASE_MODULES = ("kestrune_tools._with_parent", "kestrune", "numpy", "kestrune_tools.batch",
                       "kestrune_tools.runs")

# How long the tasks in progress have to stop after an interrupt before their
# worker processes are killed.
STOP_GRACE_SECONDS = 5.0
# The file system's clock may lag the process's by a tick.
_CLOCK_TICK_NS = 50_000_000


def serially(task: Callable[[Item], Outcome[Any]], items: Sequence[Item],
             describe: Describe[Item]) -> Iterator[tuple[int, Outcome[Any]]]:
    for index, item in enumerate(items):
        started = time.time_ns()
        try:
            outcome = task(item)
        except KeyboardInterrupt:
            source, outputs = describe(item)
            if outputs_written_since(outputs, started):
                yield index, Outcome.done(source, "done")
            raise
        if stop_signal() is None or outcome.kind != "failed":
            yield index, outcome
        raise_if_stopped()


def in_pool(task: Callable[[Item], Outcome[Any]], items: Sequence[Item], workers: int, describe: Describe[Item],
            lost: Lost, preload: Sequence[str] = ()) -> Iterator[tuple[int, Outcome[Any]]]:
    """Runs the items in pools of `workers` processes; a task whose worker died is run
    again alone, and fails only if it kills that worker too."""
    rounds = _Rounds(task, items, describe, lost, [*WORKER_BASE_MODULES, *preload])
    waiting = collections.deque(range(len(items)))
    while waiting:
        suspects = collections.deque((yield from rounds.run(waiting, workers)))
        while suspects:
            for index in (yield from rounds.run(suspects, workers, careful=True)):
                if (yield from rounds.run(collections.deque([index]), 1, careful=True)):
                    yield index, Outcome.failed(describe(items[index])[0],
                                                "its worker process died while working on it")


class _Rounds:
    """The pools of one batch, each run as one round."""

    def __init__(self, task: Callable[[Item], Outcome[Any]], items: Sequence[Item], describe: Describe[Item],
                 lost: Lost, preload: list[str]) -> None:
        self.task, self.items, self.describe, self.lost, self.preload = task, items, describe, lost, preload

    def run(self, waiting: collections.deque[int], workers: int, *,
            careful: bool = False) -> Generator[tuple[int, Outcome[Any]], None, list[int]]:
        """Runs the waiting items (taking them off the queue), one task a chunk until
        the tasks' length is known (always, when `careful`, and none queued for a
        worker); answers the tasks a broken pool took down (those of every chunk then
        in flight)."""
        queued = 0 if careful else QUEUED_CHUNKS
        pool = ProcessPoolExecutor(max_workers=workers, mp_context=_worker_context(self.preload),
                                   initializer=worker_started)
        widen_results_pipe(pool)
        in_flight: dict[Future[_ChunkResult], list[int]] = {}
        ended: list[tuple[list[int], list[Outcome[Any]]]] = []  # taken from the pool, not yet yielded
        started = time.time_ns()
        size = 1
        try:
            while waiting or in_flight:
                self._submit(pool, waiting, in_flight, size, workers * (1 + queued))
                done, _ = wait(in_flight, return_when=FIRST_COMPLETED)
                broken: list[int] = []
                for future in done:
                    chunk = in_flight.pop(future)
                    try:
                        outcomes, seconds = future.result()
                    except BrokenProcessPool:
                        broken += chunk
                        continue
                    except Exception as error:  # such as an argument that cannot be pickled
                        outcomes = [self.lost(index, error) for index in chunk]
                    except Interrupted:  # its worker was stopped from outside the batch
                        outcomes = []
                    else:
                        size = 1 if careful else _chunk_size(seconds / len(outcomes), len(waiting), workers)
                    ended.append((chunk, outcomes + [self._interrupted(index) for index in chunk[len(outcomes):]]))
                if not broken:  # the workers go on while the outcomes are taken in
                    self._submit(pool, waiting, in_flight, size, workers * (1 + queued))
                yield from _taken(ended)
                if broken:
                    return broken + [index for chunk in in_flight.values() for index in chunk]
                raise_if_stopped()
            return []
        except KeyboardInterrupt:
            yield from _taken(ended)
            yield from self._stop(pool, in_flight, started)
            raise
        finally:
            pool.shutdown(wait=True, cancel_futures=True)

    def _submit(self, pool: ProcessPoolExecutor, waiting: collections.deque[int],
                in_flight: dict[Future[_ChunkResult], list[int]], size: int, chunks: int) -> None:
        """Hands out chunks of `size` waiting items until `chunks` are in flight."""
        while waiting and len(in_flight) < chunks:
            chunk = [waiting.popleft() for _ in range(min(size, len(waiting)))]
            in_flight[pool.submit(_in_worker_chunk, self.task, [self.items[index] for index in chunk])] = chunk

    def _interrupted(self, index: int) -> Outcome[Any]:
        return Outcome.failed(self.describe(self.items[index])[0], "its task was interrupted")

    def _stop(self, pool: ProcessPoolExecutor, in_flight: dict[Future[_ChunkResult], list[int]],
              started: int) -> Iterator[tuple[int, Outcome[Any]]]:
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
        for future, chunk in in_flight.items():
            if future.cancelled():
                continue
            ended = future.result()[0] if future.done() and future.exception() is None else []
            yield from zip(chunk, ended)
            for index in chunk[len(ended):]:
                source, outputs = self.describe(self.items[index])
                if outputs_written_since(outputs, started):
                    yield index, Outcome.done(source, "done")


# The outcomes of a chunk's first tasks (all of them unless an interrupt stopped one)
# and the seconds they took.
_ChunkResult = tuple[list[Outcome[Any]], float]

# A chunk of tasks is handed to a worker at once when each is short: the pool's own
# cost per hand-over and per result, most of it in the batch's process, would
# otherwise take the time of a second worker. About this many seconds of work a chunk.
CHUNK_SECONDS = 0.05
MAX_CHUNK = 64
# Chunks waiting for each worker besides the one it works on: the batch's process
# takes in outcomes between its hand-outs (a catalog writes a row group then, tens of
# milliseconds), and a worker that found none waiting would sit idle meanwhile.
QUEUED_CHUNKS = 2


def _taken(ended: list[tuple[list[int], list[Outcome[Any]]]]) -> Iterator[tuple[int, Outcome[Any]]]:
    while ended:
        chunk, outcomes = ended.pop(0)
        yield from zip(chunk, outcomes)


def _in_worker_chunk(task: Callable[[Item], Outcome[Any]], chunk: list[Item]) -> _ChunkResult:
    started = time.perf_counter()
    outcomes: list[Outcome[Any]] = []
    try:
        for item in chunk:
            outcomes.append(in_worker(task, item))
    except Interrupted:
        if not outcomes:
            raise
    return TablesApart(outcomes), time.perf_counter() - started


def _chunk_size(seconds_per_task: float, waiting: int, workers: int) -> int:
    """Tasks a chunk, from how long the last ones took; small enough that every
    worker still has chunks to take towards the end."""
    wanted = int(CHUNK_SECONDS / max(seconds_per_task, 1e-6))
    return max(1, min(wanted, MAX_CHUNK, waiting // (2 * workers)))


def start_workers_server(preload: Sequence[str] = ()) -> None:
    """Starts the fork server that local workers will come from, importing
    `WORKER_BASE_MODULES` and `preload`, without waiting for it: a batch that starts
    it before its own preparations has them overlap its imports (a third of a second
    where pyarrow and pandas are among them). Where the server runs already, or
    workers are spawned, nothing."""
    context = _worker_context([*WORKER_BASE_MODULES, *preload])
    if context.get_start_method() == "forkserver":
        from multiprocessing import forkserver

        forkserver.ensure_running()


def _worker_context(preload: list[str]) -> multiprocessing.context.BaseContext:
    """Workers forked from a fork server: the server is a fresh interpreter with no
    threads (none of a progress bar's or a cluster client's is copied into a worker),
    it imports the task's modules once, and each worker then starts in milliseconds
    where a spawned one imports them all again. Spawn where there are no fork servers."""
    if "forkserver" not in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("spawn")
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(preload)
    return context


def outputs_written_since(outputs: Sequence[Path], started: int) -> bool:
    """Whether every output of an interrupted task is in place under its final name,
    written since `started` (time.time_ns()): the interrupt came after its last
    rename, so the task was done all the same."""
    try:
        return bool(outputs) and all(os.stat(path).st_mtime_ns >= started - _CLOCK_TICK_NS for path in outputs)
    except OSError:
        return False
