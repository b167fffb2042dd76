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

Both files come from one pass over the run's peaks (`export_pass`): the scan table's
statistics and the peaks file's columns are the same pass's arrays, and each scan's
peaks are read once for the two.
"""

from __future__ import annotations

import datetime
import os
from pathlib import Path
from typing import TYPE_CHECKING

import pyarrow as pa
import pyarrow.parquet as pq

if TYPE_CHECKING:
    from kestrune_tools.runs import Run, ScanPass

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


def scans_table(run: Run, ms_level: int | None = None, scan_pass: ExportPass | None = None) -> pa.Table:
    """The run's scan table (only the scans of `ms_level` if given) preceded by the
    header-value columns, with no schema metadata. The statistics come from
    `scan_pass` where one is given (of the same `ms_level`), else from a pass now."""
    if scan_pass is None:
        scans = _selected_scans(run, ms_level)
        scan_pass = scans, run.scan_pass(scans)
    scans, made = scan_pass
    table = run.scan_table_of(scans, made.stats)
    return with_constant_columns(table, header_values(run), HEADER_TYPES)


def _selected_scans(run: Run, ms_level: int | None) -> list[int]:
    if ms_level is None:
        return list(run.scan_numbers)
    levels = run.ms_levels()
    return [scan for scan in run.scan_numbers if levels[scan - 1] == ms_level]


ExportPass = tuple[list[int], "ScanPass"]


def export_pass(run: Run, ms_level: int | None = None) -> ExportPass:
    """The scans of `ms_level` (every scan for None) and one pass over them with
    their peaks: what both files are written from."""
    scans = _selected_scans(run, ms_level)
    return scans, run.scan_pass(scans, with_peaks=True)


def write_peaks(run: Run, destination: str | os.PathLike[str], ms_level: int | None = None,
                row_group: int = PEAK_ROW_GROUP, scan_pass: ExportPass | None = None) -> None:
    """Writes the peaks of every scan (of `ms_level` if given) in scan order, from
    `scan_pass` where one is given (of the same `ms_level`)."""
    _, made = scan_pass or export_pass(run, ms_level)
    peaks = made.peaks
    if peaks is None:
        raise ValueError("write_peaks needs a pass made with its peaks (export_pass)")
    schema = PEAK_SCHEMA.with_metadata(header_metadata(run))
    columns = (peaks.scan_number, peaks.mz, peaks.intensity)  # wrapped by pyarrow, not copied
    with pq.ParquetWriter(destination, schema, use_dictionary=["scan_number"]) as writer:
        for start in range(0, len(peaks.mz), row_group):
            batch = pa.record_batch([column[start:start + row_group] for column in columns], schema=writer.schema)
            writer.write_batch(batch, row_group_size=row_group)


def write_scans(run: Run, destination: str | os.PathLike[str], ms_level: int | None = None,
                scan_pass: ExportPass | None = None) -> None:
    """Writes the scan table with its header-value columns and metadata."""
    table = scans_table(run, ms_level, scan_pass)
    pq.write_table(table.replace_schema_metadata(header_metadata(run)), destination)


def write_parquet(run: Run, scans_destination: str | os.PathLike[str],
                  peaks_destination: str | os.PathLike[str], ms_level: int | None = None) -> None:
    """Writes both Parquet files of a run from one pass over its peaks."""
    made = export_pass(run, ms_level)
    write_scans(run, scans_destination, ms_level, made)
    write_peaks(run, peaks_destination, ms_level, scan_pass=made)


def read_header_metadata(path: str | os.PathLike[str]) -> dict[str, str]:
    """The header values stored in an exported file's metadata (for readers and tests)."""
    metadata = pq.read_metadata(Path(path)).metadata or {}
    prefix = METADATA_PREFIX.encode()
    return {key[len(prefix):].decode(): value.decode() for key, value in metadata.items()
            if key.startswith(prefix)}
