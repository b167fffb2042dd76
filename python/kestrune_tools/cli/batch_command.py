"""The one shape of a batch command (`convert`, `catalog`, `report`).

    def run(args):
        return run_batch(args, NAME, "converted", plan)

`run_batch` finds the inputs (each folder that gives none is reported), asks the
command's `plan` what the batch writes, refuses before anything is written what
would overwrite an input or write two inputs' outputs under one name, makes and
locks the output folder, starts the tasks (an unusable scheduler is a usage error)
and counts their outcomes under a progress bar, ending with the summary line and
the exit status.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Generic, TypeVar

from kestrune_tools.batch import CONNECT_SECONDS, Job, Outcome, SchedulerError, run_tasks, start_workers_server
from kestrune_tools.cli.common import Progress, UsageError, positive_int, report_error, usable_cores
from kestrune_tools.cli.profile_option import add_profile_option, generic_note
from kestrune_tools.inputs import Discovery, discover_inputs, is_raw_name
from kestrune_tools.outputs import FolderBusy, sole_writer

Item = TypeVar("Item", bound="Job | str")
Outcomes = Iterable[tuple[int, Outcome[Any]]]


def add_input_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "inputs", nargs="+", metavar="FILE_OR_DIR",
        help="a .raw file, or a folder searched recursively for .raw files (any case), "
             "through links to folders; a folder that cannot be listed is a failed input")
    add_profile_option(parser)


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


def record_each(outcomes: Outcomes, progress: Progress) -> None:
    for _, outcome in outcomes:
        progress.record(outcome)


@dataclass(frozen=True)
class BatchPlan(Generic[Item]):
    """What a batch command writes for the inputs found: `task` on each of `items`,
    into `folder`, as `outputs` (none of which may be an input); `collisions` are the
    groups of inputs whose outputs would share a name. `finish` takes the outcomes as
    they come (by default it counts them); `after` runs once the summary is written."""

    folder: Path
    outputs: list[Path]
    task: Callable[[Item], Outcome[Any]]
    items: Sequence[Item]
    collisions: list[list[Path]] = field(default_factory=list)
    in_this_process: bool = False  # no pool, no cluster: a single page, say
    finish: Callable[[Outcomes, Progress], None] = record_each
    after: Callable[[Progress], None] | None = None


def run_batch(args: argparse.Namespace, command: str, word: str, plan: Callable[[Discovery], BatchPlan[Any]],
              *, one_output: bool = False, preload: Sequence[str] = ()) -> int:
    """Runs a batch command over `args.inputs`; answers the exit status. `word` says
    what was done to an input ("converted"); with `one_output` the command writes one
    file for all its inputs, which an interrupt leaves unwritten. Local workers
    import `preload` (the modules of the command's tasks) once, ahead of the tasks:
    their fork server starts first of all, so that its imports go on while the
    inputs are found."""
    if args.jobs > 1 and args.scheduler is None:
        start_workers_server(preload)
    discovery = discover_inputs(args.inputs)
    failures = discovery.failures()
    for folder, reason in failures:
        report_error(folder, reason)
    if not discovery.inputs and not discovery.unreadable_folders:
        raise UsageError("no input files found" if not discovery.empty_folders else "nothing to do")
    batch = plan(discovery)
    refuse_name_collisions(batch.collisions)
    refuse_writing_inputs(batch.outputs, discovery.inputs)
    with writing_into(batch.folder):
        try:
            outcomes = run_tasks(batch.task, batch.items, workers=1 if batch.in_this_process else args.jobs,
                                 scheduler=None if batch.in_this_process else args.scheduler,
                                 preload=preload)
        except SchedulerError as error:
            raise UsageError(str(error)) from None
        # Each run read with the generic profile, none chosen, is named as it ends.
        with Progress(len(batch.items), command=command, enabled=not args.no_progress, failed=len(failures),
                      done_word=word, one_output=one_output,
                      note=generic_note if args.profile is None else None) as progress:
            batch.finish(outcomes, progress)
    if batch.after is not None:
        batch.after(progress)
    return progress.status


def refuse_name_collisions(collisions: list[list[Path]]) -> None:
    if collisions:
        groups = "; ".join(" and ".join(map(str, group)) for group in collisions)
        raise UsageError(f"inputs share a file name stem, so their outputs would overwrite each "
                         f"other (rename one or convert them separately): {groups}")


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


def _folder_problem(error: OSError, folder: Path) -> str:
    if error.errno == errno.ENOTDIR:
        return "a part of this path is a file, not a folder"
    link = _missing_place_link(folder) if error.errno == errno.EEXIST else None
    if link is not None:
        return f"{link} is a link to a missing place ({os.readlink(link)})"
    return (error.strerror or str(error)).lower()


def _missing_place_link(folder: Path) -> Path | None:
    """The folder itself, or the first of its parents, that is a link to nothing."""
    for place in [folder, *folder.parents]:
        if place.is_symlink() and not place.exists():
            return place
    return None


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
        raise UsageError(f"{folder}: cannot make the output folder: {_folder_problem(error, folder)}") from None
    try:
        lock.enter_context(sole_writer(folder))
    except FolderBusy as busy:
        raise UsageError(f"{folder}: {busy}") from None
    except OSError as error:
        raise UsageError(f"{folder}: cannot write into the output folder: {_folder_problem(error, folder)}") from None
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
