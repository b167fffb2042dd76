"""Tasks in this process, one after the other, or in a pool of local worker processes.

A worker that dies (a crash under one file) breaks the pool for every task in
flight: those are run again, each alone, so that only the file that kills its
worker fails. After an interrupt no further task starts, the running ones are
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
WORKER_BASE_MODULES = ("kestrune_tools._with_parent", "kestrune", "numpy", "pyarrow.parquet",
                       "kestrune_tools.batch", "kestrune_tools.runs")

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
        suspects = yield from rounds.run(waiting, workers)
        for index in suspects:
            if (yield from rounds.run(collections.deque([index]), 1)):
                yield index, Outcome.failed(describe(items[index])[0], "its worker process died while working on it")


class _Rounds:
    """The pools of one batch, each run as one round."""

    def __init__(self, task: Callable[[Item], Outcome[Any]], items: Sequence[Item], describe: Describe[Item],
                 lost: Lost, preload: list[str]) -> None:
        self.task, self.items, self.describe, self.lost, self.preload = task, items, describe, lost, preload

    def run(self, waiting: collections.deque[int], workers: int) -> Generator[tuple[int, Outcome[Any]], None, list[int]]:
        """Runs the waiting items (taking them off the queue) with at most workers + 1
        in flight, so that the tasks a broken pool took down are known; answers those."""
        pool = ProcessPoolExecutor(max_workers=workers, mp_context=_worker_context(self.preload),
                                   initializer=worker_started)
        in_flight: dict[Future[Outcome[Any]], int] = {}
        started = time.time_ns()
        try:
            while waiting or in_flight:
                while waiting and len(in_flight) <= workers:
                    index = waiting.popleft()
                    in_flight[pool.submit(in_worker, self.task, self.items[index])] = index
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
                        outcome = self.lost(index, error)
                    except Interrupted:  # its worker was stopped from outside the batch
                        outcome = Outcome.failed(self.describe(self.items[index])[0], "its task was interrupted")
                    yield index, outcome
                if broken:
                    return broken + list(in_flight.values())
                raise_if_stopped()
            return []
        except KeyboardInterrupt:
            yield from self._stop(pool, in_flight, started)
            raise
        finally:
            pool.shutdown(wait=True, cancel_futures=True)

    def _stop(self, pool: ProcessPoolExecutor, in_flight: dict[Future[Outcome[Any]], int],
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
        for future, index in in_flight.items():
            if future.cancelled():
                continue
            source, outputs = self.describe(self.items[index])
            if future.done() and future.exception() is None:
                yield index, future.result()
            elif outputs_written_since(outputs, started):
                yield index, Outcome.done(source, "done")


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
