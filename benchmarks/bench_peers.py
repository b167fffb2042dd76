"""kestrune against the field's mzML readers, on the same run after exporting it.

Writes the run of benchmarks/bench_runs.py (version-66 orbitrap, 145 scans of 20000
peaks), exports it to indexed mzML with `kestrune_tools.mzml.write_mzml` and to
Parquet (with `kestrune_tools.parquet` where this installation has it, otherwise
with the plain pyarrow tables this script writes: the scan table and the peaks as
scan_number int32, mz float64, intensity float32), then times in the same process,
each the median of a few rounds:

- "open + first spectrum": open the file and read the first spectrum's peaks;
- "random access": one scan's peaks on an open reader (the middle scan);
- "every spectrum": every spectrum's peaks, in order, on an open reader;
- "scan table": rt, MS level and precursor of every scan, from a fresh opening;

with `RawFileReader`, `kestrune_tools` (a run), pyteomics (`PreIndexedMzML`),
pymzml, pyopenms (`OnDiscMSExperiment`) and pyarrow on the Parquet files. It prints
the ratio of each mzML reader to kestrune_tools. Then the mzML export itself on an
8 MiB and a 4 GiB sparse run of the same small content, with the source checksum
(the one whole read of the input) as its own row. Figures and ratios only, no
thresholds.

    python benchmarks/bench_peers.py            # all of it
    python benchmarks/bench_peers.py --small    # the demo run, 8 MiB only: a smoke run
"""

from __future__ import annotations

import argparse
import logging
import os
import statistics
import sys
import tempfile
import time
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

import kestrune
import kestrune_tools.synthetic as sr
from kestrune_tools.mzml import MzmlOptions, psi_ms_vocabulary, source_checksum, write_mzml
from kestrune_tools.runs import open_run

with warnings.catch_warnings():  # pymzml's optional speed-ups and plots
    warnings.simplefilter("ignore", ImportWarning)
    import pymzml
import pyopenms
from pyteomics import mzml as pyteomics_mzml

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_runs  # noqa: E402  (the 145 x 20000-peak run)

MiB, GiB = 1 << 20, 1 << 30
# pymzml looks a spectrum up by opening the file again and leaves the handle to the
# collector; pyteomics warns when it indexes a file whose embedded index is short.
warnings.filterwarnings("ignore", category=ResourceWarning)
warnings.filterwarnings("ignore", "Could not extract the embedded offset index")
# pymzml logs each instrument model term its own vocabulary lacks, at every opening.
logging.getLogger("pymzml").setLevel(logging.ERROR)


def median_seconds(fn: Callable[[], Any], rounds: int) -> float:
    start = time.perf_counter()
    fn()  # warm-up: page cache, first-call set-up
    if time.perf_counter() - start > 2.0:
        rounds = 1  # a slow call varies little: one more is enough
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def write_parquet(path: str, scans_path: str, peaks_path: str) -> str:
    with open_run(path) as run:
        try:
            from kestrune_tools.parquet import write_parquet as write  # type: ignore[import-not-found]
        except ImportError:
            pq.write_table(run.scan_table(), scans_path)
            tables = [pa.table({"scan_number": np.full(len(s.mz), s.scan_number, np.int32),
                                "mz": s.mz, "intensity": s.intensity}) for s in run.spectra()]
            pq.write_table(pa.concat_tables(tables), peaks_path, row_group_size=1 << 20)
            return "pyarrow tables written by this benchmark"
        write(run, scans_path, peaks_path)
        return "kestrune_tools.parquet"


class Readers:
    """Per reader: open + first spectrum, random access, every spectrum, scan table."""

    def __init__(self, raw: str, mzml: str, scans: str, peaks: str, middle: int) -> None:
        self.raw, self.mzml, self.scans, self.peaks, self.middle = raw, mzml, scans, peaks, middle
        self.cv = psi_ms_vocabulary()
        self.reader = kestrune.RawFileReader(raw)
        self.run = open_run(raw)
        self.pyteomics = pyteomics_mzml.PreIndexedMzML(mzml, cv=self.cv)
        self.pymzml = pymzml.run.Reader(mzml)
        self.openms = pyopenms.OnDiscMSExperiment()
        self.openms.openFile(mzml)
        self.parquet = pq.ParquetFile(peaks)
        self.run[1]  # the run's per-scan values read once, as an open run has them

    def table(self) -> dict[str, dict[str, Callable[[], Any]]]:
        native, middle = f"scan={self.middle}", self.middle
        return {
            "RawFileReader": {
                "open + first spectrum": lambda: kestrune.RawFileReader(self.raw).get_peaks(1),
                "random access": lambda: self.reader.get_peaks(middle),
                "every spectrum": lambda: [self.reader.get_peaks(n) for n in range(1, self.reader.num_scans + 1)],
                "scan table": lambda: kestrune.RawFileReader(self.raw).list_spectra(),
            },
            "kestrune_tools": {
                "open + first spectrum": lambda: open_run(self.raw).peaks(1),
                "random access": lambda: self.run[middle],
                "every spectrum": lambda: [s.mz for s in self.run.spectra()],
                "scan table": lambda: open_run(self.raw).scan_table(),
            },
            "pyteomics": {
                "open + first spectrum": lambda: next(iter(pyteomics_mzml.MzML(self.mzml, cv=self.cv, use_index=False))),
                "random access": lambda: self.pyteomics.get_by_id(native)["m/z array"],
                "every spectrum": lambda: [s["m/z array"] for s in self.pyteomics.iterfind("spectrum")],
                "scan table": self.pyteomics_scan_table,
            },
            "pymzml": {
                "open + first spectrum": lambda: next(iter(pymzml.run.Reader(self.mzml))).mz,
                "random access": lambda: self.pymzml[middle].mz,
                "every spectrum": lambda: [(s.mz, s.i) for s in pymzml.run.Reader(self.mzml)],
                "scan table": lambda: [(s.ID, s.ms_level, s.scan_time_in_minutes(), s.selected_precursors)
                                       for s in pymzml.run.Reader(self.mzml)],
            },
            "pyopenms": {
                "open + first spectrum": self.openms_first,
                "random access": lambda: self.openms.getSpectrum(middle - 1).get_peaks(),
                "every spectrum": lambda: [self.openms.getSpectrum(k).get_peaks()
                                           for k in range(self.openms.getNrSpectra())],
                "scan table": self.openms_scan_table,
            },
            "pyarrow (Parquet)": {
                "open + first spectrum": lambda: pq.ParquetFile(self.peaks).read_row_group(0),
                "random access": lambda: pq.read_table(self.peaks, filters=[("scan_number", "=", middle)]),
                "every spectrum": lambda: pq.read_table(self.peaks),
                "scan table": lambda: pq.read_table(self.scans),
            },
        }

    def pyteomics_scan_table(self) -> list[Any]:
        with pyteomics_mzml.PreIndexedMzML(self.mzml, cv=self.cv, decode_binary=False) as reader:
            return [(s["id"], s["ms level"], s["scanList"]["scan"][0]["scan start time"], s.get("precursorList"))
                    for s in reader.iterfind("spectrum")]

    def openms_first(self) -> Any:
        experiment = pyopenms.OnDiscMSExperiment()
        experiment.openFile(self.mzml)
        return experiment.getSpectrum(0).get_peaks()

    def openms_scan_table(self) -> list[Any]:
        experiment = pyopenms.OnDiscMSExperiment()
        experiment.openFile(self.mzml)  # the spectra's metadata; peaks stay on disk
        return [(s.getNativeID(), s.getMSLevel(), s.getRT(), [p.getMZ() for p in s.getPrecursors()])
                for s in experiment.getMetaData().getSpectra()]


def compare(directory: str, small: bool, rounds: int) -> None:
    raw = os.path.join(directory, "peers_orbitrap.raw")
    content = sr.demo_file() if small else bench_runs.build(0, 20_000)
    content.write(raw)
    mzml, scans, peaks = (os.path.join(directory, name) for name in ("peers.mzML", "peers.scans.parquet",
                                                                     "peers.peaks.parquet"))
    start = time.perf_counter()
    with open_run(raw) as run:
        write_mzml(run, mzml, MzmlOptions())
        middle = len(run) // 2 + 1
    print(f"run: {os.path.getsize(raw) / MiB:.1f} MiB, mzML {os.path.getsize(mzml) / MiB:.1f} MiB "
          f"(written in {time.perf_counter() - start:.2f} s); Parquet: {write_parquet(raw, scans, peaks)}")
    rows = Readers(raw, mzml, scans, peaks, middle).table()
    operations = list(next(iter(rows.values())))
    figures = {name: {op: median_seconds(fn, rounds) for op, fn in ops.items()} for name, ops in rows.items()}
    print(f"\n| reader | {' | '.join(operations)} |\n|---|{'---|' * len(operations)}")
    for name, row in figures.items():
        print(f"| {name} | {' | '.join(milliseconds(row[op]) for op in operations)} |")
    print("\nfastest mzML reader / kestrune_tools (how many times faster kestrune_tools is):")
    for op in operations:
        fastest = min((figures[name][op], name) for name in ("pyteomics", "pymzml", "pyopenms"))
        print(f"  {op}: {fastest[0] / figures['kestrune_tools'][op]:.1f}x (fastest: {fastest[1]})")


def milliseconds(seconds: float) -> str:
    return f"{seconds * 1e3:.3g} ms"


def conversion(directory: str, small: bool) -> None:
    sizes = [8 * MiB] if small else [8 * MiB, 4 * GiB]
    labels = [f"{size // GiB} GiB" if size >= GiB else f"{size // MiB} MiB" for size in sizes]
    print(f"\n| mzML export of the demo content | {' | '.join(labels)} |\n|---|{'---|' * len(sizes)}")
    paths = [sr.with_demo_texts(sr.demo_file()).at_least(size).write(os.path.join(directory, f"{size}_orbitrap.raw"))
             for size in sizes]
    for label, fn in (("source checksum (SHA-1)", lambda path: source_checksum(path)),
                      ("write_mzml (checksum included)", lambda path: export(path, directory))):
        print(f"| {label} | {' | '.join(milliseconds(median_seconds(lambda: fn(p), 2)) for p in paths)} |")
    for path in paths:
        os.remove(path)


def export(path: str, directory: str) -> None:
    with open_run(path) as run:
        write_mzml(run, os.path.join(directory, "export.mzML"))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--small", action="store_true", help="the demo run and the 8 MiB file only")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        compare(directory, args.small, rounds=3 if args.small else 5)
        conversion(directory, args.small)


if __name__ == "__main__":
    main()
