"""kestrune catalog: one Parquet table of every scan of every run."""

from __future__ import annotations

import argparse
from pathlib import Path

from kestrune_tools.batch import Outcome, SchedulerError, catalog_file, run_tasks
from kestrune_tools.cli.common import (
    Progress,
    UsageError,
    add_batch_options,
    add_input_arguments,
    find_inputs,
)
from kestrune_tools.outputs import atomic_output

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
replaced. A bad input is reported on one line and left out; the others are still
catalogued.

Exit status: 0 every file catalogued, 1 some file failed, 2 usage error."""
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
    from kestrune_tools.catalog import CatalogWriter

    inputs, empty = find_inputs(args.inputs)
    destination: Path = args.output
    if destination.is_dir():
        raise UsageError(f"{destination}: the catalog path is a folder")
    try:
        outcomes = run_tasks(catalog_file, [str(path) for path in inputs], workers=args.jobs,
                             scheduler=args.scheduler)
    except SchedulerError as error:
        raise UsageError(str(error)) from None
    destination.parent.mkdir(parents=True, exist_ok=True)
    progress = Progress(len(inputs), command=NAME, enabled=not args.no_progress, failed=empty,
                        done_word="catalogued", one_output=True)
    with progress, atomic_output(destination) as temporary, CatalogWriter(temporary) as writer:
        # Rows go out in input order; a run that ends early waits for those before it.
        waiting: dict[int, Outcome] = {}
        following = 0
        for index, outcome in outcomes:
            progress.record(outcome)
            waiting[index] = outcome
            while following in waiting:
                rows = waiting.pop(following).rows
                if rows is not None:
                    writer.add(rows)
                following += 1
    if not writer.written:
        progress.error(destination, "not written: no run could be catalogued")
    return progress.status
