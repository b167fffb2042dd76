"""kestrune catalog: one Parquet table of every scan of every run."""

from __future__ import annotations

import argparse
import functools
from pathlib import Path
from typing import TYPE_CHECKING, Any

from kestrune_tools.batch import Outcome
from kestrune_tools.cli.batch_command import BatchPlan, Outcomes, add_batch_options, add_input_arguments, run_batch
from kestrune_tools.cli.common import Progress, UsageError
from kestrune_tools.cli.needs import require_tools
from kestrune_tools.inputs import Discovery
from kestrune_tools.jobs import CATALOGUED, CATALOG_WORKER_MODULES, catalog_file
from kestrune_tools.outputs import NothingWritten, atomic_output, output_error

if TYPE_CHECKING:
    from kestrune_tools.catalog import CatalogWriter

NAME = "catalog"
SUMMARY = "one Parquet table of every scan of every run"
DESCRIPTION = """\
Write CATALOG.parquet: one row per scan of every input run, for DuckDB, polars,
Spark or pandas. Each row holds the run's path (absolute), size (bytes), file name,
header values (version, creation_date in UTC, num_scans) and the scan's row of the
run's scan table (scan_number, rt in minutes, ms_level, precursor_mz,
precursor_charge, master_scan, injection_time in ms, peak_count, tic, base_peak_mz,
base_peak_intensity). Runs appear in the order found, scans in scan order.

Each run costs the bytes its scans need, not its size. The catalog is written under
a temporary name and renamed into place when complete; an existing catalog is
replaced. A bad input (or one that changes while it is read) is reported on one
line and left out; the others are still catalogued. A catalog that cannot be
written (a full disk) is reported on one line naming it, exit status 1.

Inputs are never written: a CATALOG.parquet that is an input, an existing .raw file
or the same file as one is refused (as `-o d/*.raw` would make -o take d/a.raw). One
command at a time writes into a folder (it holds .kestrune.lock there for the
batch): a second one is refused at once, exit status 2.

Exit status: 0 every file catalogued, 1 some file failed or the catalog could not be
written, 2 usage error (such as a folder that cannot be made or written)."""
EPILOG = """\
example:
  kestrune catalog /archive -o archive.parquet
  duckdb -c "SELECT path, scan_number, rt, precursor_mz FROM 'archive.parquet'
             WHERE ms_level = 2 AND abs(precursor_mz - 785.84) <= 785.84 * 10e-6\""""


def configure(parser: argparse.ArgumentParser) -> None:
    add_input_arguments(parser)
    parser.add_argument("-o", "--output", required=True, type=Path, metavar="CATALOG.parquet",
                        help="the catalog file to write (its folder is made if missing)")
    add_batch_options(parser)


def run(args: argparse.Namespace) -> int:
    require_tools(NAME)
    destination: Path = args.output
    written: list[bool | None] = []

    def finish(outcomes: Outcomes, progress: Progress) -> None:
        written.append(write_catalog(outcomes, destination, progress))

    def not_written(progress: Progress) -> None:
        if written == [False]:
            progress.error(destination, "not written: no run could be catalogued")

    def plan(discovery: Discovery) -> BatchPlan[str]:
        if destination.is_dir():
            raise UsageError(f"{destination}: the catalog path is a folder")
        return BatchPlan(folder=destination.parent, outputs=[destination],
                         task=functools.partial(catalog_file, profile=args.profile),
                         items=[str(path) for path in discovery.inputs], finish=finish, after=not_written)

    return run_batch(args, NAME, CATALOGUED, plan, one_output=True, preload=CATALOG_WORKER_MODULES)


def write_catalog(outcomes: Outcomes, destination: Path, progress: Progress) -> bool | None:
    """Writes the rows of the outcomes as they come; answers whether any run was
    catalogued, or None where the catalog could not be written (reported and counted
    as a failure)."""
    from kestrune_tools.catalog import CatalogWriter

    temporary = destination
    try:
        with atomic_output(destination) as temporary:
            with CatalogWriter(temporary) as writer:
                add_in_order(outcomes, writer, progress)
            if not writer.written:
                raise NothingWritten
    except OSError as error:
        reason = output_error(error, [(destination, temporary)], destination)
        if reason is None:
            raise
        progress.counts["failed"] += 1
        progress.error(destination, reason)
        return None
    return writer.written


def add_in_order(outcomes: Outcomes, writer: CatalogWriter, progress: Progress) -> None:
    # Rows go out in input order; a run that ends early waits for those before it.
    waiting: dict[int, Outcome[Any]] = {}
    following = 0
    for index, outcome in outcomes:
        progress.record(outcome)
        waiting[index] = outcome
        while following in waiting:
            rows = waiting.pop(following).value
            if rows is not None:
                writer.add(rows)
            following += 1
