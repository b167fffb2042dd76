"""The catalog of an archive: one Parquet table, one row per scan of every run.

Each row is a row of the run's exported scan table (`parquet.scans_table`: the file
name, the header values, then the scan table) preceded by `path` (the input's
absolute path) and `size` (its size in bytes). Runs appear in the order given, their
scans in scan order.

A run's rows travel from the worker that read it as `RunRows`: its scan table and
its run-wide values once, not repeated on each of its rows (those made up most of
what a worker sent, and of its time between runs); the writer repeats them as it
writes.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from types import TracebackType

import pyarrow as pa
import pyarrow.parquet as pq

import kestrune_tools as kt
from kestrune_tools import arrow
from kestrune_tools.parquet import HEADER_TYPES, header_values

# Rows a row group: what a query engine reads as one piece (DuckDB's own groups are
# about this size), and written as they gather, so that the file is not all written
# after the last run is read.
CATALOG_ROW_GROUP = 1 << 17
LOCATION_TYPES = {"path": pa.string(), "size": pa.int64()}
# The columns whose value is the run's, the same on every row of it, in column order.
RUN_TYPES = {**LOCATION_TYPES, **HEADER_TYPES}


@dataclass(frozen=True)
class RunRows:
    """One run's catalog rows: its values of `RUN_TYPES`, and its scan table."""

    values: dict[str, object]
    scans: pa.Table

    def table(self) -> pa.Table:
        return _joined([self])


def run_rows(path: str | os.PathLike[str], profile: str | None = None) -> RunRows:
    """The catalog rows of one run, read with `profile` (the one its path selects for None)."""
    location = {"path": os.path.abspath(path), "size": os.stat(path).st_size}
    with kt.open_run(path, profile) as run:
        return RunRows({**location, **header_values(run)}, run.scan_table())


def catalog_rows(path: str | os.PathLike[str], profile: str | None = None) -> pa.Table:
    """The catalog rows of one run as one table, read with `profile` (the one its path
    selects for None)."""
    return run_rows(path, profile).table()


def _joined(runs: list[RunRows]) -> pa.Table:
    """The rows of `runs`, each run's values repeated over its scans."""
    counts = [rows.scans.num_rows for rows in runs]
    repeated = [arrow.repeated([rows.values[name] for rows in runs], kind, counts) for name, kind in RUN_TYPES.items()]
    scans = pa.concat_tables([rows.scans for rows in runs])
    fields = [pa.field(name, kind) for name, kind in RUN_TYPES.items()] + list(scans.schema)
    return pa.Table.from_arrays(repeated + scans.columns, schema=pa.schema(fields))


class CatalogWriter:
    """Writes catalog rows run by run, gathering them into large row groups.

    The first rows written fix the schema; the file is opened only then.
    """

    def __init__(self, destination: str | os.PathLike[str], row_group: int = CATALOG_ROW_GROUP) -> None:
        self.destination, self.row_group = destination, row_group
        self.writer: pq.ParquetWriter | None = None
        self.pending: list[RunRows] = []
        self.pending_rows = 0
        self.rows = 0

    def add(self, rows: RunRows) -> None:
        self.pending.append(rows)
        self.pending_rows += rows.scans.num_rows
        if self.pending_rows >= self.row_group:
            self._flush()

    def close(self) -> None:
        """Writes what is gathered. Without any run added, no file is made (see `written`)."""
        if self.pending:
            self._flush()
        if self.writer is not None:
            self.writer.close()

    @property
    def written(self) -> bool:
        return self.writer is not None

    def _flush(self) -> None:
        table = _joined(self.pending)
        if self.writer is None:
            self.writer = pq.ParquetWriter(self.destination, table.schema)
        self.writer.write_table(table, row_group_size=self.row_group)
        self.rows += table.num_rows
        self.pending, self.pending_rows = [], 0

    def __enter__(self) -> CatalogWriter:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()
