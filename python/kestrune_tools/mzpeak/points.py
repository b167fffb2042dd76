"""`spectra_data.parquet`: every peak written as a row of the point layout, one row
group for each group of scans the pass reads."""

from __future__ import annotations

from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from types import TracebackType
from typing import IO, TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from kestrune_tools.mzpeak.schema import (
    FLOAT32,
    FLOAT64,
    INTENSITY_ARRAY,
    MZ_ARRAY,
    POINT,
    SPECTRA_DATA_SCHEMA,
    array_entry,
    json_metadata,
    member_options,
)
from kestrune_tools.parquet import pass_in_groups
from kestrune_tools.psi import DETECTOR_COUNTS, MZ

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from kestrune_tools.runs import PeakStats, Run, RunPeaks

SPECTRUM_ARRAY_INDEX = {"prefix": "point", "entries": [
    array_entry("spectrum", "point.mz", FLOAT64, MZ_ARRAY, "m/z array", MZ, 0),
    array_entry("spectrum", "point.intensity", FLOAT32, INTENSITY_ARRAY, "intensity array", DETECTOR_COUNTS, None),
]}


def write_spectrum_points(run: Run, scans: list[int], stream: IO[bytes]) -> PeakStats:
    """Writes every peak of `scans`, a row group for each group of scans the pass reads;
    answers the scans' statistics. A group is encoded and compressed in a second thread
    while the pass reads the next one (both without the interpreter lock): two groups'
    peaks at most are held at once, as in the Parquet export."""
    options = member_options("spectrum_index", ("mz", "intensity"))
    with pq.ParquetWriter(stream, SPECTRA_DATA_SCHEMA, **options) as writer, _OneBehind() as behind:
        writer.add_key_value_metadata(json_metadata({"spectrum_array_index": SPECTRUM_ARRAY_INDEX}))
        first = 0

        def write_group(peaks: RunPeaks) -> None:
            nonlocal first
            if len(peaks.mz):  # a group of scans without peaks makes no empty row group
                behind.run(_write_points, writer, peaks, first)
            first += len(peaks.offsets) - 1

        made = pass_in_groups(run, scans, write_group)
    return made.stats


def _write_points(writer: pq.ParquetWriter, peaks: RunPeaks, first: int) -> None:
    writer.write_batch(point_batch(peaks, first), row_group_size=len(peaks.mz))


class _OneBehind:
    """Runs each call in a worker thread once the call before it has ended; its errors
    are raised by the next call, or when the block ends."""

    def __init__(self) -> None:
        self.pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="kestrune-mzpeak")
        self.pending: Future[Any] | None = None

    def __enter__(self) -> _OneBehind:
        return self

    def run(self, call: Callable[..., Any], *arguments: Any, **keywords: Any) -> None:
        self._wait()
        self.pending = self.pool.submit(call, *arguments, **keywords)

    def _wait(self) -> None:
        pending, self.pending = self.pending, None
        if pending is not None:
            pending.result()

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        try:
            if kind is None:
                self._wait()
        finally:
            self.pool.shutdown(wait=True)


def point_batch(peaks: RunPeaks, first: int) -> pa.RecordBatch:
    """A group's peaks as rows of the point layout, its first scan being spectrum
    `first`: the pass's arrays themselves, wrapped without a copy, where they are in
    m/z order."""
    index = np.repeat(np.arange(first, first + len(peaks.offsets) - 1, dtype=np.uint64), np.diff(peaks.offsets))
    mz, intensity = _in_mz_order(index, peaks.mz, peaks.intensity)
    point = pa.StructArray.from_arrays([pa.array(index), pa.array(mz), pa.array(intensity)], fields=list(POINT))
    return pa.record_batch([point], schema=SPECTRA_DATA_SCHEMA)


def _in_mz_order(index: NDArray[np.uint64], mz: NDArray[np.float64],
                 intensity: NDArray[np.float32]) -> tuple[NDArray[np.float64], NDArray[np.float32]]:
    """The peaks by ascending m/z within each spectrum: the arrays themselves where they
    are (every file written by an instrument), else a sorted copy (NaN last, ties in the
    file's order)."""
    out_of_order = ~(mz[1:] >= mz[:-1]) & (index[1:] == index[:-1])
    if not out_of_order.any():
        return mz, intensity
    order = np.lexsort((mz, index))
    return mz[order], intensity[order]
