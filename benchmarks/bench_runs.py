"""What the companion's run interface costs over the reader's own calls.

Writes two version-66 orbitrap files of 145 scans of 20000 peaks each (every fourth
scan a survey scan, the others fragment scans), one just long enough for its
content (about 42 MB) and one sparse file of 4 GiB whose scans are spread over the
whole length, and prints for each the median wall time of:

- iterating `run.spectra()`, against `get_peaks` and the five per-scan queries
  (`get_rt`, `get_injection_time`, `get_master_scan`, `get_charge_state`,
  `get_monoisotopic_mz`) for every scan, called directly;
- `run.xic` for 100 targets over every scan, against one `get_peaks` per scan;
- `run.scan_table()`, against `list_spectra()` plus one `get_peaks` per scan.

A run reads its per-scan values (the MS level needs each scan's trailer) once, at
their first use: "cold" figures time a run whose values are not read yet, "warm"
ones a run that has read them (cold figures include opening the run, some 20 us). Baselines and the run's calls are timed in turn,
round by round, in the same process, so the ratios compare like with like. Figures
and ratios only, no thresholds.

    python benchmarks/bench_runs.py            # both files
    python benchmarks/bench_runs.py --small    # the 42 MB file only: a quick smoke run
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time
from collections.abc import Callable

import numpy as np

import kestrune
import kestrune_tools.synthetic as sr
from kestrune_tools.runs import open_run

PEAKS = 20_000
TARGETS = 100
GiB = 1 << 30
WIDE = np.dtype([("mz", "<f8"), ("intensity", "<f4")])
# The scan index and the trailer records of the orbitrap profile: no scan data there.
RESERVED = (sr.ORBITRAP_INDEX_AT, sr.trailer_at(sr.scan_count(66) + 1))
PER_SCAN = ("get_rt", "get_injection_time", "get_master_scan", "get_charge_state", "get_monoisotopic_mz")
TARGETS_RATIO = {"spectra": 1.2, "xic": 1.5, "scan_table": 1.5}


def peak_block(seed: int) -> bytes:
    rng = np.random.default_rng(seed)
    records = np.zeros(PEAKS, dtype=WIDE)
    records["mz"] = np.sort(rng.uniform(150.0, 2000.0, PEAKS))
    records["intensity"] = rng.gamma(2.0, 5e4, PEAKS)
    return np.uint32(PEAKS).tobytes() + records.tobytes()


def scan_offsets(count: int, size: int, length: int) -> list[int]:
    """Contiguous scans up to the reserved tables, the rest spread over the length."""
    offsets, at = [], sr.ORBITRAP_FIRST_SCAN_AT
    while at + size <= RESERVED[0] and len(offsets) < count:
        offsets.append(at)
        at += size
    rest = count - len(offsets)
    stride = max(size, (length - RESERVED[1] - size) // max(rest, 1))
    offsets += [RESERVED[1] + stride * k for k in range(rest)]
    return offsets


def build(length: int) -> sr.RawFile:
    count = sr.scan_count(66)
    blocks = [peak_block(scan) for scan in range(1, count + 1)]
    offsets = scan_offsets(count, len(blocks[0]), length)
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


def direct_table(reader: kestrune.RawFileReader) -> None:
    reader.list_spectra()
    direct_peaks(reader)


def median_times(calls: dict[str, Callable[[], object]], rounds: int) -> dict[str, float]:
    """Median seconds of each call, the calls timed in turn round by round."""
    times: dict[str, list[float]] = {name: [] for name in calls}
    for name, call in calls.items():
        call()  # warm-up: page cache, NumPy's first use
    for _ in range(rounds):
        for name, call in calls.items():
            start = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in times.items()}


def measure(path: str, rounds: int) -> dict[str, float]:
    run = open_run(path)
    reader = run.reader
    targets = np.linspace(400.0, 1800.0, TARGETS)
    return median_times({
        "direct spectra": lambda: direct_spectra(reader),
        "spectra, cold": lambda: sum(1 for _ in open_run(path).spectra()),
        "spectra, warm": lambda: sum(1 for _ in run.spectra()),
        "direct peaks": lambda: direct_peaks(reader),
        "xic, cold": lambda: open_run(path).xic(targets, ppm=10.0, ms_level=None),
        "xic, warm": lambda: run.xic(targets, ppm=10.0, ms_level=None),
        "direct table": lambda: direct_table(reader),
        "scan_table, cold": lambda: open_run(path).scan_table(),
        "scan_table, warm": lambda: run.scan_table(),
        "per-scan values": lambda: open_run(path).ms_levels(),
    }, rounds)


def report(name: str, times: dict[str, float]) -> str:
    lines = [f"{name}:"]
    for label, value in times.items():
        lines.append(f"  {label:<18} {value * 1e3:9.2f} ms")
    for call, baseline in (("spectra", "direct spectra"), ("xic", "direct peaks"),
                           ("scan_table", "direct table")):
        cold, warm = (times[f"{call}, {state}"] / times[baseline] for state in ("cold", "warm"))
        lines.append(f"  ratio {call:<11} cold {cold:5.2f}x  warm {warm:5.2f}x  "
                     f"(target {TARGETS_RATIO[call]}x, against {baseline})")
    return "\n".join(lines)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--small", action="store_true", help="the small file only")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args(argv[1:])
    sizes = {"42 MB": 0} if args.small else {"42 MB": 0, "4 GiB sparse": 4 * GiB}
    with tempfile.TemporaryDirectory(prefix="kestrune-bench-runs-") as directory:
        for label, length in sizes.items():
            path = build(length).write(os.path.join(directory, f"runs_{length}_orbitrap.raw"))
            print(f"{report(f'{label} ({os.path.getsize(path)} bytes)', measure(path, args.rounds))}",
                  flush=True)
            os.remove(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
