"""Batches of runs: one task per input, run serially, in a local process pool or on a
Dask distributed cluster, with the same code.

    for index, outcome in run_tasks(convert_file, jobs, workers=4):
        ...

A task is a module-level function of one item that answers an `Outcome`
(`batch.outcome`); items are plain picklable values. The runner knows no kind of
job: an item is a `Job` (it tells its source and its outputs) or a source path. The
rooms: `outcome` (what became of an input), `pool` (this process or local workers),
`transport` (how a local worker's outcomes come back),
`cluster` (Dask), `signals` (what ends a batch, and workers with it).
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any, Protocol, TypeVar

from kestrune_tools.batch.cluster import CONNECT_SECONDS, SchedulerError, on_cluster
from kestrune_tools.batch.outcome import Outcome, guarded
from kestrune_tools.batch.pool import in_pool, serially, start_workers_server
from kestrune_tools.batch.signals import Interrupted

__all__ = ["CONNECT_SECONDS", "Interrupted", "Job", "Outcome", "SchedulerError", "guarded", "run_tasks",
           "start_workers_server"]


class Job(Protocol):
    """What the runner asks of an item: the input it reads, and the outputs it writes
    (whose being in place after an interrupt means the task was done all the same)."""

    @property
    def source(self) -> str: ...

    def outputs(self) -> list[Path]: ...


Item = TypeVar("Item", bound="Job | str")


def describe(item: Job | str) -> tuple[str, list[Path]]:
    """The source and the outputs of an item; a bare path writes no output of its own."""
    if isinstance(item, str):
        return item, []
    return item.source, item.outputs()


def run_tasks(task: Callable[[Item], Outcome[Any]], items: Sequence[Item], *, workers: int = 1,
              scheduler: str | None = None, preload: Sequence[str] = ()) -> Iterator[tuple[int, Outcome[Any]]]:
    """Runs `task` on every item; yields (index of the item, outcome) as each ends.

    On a Dask cluster with `scheduler` (SchedulerError at once where it cannot be
    used), otherwise in a pool of `workers` local processes (which import `preload`
    once, ahead of the tasks), or here in this process for one worker. A task lost
    with its worker process is a failed outcome naming the reason.

    An interrupt (KeyboardInterrupt, or `Interrupted` for SIGTERM and SIGHUP) while
    the tasks run starts no further task and stops the ones in progress; the
    outcomes of tasks that still ended are yielded before the interrupt goes on to
    the caller, so that whoever counts them counts what was really written. Local
    worker processes end with the process that started them, even when it is
    killed.
    """
    def lost(index: int, error: BaseException) -> Outcome[Any]:
        reason = f"its task failed: {type(error).__name__}: {error}".rstrip(": ")
        return Outcome.failed(describe(items[index])[0], reason)

    if scheduler is not None:
        return on_cluster(scheduler, task, items, lost)
    if workers <= 1 or len(items) <= 1:
        return serially(task, items, describe)
    return in_pool(task, items, min(workers, len(items)), describe, lost, preload)
