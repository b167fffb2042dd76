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

Both files come from one reading of the run's peaks (`write_parquet`): the pass runs
over groups of consecutive scans, each group's peaks are written to the peaks file as
they come and its statistics kept, and the scan table is written from them at the
end. Each scan's peaks are read once for the two files, and the export holds about
`PASS_PEAK_BUDGET` peaks at a time, not the run's.
"""

from __future__ import annotations

import contextlib
import datetime
import operator
import os
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING, SupportsIndex

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from kestrune_tools import arrow
from kestrune_tools.outputs import atomic_destinations
from kestrune_tools.runs import PeakStats, ScanPass

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from kestrune_tools.runs import Run, RunPeaks

PEAK_ROW_GROUP = 1 << 20
# The peaks one pass of the export holds at a time: a group of scans ends before the
# scan whose peak block (its count read before its peaks) would take it past this
# many, or at `MAX_GROUP_SCANS`, a bound on a group of empty scans. Only a single
# scan larger than the budget makes a group that holds more.
PASS_PEAK_BUDGET = PEAK_ROW_GROUP
MAX_GROUP_SCANS = 256
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
    values = {**header_values(run), "profile": run.profile}  # metadata only: the columns stay
    texts = {name: value.isoformat() if isinstance(value, datetime.datetime) else
             "" if value is None else str(value) for name, value in values.items()}
    return {METADATA_PREFIX + name: text for name, text in texts.items()}


def with_constant_columns(table: pa.Table, values: dict[str, object],
                          types: dict[str, pa.DataType]) -> pa.Table:
    """`table` preceded by one column per value, the same value on every row."""
    columns = [arrow.repeated([value], types[name], [table.num_rows]) for name, value in values.items()]
    fields = [pa.field(name, types[name]) for name in values] + list(table.schema)
    return pa.Table.from_arrays(columns + table.columns, schema=pa.schema(fields))


def scans_table(run: Run, ms_level: int | None = None, scan_pass: ExportPass | None = None) -> pa.Table:
    """The run's scan table (only the scans of `ms_level` if given) preceded by the
    header-value columns, with no schema metadata. The statistics come from
    `scan_pass` where one is given (of the same `ms_level`), else from a pass now."""
    if scan_pass is None:
        scans = run.export_scans(ms_level).written
        scan_pass = scans, run.scan_pass(scans)
    scans, made = scan_pass
    table = run.scan_table_of(scans, made.stats)
    return with_constant_columns(table, header_values(run), HEADER_TYPES)


ExportPass = tuple[list[int], "ScanPass"]
_Columns = tuple["NDArray[np.generic]", ...]  # scan number, m/z, intensity


def export_pass(run: Run, ms_level: int | None = None) -> ExportPass:
    """The scans of `ms_level` (every scan for None) and one pass over them with
    their peaks, all of them in memory at once: what both files can be written from
    (`write_parquet` reads them in groups instead)."""
    scans = run.export_scans(ms_level).written
    return scans, run.scan_pass(scans, with_peaks=True)


def write_peaks(run: Run, destination: str | os.PathLike[str], ms_level: int | None = None,
                row_group: int = PEAK_ROW_GROUP, scan_pass: ExportPass | None = None) -> ExportPass:
    """Writes the peaks of every scan (of `ms_level` if given) in scan order, from
    `scan_pass` where one is given (of the same `ms_level`), else from passes over
    groups of scans made now. Answers the scans and their statistics, what
    `write_scans` writes the scan table from. The file appears complete or not at
    all (`outputs.atomic_destinations`)."""
    _check_peak_arguments(row_group, scan_pass)
    with atomic_destinations([destination]) as (path,):
        return _write_peaks(run, path, ms_level, row_group, scan_pass)


def _check_peak_arguments(row_group: int, scan_pass: ExportPass | None) -> None:
    """Before any file is made."""
    if isinstance(row_group, bool) or not isinstance(row_group, SupportsIndex):
        raise TypeError(f"row_group is a whole number of rows, not {type(row_group).__name__}")
    if operator.index(row_group) < 1:  # a size below one row would never end, or write no peaks
        raise ValueError(f"row_group must be at least 1 row, not {row_group}")
    if scan_pass is not None and scan_pass[1].peaks is None:
        raise ValueError("write_peaks needs a pass made with its peaks (export_pass)")


def _write_peaks(run: Run, destination: Path, ms_level: int | None, row_group: int,
                 scan_pass: ExportPass | None) -> ExportPass:
    schema = PEAK_SCHEMA.with_metadata(header_metadata(run))
    row_group = operator.index(row_group)
    with _PeakRowGroups(destination, schema, row_group) as row_groups:
        if scan_pass is not None and scan_pass[1].peaks is not None:
            row_groups.add(scan_pass[1].peaks)
            answer = scan_pass
        else:
            scans = run.export_scans(ms_level).written
            answer = scans, pass_in_groups(run, scans, row_groups.add)
    return answer


def pass_in_groups(run: Run, scans: list[int], take_peaks: Callable[[RunPeaks], None]) -> ScanPass:
    """One pass over consecutive groups of `scans` (at least one pass, for no scans too),
    each group's peaks handed to `take_peaks` and dropped before the next group is read:
    the statistics of all the scans. Every export that writes each scan's peaks reads
    them through this, within `PASS_PEAK_BUDGET`."""
    parts: list[PeakStats] = []
    start = 0
    while True:
        made = run.scan_pass(scans[start:start + MAX_GROUP_SCANS], with_peaks=True, peak_budget=PASS_PEAK_BUDGET)
        assert made.peaks is not None
        take_peaks(made.peaks)
        parts.append(made.stats)
        start += len(made.stats.peak_count)
        del made  # its peaks go before the next group's are read
        if start >= len(scans):
            break
    return ScanPass(PeakStats.joined(parts), np.zeros((0, len(scans))), None)


class _PeakRowGroups:
    """Writes peaks handed over in pieces (consecutive scans) in row groups of exactly
    `size` rows, the last one shorter, as from one array of all of them. A row group is
    slices of the pieces' arrays, wrapped by pyarrow without a copy (as chunks where it
    spans pieces); the rows short of a whole row group wait, as slices, for the next
    piece (which keeps their piece's arrays until then: two groups' peaks at most). Errors of writing name the file (`_naming`); those of reading stay the input's."""

    def __init__(self, destination: str | os.PathLike[str], schema: pa.Schema, size: int) -> None:
        self.destination = destination
        with _naming(destination):
            self.writer = pq.ParquetWriter(destination, schema, use_dictionary=["scan_number"])
        self.size = size
        self.waiting: list[_Columns] = []  # fewer than `size` rows in all
        self.waiting_rows = 0

    def __enter__(self) -> _PeakRowGroups:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        with _naming(self.destination):
            if kind is None and self.waiting_rows:
                self._write(self.waiting)
            self.writer.close()

    def add(self, peaks: RunPeaks) -> None:
        columns = (peaks.scan_number, peaks.mz, peaks.intensity)
        rows, start = len(peaks.mz), 0
        while rows - start >= self.size - self.waiting_rows:
            stop = start + self.size - self.waiting_rows
            self._write(self.waiting + [tuple(column[start:stop] for column in columns)])
            self.waiting, self.waiting_rows, start = [], 0, stop
        if start < rows:
            self.waiting.append(tuple(column[start:] for column in columns))
            self.waiting_rows += rows - start

    def _write(self, pieces: list[_Columns]) -> None:
        with _naming(self.destination):
            if len(pieces) == 1:
                batch = pa.record_batch(list(pieces[0]), schema=self.writer.schema)
                self.writer.write_batch(batch, row_group_size=self.size)
                return
            chunks = [pa.chunked_array([piece[k] for piece in pieces]) for k in range(len(pieces[0]))]
            table = pa.Table.from_arrays(chunks, schema=self.writer.schema)
            self.writer.write_table(table, row_group_size=self.size)


def write_scans(run: Run, destination: str | os.PathLike[str], ms_level: int | None = None,
                scan_pass: ExportPass | None = None) -> None:
    """Writes the scan table with its header-value columns and metadata; the file
    appears complete or not at all."""
    with atomic_destinations([destination]) as (path,):
        table = scans_table(run, ms_level, scan_pass)
        with _naming(path):
            pq.write_table(table.replace_schema_metadata(header_metadata(run)), path)


@contextlib.contextmanager
def _naming(destination: str | os.PathLike[str]) -> Iterator[None]:
    """An error of writing `destination` that names no file (as pyarrow's do) names it,
    so that a full disk is reported against the file that filled it."""
    try:
        yield
    except OSError as error:
        if error.filename is None and error.errno is not None:
            error.filename = os.fspath(destination)
        raise


def write_parquet(run: Run, scans_destination: str | os.PathLike[str] | None,
                  peaks_destination: str | os.PathLike[str] | None, ms_level: int | None = None) -> None:
    """Write a run's scan table and peak table as Parquet, reading each scan's peaks once;
    both files appear complete, or neither does.

    Parameters
    ----------
    run : Run
    scans_destination : str or os.PathLike or None
        The scan-table file; None leaves it out.
    peaks_destination : str or os.PathLike or None
        The peak file; None leaves it out.
    ms_level : int, optional
        Only the scans of this MS level (every scan for None).

    Examples
    --------
    >>> from kestrune_tools.parquet import write_parquet
    >>> with open_run("run_orbitrap.raw") as run:              # doctest: +SKIP
    ...     write_parquet(run, "run.scans.parquet", "run.peaks.parquet")
    """
    named = {part: destination for part, destination in (("peaks", peaks_destination), ("scans", scans_destination))
             if destination is not None}
    with atomic_destinations(list(named.values())) as paths:
        path = dict(zip(named, paths))  # temporary names, which the writers below write as they are
        made = None if "peaks" not in path else write_peaks(run, path["peaks"], ms_level)
        if "scans" in path:
            write_scans(run, path["scans"], ms_level, made)


def read_header_metadata(path: str | os.PathLike[str]) -> dict[str, str]:
    """The header values stored in an exported file's metadata (for readers and tests)."""
    metadata = pq.read_metadata(Path(path)).metadata or {}
    prefix = METADATA_PREFIX.encode()
    return {key[len(prefix):].decode(): value.decode() for key, value in metadata.items()
            if key.startswith(prefix)}
