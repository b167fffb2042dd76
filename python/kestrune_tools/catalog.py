"""The catalog of an archive: one Parquet table, one row per scan of every run.

Each row is a row of the run's exported scan table (`parquet.scans_table`: the file
name, the header values, then the scan table) preceded by `path` (the input's
absolute path) and `size` (its size in bytes). Runs appear in the order given, their
scans in scan order.
"""

from __future__ import annotations

import os
from types import TracebackType

import pyarrow as pa
import pyarrow.parquet as pq

import kestrune_tools as kt
from kestrune_tools.parquet import scans_table, with_constant_columns

CATALOG_ROW_GROUP = 1 << 20
LOCATION_TYPES = {"path": pa.string(), "size": pa.int64()}


def catalog_rows(path: str | os.PathLike[str], profile: str | None = None) -> pa.Table:
    """The catalog rows of one run, read with `profile` (the one its path selects for None)."""
    location = {"path": os.path.abspath(path), "size": os.stat(path).st_size}
    with kt.open_run(path, profile) as run:
        return with_constant_columns(scans_table(run), location, LOCATION_TYPES)


class CatalogWriter:
    """Writes catalog rows run by run, gathering them into large row groups.

    The first table written fixes the schema; the file is opened only then.
    """

    def __init__(self, destination: str | os.PathLike[str], row_group: int = CATALOG_ROW_GROUP) -> None:
        self.destination, self.row_group = destination, row_group
        self.writer: pq.ParquetWriter | None = None
        self.pending: list[pa.Table] = []
        self.pending_rows = 0
        self.rows = 0

    def add(self, rows: pa.Table) -> None:
        self.pending.append(rows)
        self.pending_rows += rows.num_rows
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
        table = pa.concat_tables(self.pending)
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
