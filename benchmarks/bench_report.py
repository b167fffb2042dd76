"""What a run report costs on a 4 GiB run against an 8 MiB one.

Writes the demo run (145 scans, instrument method, status-log and error-log texts)
twice, as a sparse file of 8 MiB and of 4 GiB (the same content near the start,
holes after it), then times `write_run_report` on each, the two in turn round by
round so that a change in the machine's load hits both alike. Prints the median
seconds of each and their ratio (the target is at most 1.5); asserts nothing.

The status-log labels are followed by value records, as in an instrument's file: the
label scan looks for the start of a next label before its one-character stop rule
applies, so in the demo file, whose labels run into the holes, it passes over them
to the file's end. A run whose file holds no status-log or error-log text is the
exception: the reader searches the whole file for them. `--without-logs` times
that case too.

    python benchmarks/bench_report.py [--rounds 5] [--without-logs]
"""

from __future__ import annotations

import argparse
import statistics
import struct
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import kestrune_tools.synthetic as sr
from kestrune_tools.report import write_run_report

MiB = 1 << 20
GiB = 1 << 30
SIZES = {"8 MiB": 8 * MiB, "4 GiB": 4 * GiB}


def medians(jobs: dict[str, Callable[[], object]], rounds: int) -> dict[str, float]:
    times: dict[str, list[float]] = {name: [] for name in jobs}
    for job in jobs.values():
        job()  # warm-up: imports, page cache
    for _ in range(rounds):
        for name, job in jobs.items():
            start = time.perf_counter()
            job()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in times.items()}


def demo_run(logs: bool) -> sr.RawFile:
    raw = sr.demo_file()
    if logs:
        texts = sr.with_demo_texts(raw).pieces[sr.DEMO_LOGS_AT]
        raw.put(sr.DEMO_LOGS_AT + len(texts), struct.pack("<II", 65, 66))  # value records: the labels end
    return raw


def report_jobs(directory: Path, logs: bool) -> dict[str, Callable[[], object]]:
    jobs: dict[str, Callable[[], object]] = {}
    for label, length in SIZES.items():
        raw = demo_run(logs).at_least(length)
        tag = label.replace(" ", "")
        path = raw.write(directory / f"{tag}{'' if logs else '_nolog'}_orbitrap.raw")
        page = directory / f"{tag}.html"
        jobs[label] = lambda path=path, page=page: write_run_report(path, page)
    return jobs


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--without-logs", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        for logs in (True, False) if args.without_logs else (True,):
            times = medians(report_jobs(Path(directory), logs), args.rounds)
            small, large = times["8 MiB"], times["4 GiB"]
            heading = "with log texts" if logs else "without log texts (whole-file log searches)"
            print(f"run report, demo run {heading}, median of {args.rounds}:")
            print(f"  8 MiB: {small:.3f} s   4 GiB: {large:.3f} s   ratio 4 GiB / 8 MiB: {large / small:.2f}"
                  + ("  (target <= 1.5)" if logs else ""))


if __name__ == "__main__":
    main()
