"""What the companion's run interface costs over the reader's own calls.

Writes version-66 orbitrap files of 145 scans (every fourth scan a survey scan, the
others fragment scans) of 20000 and of 199999 peaks each: one just long enough for
its content (about 35 MB and 348 MB), one sparse file of 4 GiB whose scans are
spread over the whole length, and one as long as the first whose peaks are spread
evenly over m/z 150 to 2000, as are its targets (random peaks and targets within
m/z 400 to 1800 elsewhere). For each it prints the best wall time over the rounds
(the figure least disturbed by other load on the machine) of:

- the baseline: one `get_peaks` per scan, every scan, as a user's loop would read;
- iterating `run.spectra()`, against `get_peaks` and the five per-scan queries
  (`get_rt`, `get_injection_time`, `get_master_scan`, `get_charge_state`,
  `get_monoisotopic_mz`) for every scan, called directly;
- `run.xic` for 100 and for 1000 targets over every scan (`ms_level=None`);
- `run.scan_table()`;
- `run.peak_table()`, the long table of every peak, against the scan-by-scan loop a
  user would write for it (`run.peaks` per scan, concatenated into a pyarrow table);
- the Parquet export of the run (both files, `write_parquet`), against the baseline
  plus pyarrow writing the same arrays (peaks and scan table) from memory;
- the mzPeak export of the run (`write_mzpeak`), against one pass reading every scan's
  peaks in the export's groups (`pass_in_groups`, the peaks dropped as they come), and
  against that pass plus pyarrow writing the same peaks from memory as the archive's
  peak member (same encodings, zstd and page index);
- the run-level pass (`Run.scan_pass`) on two runs, one after the other in one
  thread and side by side in two: the throughput ratio;
- the pass's peak extra memory with its peaks (199999 peaks; in a fresh process:
  the growth of the largest resident set, less the result arrays);
- the Parquet export's peak memory (199999 peaks; in a fresh process, once an export of
  the small demo run has paged in pyarrow's code: the growth of the largest resident
  set while it writes both files), and the mzPeak export's, measured alike; and the
  Parquet export's on each compact run with a first scan of 100 peaks beside the run
  as it is: a small first scan must not make the groups larger;
- the sizes of the mzPeak archive, of the zlib mzML and of the Parquet pair of the
  20000-peak run.

A run reads its per-scan values (the MS level needs each scan's trailer) once, at
their first use: "cold" figures time a run whose values are not read yet, "warm"
ones a run that has read them. Baselines and the run's calls are timed in turn,
round by round, in the same process, so the ratios compare like with like. Figures
and ratios only, no thresholds.

    python benchmarks/bench_runs.py            # both peak counts, both files
    python benchmarks/bench_runs.py --small    # 20000 peaks, the 35 MB file only: a quick smoke run
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

import kestrune
import kestrune_tools.synthetic as sr
from kestrune_tools import mzpeak
from kestrune_tools.mzpeak import write_mzpeak
from kestrune_tools.parquet import PASS_PEAK_BUDGET, pass_in_groups, write_parquet
from kestrune_tools.runs import Run, open_run

GiB = 1 << 30
WIDE = np.dtype([("mz", "<f8"), ("intensity", "<f4")])
# The scan index and the trailer records of the orbitrap profile: no scan data there.
RESERVED = (sr.ORBITRAP_INDEX_AT, sr.trailer_at(sr.scan_count(66) + 1))
PER_SCAN = ("get_rt", "get_injection_time", "get_master_scan", "get_charge_state", "get_monoisotopic_mz")
# Each ratio: (the call, its baseline, the target).
RATIOS = [
    ("spectra, warm", "direct spectra", 1.2),
    ("xic 100, cold", "direct peaks", 1.2),
    ("xic 100, warm", "direct peaks", 1.2),
    ("xic 1000, warm", "direct peaks", 1.5),
    ("scan_table, cold", "direct peaks", 1.1),
    ("scan_table, warm", "direct peaks", 1.1),
    ("peak table, warm", "scan-by-scan table", 1.0),
    ("parquet export", "direct peaks + pyarrow", 1.5),
    ("mzpeak export", "grouped pass", 2.0),
    ("mzpeak export", "grouped pass + pyarrow points", 1.5),
]


SPREAD = (150.0, 2000.0)  # the m/z range of every run's peaks


def peak_block(seed: int, peaks: int, even: bool) -> bytes:
    rng = np.random.default_rng(seed)
    records = np.zeros(peaks, dtype=WIDE)
    records["mz"] = np.linspace(*SPREAD, peaks) if even else np.sort(rng.uniform(*SPREAD, peaks))
    records["intensity"] = rng.gamma(2.0, 5e4, peaks)
    return np.uint32(peaks).tobytes() + records.tobytes()


def scan_offsets(count: int, size: int, length: int) -> list[int]:
    """Contiguous scans up to the reserved tables, the rest spread over the length."""
    offsets: list[int] = []
    at = sr.ORBITRAP_FIRST_SCAN_AT
    while at + size <= RESERVED[0] and len(offsets) < count:
        offsets.append(at)
        at += size
    rest = count - len(offsets)
    stride = max(size, (length - RESERVED[1] - size) // max(rest, 1))
    offsets += [RESERVED[1] + stride * k for k in range(rest)]
    return offsets


def build(length: int, peaks: int, first_peaks: int | None = None, even: bool = False) -> sr.RawFile:
    """A run of `peaks` peaks per scan (`first_peaks` in the first one, where given),
    spread evenly over the m/z range with `even`, else at random within it."""
    count = sr.scan_count(66)
    blocks = [peak_block(scan, first_peaks if scan == 1 and first_peaks else peaks, even)
              for scan in range(1, count + 1)]
    offsets = scan_offsets(count, max(len(block) for block in blocks), length)
    raw = sr.RawFile().header(version=66, creation_time=133_444_736_000_000_000)
    lengths = [b - a for a, b in zip(offsets, offsets[1:])] + [len(blocks[-1])]
    raw.orbitrap_index(lengths, [0.25 + 0.05 * k for k in range(count)])
    for scan, (at, block) in enumerate(zip(offsets, blocks), 1):
        raw.put(at, block)
        survey = (scan - 1) % 4 == 0
        raw.trailer(scan, sr.Trailer(
            injection_time=20.0 if survey else 54.5, master_scan=0 if survey else scan - (scan - 1) % 4,
            monoisotopic_mz=0.0 if survey else 400.0 + 12.5 * scan, charge=0 if survey else 2,
            resolution=120_000 if survey else 30_000, ms_order_byte=0 if survey else 1))
    return raw.at_least(length)


def direct_spectra(reader: kestrune.RawFileReader) -> None:
    queries = [getattr(reader, name) for name in PER_SCAN]
    for scan in range(1, reader.num_scans + 1):
        reader.get_peaks(scan)
        for query in queries:
            query(scan)


def direct_peaks(reader: kestrune.RawFileReader) -> None:
    for scan in range(1, reader.num_scans + 1):
        reader.get_peaks(scan)


def scan_by_scan_table(run: Run) -> pa.Table:
    """The long peak table the way a user's loop builds it: each scan's peaks through
    Python, then one concatenation."""
    scans, mzs, intensities = [], [], []
    for scan in run.scan_numbers:
        mz, intensity = run.peaks(scan)
        scans.append(np.full(len(mz), scan, dtype=np.int32))
        mzs.append(mz)
        intensities.append(intensity)
    return pa.table({"scan_number": np.concatenate(scans), "mz": np.concatenate(mzs),
                     "intensity": np.concatenate(intensities)})


def best_times(calls: dict[str, Callable[[], object]], rounds: int) -> dict[str, float]:
    """Best seconds of each call, the calls timed in turn round by round."""
    times: dict[str, list[float]] = {name: [] for name in calls}
    for name, call in calls.items():
        call()  # warm-up: page cache, NumPy's first use
    for _ in range(rounds):
        for name, call in calls.items():
            start = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - start)
    return {name: min(values) for name, values in times.items()}


def pyarrow_writing(run: Run, directory: str) -> Callable[[], None]:
    """pyarrow writing the export's arrays (made beforehand) to the two files."""
    scans = list(run.scan_numbers)
    made = run.scan_pass(scans, with_peaks=True)
    assert made.peaks is not None
    peaks = pa.table({"scan_number": made.peaks.scan_number, "mz": made.peaks.mz,
                      "intensity": made.peaks.intensity})
    table = run.scan_table_of(scans, made.stats)

    def write() -> None:
        scans_path, peaks_path = removed(os.path.join(directory, "baseline.scans.parquet"),
                                         os.path.join(directory, "baseline.peaks.parquet"))
        pq.write_table(table, scans_path)
        pq.write_table(peaks, peaks_path, row_group_size=1 << 20, use_dictionary=["scan_number"])
    return write


def pyarrow_point_writing(run: Run, directory: str) -> Callable[[], None]:
    """pyarrow writing the archive's peak member from arrays made beforehand."""
    made = run.scan_pass(list(run.scan_numbers), with_peaks=True)
    assert made.peaks is not None
    table = pa.Table.from_batches([mzpeak.point_batch(made.peaks, 0)])
    options = mzpeak.member_options("spectrum_index", ("mz", "intensity"))

    def write() -> None:
        pq.write_table(table, removed(os.path.join(directory, "baseline.points.parquet"))[0], **options)
    return write


def removed(*paths: str) -> tuple[str, ...]:
    """The paths, their files removed: every round writes new files, as a conversion
    does. Truncating a file written a moment ago waits for its write-back, a cost of
    the file system that falls on whichever writer opens its file first."""
    for path in paths:
        if os.path.exists(path):
            os.remove(path)
    return paths


def measure(path: str, rounds: int, directory: str, target_range: tuple[float, float]) -> dict[str, float]:
    run = open_run(path)
    reader = run.reader
    targets = {count: np.linspace(*target_range, count) for count in (100, 1000)}
    write_baseline = pyarrow_writing(run, directory)
    write_points = pyarrow_point_writing(run, directory)
    scans = os.path.join(directory, "export.scans.parquet")
    peaks = os.path.join(directory, "export.peaks.parquet")
    archive = os.path.join(directory, "export.mzpeak")
    every_scan = list(run.scan_numbers)
    times = best_times({
        "direct spectra": lambda: direct_spectra(reader),
        "spectra, warm": lambda: sum(1 for _ in run.spectra()),
        "direct peaks": lambda: direct_peaks(reader),
        "xic 100, cold": lambda: open_run(path).xic(targets[100], ppm=10.0, ms_level=None),
        "xic 100, warm": lambda: run.xic(targets[100], ppm=10.0, ms_level=None),
        "xic 1000, warm": lambda: run.xic(targets[1000], ppm=10.0, ms_level=None),
        "scan_table, cold": lambda: open_run(path).scan_table(),
        "scan_table, warm": lambda: run.scan_table(),
        "scan-by-scan table": lambda: scan_by_scan_table(run),
        "peak table, warm": lambda: run.peak_table(),
        "pyarrow writing": write_baseline,
        "parquet export": lambda: write_parquet(run, *removed(scans, peaks)),
        "pyarrow points": write_points,
        "grouped pass": lambda: pass_in_groups(run, every_scan, lambda peaks: None),
        "mzpeak export": lambda: write_mzpeak(run, removed(archive)[0]),
        "per-scan values": lambda: open_run(path).ms_levels(),
    }, rounds)
    times["direct peaks + pyarrow"] = times["direct peaks"] + times["pyarrow writing"]
    times["grouped pass + pyarrow points"] = times["grouped pass"] + times["pyarrow points"]
    return times


def two_threads(paths: tuple[str, str], rounds: int) -> float:
    """The pass's throughput in two threads on two runs over one thread on both."""
    runs = [open_run(path) for path in paths]
    scans = list(runs[0].scan_numbers)

    def one_thread() -> None:
        for run in runs:
            run.scan_pass(scans)

    def side_by_side() -> None:
        threads = [threading.Thread(target=run.scan_pass, args=(scans,)) for run in runs]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    times = best_times({"one": one_thread, "two": side_by_side}, rounds)
    return times["one"] / times["two"]


HIGH_WATER = """
import resource, sys
from kestrune_tools.runs import open_run

def high_water():  # bytes; /proc's figure is exact, getrusage's may lag behind it
    try:
        fields = dict(line.split(":", 1) for line in open("/proc/self/status"))
        return int(fields["VmHWM"].split()[0]) * 1024
    except (OSError, KeyError):
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
"""

MEMORY = HIGH_WATER + """
run = open_run(sys.argv[1])
scans = list(run.scan_numbers)
run.ms_levels()
before = high_water()
made = run.scan_pass(scans, with_peaks=True)
after = high_water()
arrays = sum(a.nbytes for a in (made.peaks.offsets, made.peaks.scan_number, made.peaks.mz, made.peaks.intensity,
                                made.stats.tic, made.stats.peak_count, made.stats.base_peak_mz,
                                made.stats.base_peak_intensity, made.stats.lowest_mz, made.stats.highest_mz))
print(after - before - arrays, arrays)
"""


EXPORT_MEMORY = HIGH_WATER + """
import kestrune_tools.synthetic as sr
from kestrune_tools.mzpeak import write_mzpeak
from kestrune_tools.parquet import write_parquet

def export(path):
    run = open_run(path)
    run.ms_levels()  # the per-scan values: no part of the export's memory
    before = high_water()
    if sys.argv[3] == "mzpeak":
        write_mzpeak(run, sys.argv[2] + ".mzpeak")
    else:
        write_parquet(run, sys.argv[2] + ".scans.parquet", sys.argv[2] + ".peaks.parquet")
    return high_water() - before

export(sr.with_demo_texts(sr.demo_file()).write(sys.argv[2] + "_demo_orbitrap.raw"))  # pages in the code it runs
print(export(sys.argv[1]))
"""


def export_memory(path: str, directory: str, format_name: str) -> int:
    """An export's peak extra bytes ("parquet": both files; "mzpeak": the archive) of a
    run whose per-scan values are read, after an export of the small demo run has paged
    in the code it runs."""
    out = subprocess.run([sys.executable, "-c", EXPORT_MEMORY, path, os.path.join(directory, "memory"), format_name],
                         capture_output=True, text=True, check=True)
    return int(out.stdout)


def archive_sizes(path: str, directory: str) -> dict[str, int]:
    """Bytes of the run's mzPeak archive, zlib mzML and Parquet pair."""
    from kestrune_tools.mzml import MzmlOptions, write_mzml

    stem = os.path.join(directory, "size")
    with open_run(path) as run:
        write_mzpeak(run, stem + ".mzpeak")
        write_mzml(run, stem + ".mzML", MzmlOptions(compression=True))
        write_parquet(run, stem + ".scans.parquet", stem + ".peaks.parquet")
    answer = {name: os.path.getsize(stem + suffix) for name, suffix in
              (("mzpeak", ".mzpeak"), ("zlib mzML", ".mzML"))}
    answer["parquet pair"] = sum(os.path.getsize(stem + suffix) for suffix in (".scans.parquet", ".peaks.parquet"))
    for suffix in (".mzpeak", ".mzML", ".scans.parquet", ".peaks.parquet"):
        os.remove(stem + suffix)
    return answer


SMALL_FIRST_SCAN = 100


def small_first_scan_memory(peaks: int, directory: str) -> str:
    """The Parquet export's peak extra memory on the run with a small first scan beside
    that on the run as it is: the groups of scans must not grow from the first's size."""
    extra = {}
    for first in (None, SMALL_FIRST_SCAN):
        path = build(0, peaks, first).write(os.path.join(directory, "first_scan_orbitrap.raw"))
        extra[first] = export_memory(path, directory, "parquet") / 2**20
        os.remove(path)
    budget = PASS_PEAK_BUDGET * (8 + 4 + 4) / 2**20  # m/z, intensity and scan number of each peak
    return (f"  parquet export, peak extra memory with a first scan of {SMALL_FIRST_SCAN} peaks: "
            f"{extra[SMALL_FIRST_SCAN]:.1f} MiB, {extra[None]:.1f} MiB without (a group's peak arrays: at most "
            f"{PASS_PEAK_BUDGET} peaks, {budget:.0f} MiB)")


def pass_memory(path: str) -> tuple[int, int]:
    """(peak extra bytes beyond the result arrays, the result arrays' bytes)."""
    out = subprocess.run([sys.executable, "-c", MEMORY, path], capture_output=True, text=True, check=True)
    extra, arrays = out.stdout.split()
    return int(extra), int(arrays)


def report(name: str, times: dict[str, float]) -> str:
    lines = [f"{name}:"]
    for label, value in times.items():
        lines.append(f"  {label:<24} {value * 1e3:9.2f} ms")
    for call, baseline, target in RATIOS:
        lines.append(f"  ratio {call:<18} {times[call] / times[baseline]:5.2f}x  (target {target}x, against {baseline})")
    return "\n".join(lines)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--small", action="store_true", help="20000 peaks, the compact file only")
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args(argv[1:])
    peak_counts = [20_000] if args.small else [20_000, 199_999]
    # Each layout: (the file's length, 0 for its content's; peaks spread evenly).
    layouts = {"compact": (0, False), "spread": (0, True)}
    if not args.small:
        layouts["4 GiB sparse"] = (4 * GiB, False)
    print(f"load average before: {os.getloadavg()}", flush=True)
    with tempfile.TemporaryDirectory(prefix="kestrune-bench-runs-") as directory:
        for peaks in peak_counts:
            rounds = args.rounds if peaks < 100_000 else max(3, args.rounds // 3)
            for label, (length, even) in layouts.items():
                raw = build(length, peaks, even=even)
                paths = (raw.write(os.path.join(directory, "runs_a_orbitrap.raw")),
                         raw.write(os.path.join(directory, "runs_b_orbitrap.raw")))
                times = measure(paths[0], rounds, directory, SPREAD if even else (400.0, 1800.0))
                print(report(f"{peaks} peaks, {label} ({os.path.getsize(paths[0])} bytes)", times), flush=True)
                print(f"  pass, two threads on two runs: {two_threads(paths, rounds):.2f}x the throughput "
                      "of one (target 1.6x)", flush=True)
                if peaks > 100_000 and not length:
                    extra, arrays = pass_memory(paths[0])
                    print(f"  pass with peaks, peak extra memory: {extra / 2**20:.1f} MiB beyond the "
                          f"{arrays / 2**20:.1f} MiB of result arrays (target 16 MiB)", flush=True)
                    memory = {name: export_memory(paths[0], directory, name) for name in ("parquet", "mzpeak")}
                    print(f"  parquet export, peak extra memory: {memory['parquet'] / 2**20:.1f} MiB", flush=True)
                    print(f"  mzpeak export, peak extra memory: {memory['mzpeak'] / 2**20:.1f} MiB, "
                          f"{memory['mzpeak'] / memory['parquet']:.2f}x the parquet export's (target 1.0x)", flush=True)
                if peaks < 100_000 and not length:
                    size = archive_sizes(paths[0], directory)
                    print(f"  sizes: mzpeak {size['mzpeak']} bytes, {size['mzpeak'] / size['zlib mzML']:.2f}x the "
                          f"zlib mzML (target 0.75x), {size['mzpeak'] / size['parquet pair']:.2f}x the parquet pair "
                          "(target 1.2x)", flush=True)
                for path in paths:
                    os.remove(path)
                if not length:
                    print(small_first_scan_memory(peaks, directory), flush=True)
    print(f"load average after: {os.getloadavg()}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
