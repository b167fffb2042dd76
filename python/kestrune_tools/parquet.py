"""Parquet export of a run: its scan table and its peaks, as two files.

- `<stem>.scans.parquet`: the run's scan table (`Run.scan_table()`), preceded by the
  columns `file` (the input's file name) and the header values `version`,
  `creation_date` (UTC, whole seconds; null for a header time that is no calendar
  date, before year 1 or past year 9999) and `num_scans`. Parquet has no unit of
  seconds: the column is an Arrow seconds timestamp, which is stored and read back
  as milliseconds, always whole seconds.
- `<stem>.peaks.parquet`: one row per peak, `scan_number` (int32), `mz` (float64),
  `intensity` (float32), in scan order and within a scan in the file's order, in row
  groups of about `PEAK_ROW_GROUP` rows.

Both files carry the header values in their key-value metadata too (keys
`kestrune.file`, `kestrune.version`, `kestrune.creation_date`, `kestrune.num_scans`),
so a reader of the peaks alone still knows which run they came from; the creation
date there is empty where the column holds null.
"""

from __future__ import annotations

import datetime
import os
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

if TYPE_CHECKING:
    from kestrune_tools.runs import Run

PEAK_ROW_GROUP = 1 << 20
PEAK_SCHEMA = pa.schema([
    pa.field("scan_number", pa.int32(), nullable=False),
    pa.field("mz", pa.float64(), nullable=False),
    pa.field("intensity", pa.float32(), nullable=False),
])
METADATA_PREFIX = "kestrune."


def creation_time(run: Run) -> datetime.datetime | None:
    """The header's creation date (whole seconds since 1970, UTC) as a datetime; None
    for a time no datetime holds (before year 1 or past year 9999), which no
    acquisition has, so that such a header value never fails the file."""
    try:
        return datetime.datetime.fromtimestamp(int(run.creation_date), tz=datetime.timezone.utc)
    except (OverflowError, OSError, ValueError):
        return None


def header_values(run: Run) -> dict[str, object]:
    """The run-wide values every exported row and file carries, in column order."""
    return {
        "file": os.path.basename(run.path),
        "version": run.version,
        "creation_date": creation_time(run),
        "num_scans": len(run),
    }


HEADER_TYPES = {
    "file": pa.string(),
    "version": pa.int32(),
    "creation_date": pa.timestamp("s", tz="UTC"),
    "num_scans": pa.int32(),
}


def header_metadata(run: Run) -> dict[str, str]:
    """The header values as Parquet key-value metadata (text)."""
    values = header_values(run)
    texts = {name: value.isoformat() if isinstance(value, datetime.datetime) else
             "" if value is None else str(value) for name, value in values.items()}
    return {METADATA_PREFIX + name: text for name, text in texts.items()}


def with_constant_columns(table: pa.Table, values: dict[str, object],
                          types: dict[str, pa.DataType]) -> pa.Table:
    """`table` preceded by one column per value, the same value on every row."""
    columns = [pa.array([value] * table.num_rows, types[name]) for name, value in values.items()]
    fields = [pa.field(name, types[name]) for name in values] + list(table.schema)
    return pa.Table.from_arrays(columns + table.columns, schema=pa.schema(fields))


def scans_table(run: Run, ms_level: int | None = None) -> pa.Table:
    """The run's scan table (only the scans of `ms_level` if given) preceded by the
    header-value columns, with no schema metadata."""
    table = run.scan_table()
    if ms_level is not None:
        table = table.filter(pc.equal(table["ms_level"], ms_level))
    return with_constant_columns(table, header_values(run), HEADER_TYPES)


def _selected_scans(run: Run, ms_level: int | None) -> list[int]:
    if ms_level is None:
        return list(run.scan_numbers)
    levels = run.ms_levels()
    return [scan for scan in run.scan_numbers if levels[scan - 1] == ms_level]


def write_peaks(run: Run, destination: str | os.PathLike[str], ms_level: int | None = None,
                row_group: int = PEAK_ROW_GROUP) -> None:
    """Writes the peaks of every scan (of `ms_level` if given) in scan order."""
    schema = PEAK_SCHEMA.with_metadata(header_metadata(run))
    with pq.ParquetWriter(destination, schema, use_dictionary=["scan_number"]) as writer:
        scans: list[np.ndarray] = []
        mzs: list[np.ndarray] = []
        intensities: list[np.ndarray] = []
        pending = 0
        for scan in _selected_scans(run, ms_level):
            mz, intensity = run.peaks(scan)
            if not len(mz):
                continue
            scans.append(np.full(len(mz), scan, np.int32))
            mzs.append(mz)
            intensities.append(intensity)
            pending += len(mz)
            if pending >= row_group:
                pending = _write_row_groups(writer, scans, mzs, intensities, row_group)
        if pending:
            _write_row_groups(writer, scans, mzs, intensities, row_group, final=True)


def _write_row_groups(writer: pq.ParquetWriter, scans: list[np.ndarray], mzs: list[np.ndarray],
                      intensities: list[np.ndarray], row_group: int, final: bool = False) -> int:
    """Writes whole row groups of the gathered peaks (and the rest too when `final`);
    keeps the rest in the lists and answers its row count."""
    columns = [np.concatenate(parts) for parts in (scans, mzs, intensities)]
    rows = len(columns[0])
    whole = rows if final else rows - rows % row_group
    for start in range(0, whole, row_group):
        stop = min(start + row_group, whole)
        batch = pa.record_batch([column[start:stop] for column in columns], schema=writer.schema)
        writer.write_batch(batch, row_group_size=row_group)
    for parts, column in zip((scans, mzs, intensities), columns):
        parts[:] = [column[whole:]] if whole < rows else []
    return rows - whole


def write_scans(run: Run, destination: str | os.PathLike[str], ms_level: int | None = None) -> None:
    """Writes the scan table with its header-value columns and metadata."""
    table = scans_table(run, ms_level)
    pq.write_table(table.replace_schema_metadata(header_metadata(run)), destination)


def write_parquet(run: Run, scans_destination: str | os.PathLike[str],
                  peaks_destination: str | os.PathLike[str], ms_level: int | None = None) -> None:
    """Writes both Parquet files of a run."""
    write_scans(run, scans_destination, ms_level)
    write_peaks(run, peaks_destination, ms_level)


def read_header_metadata(path: str | os.PathLike[str]) -> dict[str, str]:
    """The header values stored in an exported file's metadata (for readers and tests)."""
    metadata = pq.read_metadata(Path(path)).metadata or {}
    prefix = METADATA_PREFIX.encode()
    return {key[len(prefix):].decode(): value.decode() for key, value in metadata.items()
            if key.startswith(prefix)}
