"""Conversion benchmark: the kestrune command on many runs and on large ones.

Prints four tables (figures from one run on this machine; no thresholds):

1. files per second to each format (and the catalog) with 1 and 2 workers over a
   batch of synthetic runs (the demo acquisition: 145 scans, about 16 000 peaks),
   through `kestrune_tools.cli.main` as the command runs them, pool start included
   (the best of three batches, one for mzML);
2. the cost of one run on an 8 MiB and on a 4 GiB sparse file with the same scans:
   each export reads the bytes its scans need, so the ratio stays near 1; mzML's
   source-file checksum reads the whole input, the one whole-file cost, in its own row;
3. MGF: our writer against pyteomics' writer on the same run;
4. the catalog of an archive of 2000 such runs with 1 and 2 workers (targets: 2
   workers at least 1.6x one, and at least 700 runs/s), in this process and as a
   fresh command, with the load average before and after, as the machine may be
   shared.

    python benchmarks/bench_convert.py            # 200 runs, 8 MiB vs 4 GiB
    python benchmarks/bench_convert.py --small    # 20 runs, 8 MiB vs 1 GiB, a catalog of 200 (smoke test)
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from kestrune_tools.batch import Outcome
from kestrune_tools.cli import main
from kestrune_tools.jobs import ConvertJob, catalog_file, convert_file, mzml_available
from kestrune_tools.synthetic import demo_file, with_demo_texts

MIB = 1 << 20
FORMATS = ["parquet", "mgf", "mzml"]


def write_runs(folder: Path, count: int) -> Path:
    folder.mkdir(parents=True)
    raw = with_demo_texts(demo_file())
    for k in range(count):
        raw.write(folder / f"run{k:03}_orbitrap.raw")  # the name selects the orbitrap profile
    return folder


def quietly(arguments: list[str]) -> float:
    """Seconds the command takes, its summary line swallowed."""
    started = time.perf_counter()
    with contextlib.redirect_stderr(io.StringIO()):
        status = main(arguments)
    assert status == 0, arguments
    return time.perf_counter() - started


def batch_rates(runs: Path, out: Path, count: int, formats: list[str]) -> list[tuple[str, float, float]]:
    rows = []
    for name in formats + ["catalog"]:
        rates = []
        for workers in (1, 2):
            options = ["-j", str(workers), "--no-progress"]
            if name == "catalog":
                arguments = ["catalog", str(runs), "-o", str(out / "catalog.parquet"), *options]
            else:
                arguments = ["convert", str(runs), "-o", str(out / name), "--to", name, "--overwrite", *options]
            rounds = 1 if name == "mzml" else 3  # the best of three: others share the machine
            rates.append(count / min(quietly(arguments) for _ in range(rounds)))
        rows.append((name, rates[0], rates[1]))
    return rows


def catalog_rates(runs: Path, out: Path, count: int) -> list[list[str]]:
    """Runs per second of the catalog with 1 and 2 workers (the best of five each):
    through `main` in this process, where the fork server started by the first batch
    serves the later ones, and as a fresh `kestrune catalog` process each time, which
    starts its interpreter and its fork server too."""
    arguments = ["catalog", str(runs), "-o", str(out / "catalog.parquet"), "--no-progress"]
    command = [sys.executable, "-m", "kestrune_tools.cli", *arguments]

    def fresh(workers: str) -> float:
        started = time.perf_counter()
        subprocess.run([*command, "-j", workers], check=True, stderr=subprocess.DEVNULL)
        return time.perf_counter() - started

    rows = []
    for label, seconds in (("in this process", lambda workers: quietly([*arguments, "-j", workers])),
                           ("a fresh command", fresh)):
        load = os.getloadavg()[0]
        one, two = (count / min(seconds(workers) for _ in range(5)) for workers in ("1", "2"))
        rows.append([label, f"{one:.0f}", f"{two:.0f}", f"{two / one:.2f}x", f"{load:.1f} / {os.getloadavg()[0]:.1f}"])
    return rows


def median_seconds(work: Callable[[], object], rounds: int = 5) -> float:
    check(work())  # warm: imports, page cache
    times = []
    for _ in range(rounds):
        started = time.perf_counter()
        check(work())
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def check(outcome: object) -> None:
    if isinstance(outcome, Outcome):
        assert outcome.kind == "done", outcome


def per_run_cost(folder: Path, big: int, formats: list[str]) -> list[tuple[str, float, float]]:
    raw = with_demo_texts(demo_file())
    sizes = {"small": 8 * MIB, "big": big}
    paths = {}
    for label, size in sizes.items():
        (folder / label).mkdir(parents=True)
        paths[label] = Path(raw.at_least(size).write(folder / label / "run_orbitrap.raw"))
    rows = []
    def converter(name: str) -> Callable[[Path], Outcome[Any]]:
        def convert(path: Path) -> Outcome[Any]:
            (path.parent / "out").mkdir(exist_ok=True)
            return convert_file(ConvertJob(str(path), str(path.parent / "out"), name, overwrite=True))
        return convert

    tasks = {name: converter(name) for name in formats}
    tasks["catalog"] = lambda path: catalog_file(str(path))
    for name, task in tasks.items():
        if name == "mzml":
            continue
        seconds = {label: median_seconds(lambda: task(path)) for label, path in paths.items()}
        rows.append((name, seconds["small"], seconds["big"]))
    if "mzml" in formats:  # the checksum reads the whole input: timed once each
        seconds = {label: median_seconds(lambda: tasks["mzml"](path), rounds=1) for label, path in paths.items()}
        rows.append(("mzml (checksum: a whole read)", seconds["small"], seconds["big"]))
    return rows


def mgf_writers(folder: Path) -> tuple[float, float, float]:
    """Seconds per run: reading the MSn spectra, our writer, pyteomics' writer."""
    import kestrune_tools as kt
    from kestrune_tools.mgf import msn_spectra, write_mgf

    path = Path(with_demo_texts(demo_file()).write(folder / "mgf_orbitrap.raw"))

    def read() -> None:
        with kt.open_run(path) as run:
            list(msn_spectra(run))

    def ours() -> None:
        with kt.open_run(path) as run:
            write_mgf(run, folder / "ours.mgf")

    def pyteomics() -> None:
        from pyteomics import mgf

        with kt.open_run(path) as run, open(folder / "theirs.mgf", "w") as out:
            spectra = ({"params": {"title": s.native_id, "rtinseconds": s.rt * 60.0, "pepmass": s.precursor_mz,
                                   "charge": s.precursor_charge, "scans": s.scan_number},
                        "m/z array": s.mz, "intensity array": s.intensity} for s in msn_spectra(run))
            # "{!s}": each value in its shortest exact form, as ours writes it
            mgf.write(spectra, out, fragment_format="{!s} {!s}", write_charges=False, use_numpy=False)

    return median_seconds(read), median_seconds(ours), median_seconds(pyteomics)


def table(title: str, header: list[str], rows: list[list[str]]) -> None:
    print(f"\n{title}\n")
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for row in rows:
        print("| " + " | ".join(row) + " |")


def main_benchmark() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--small", action="store_true", help="20 runs and a 1 GiB big file: a smoke test")
    args = parser.parse_args()
    count, big = (20, 1 << 30) if args.small else (200, 4 << 30)
    formats = FORMATS if mzml_available() else [name for name in FORMATS if name != "mzml"]
    with tempfile.TemporaryDirectory(prefix="bench_convert_") as scratch:
        folder = Path(scratch)
        runs = write_runs(folder / "runs", count)
        rates = batch_rates(runs, folder / "out", count, formats)
        table(f"Files per second over {count} runs (the demo acquisition, 145 scans)",
              ["output", "1 worker", "2 workers", "2 / 1"],
              [[name, f"{one:.1f}", f"{two:.1f}", f"{two / one:.2f}x"] for name, one, two in rates])
        costs = per_run_cost(folder / "sizes", big, formats)
        table(f"Seconds per run: the same scans in an 8 MiB and a {big // (1 << 30)} GiB sparse file",
              ["output", "8 MiB", f"{big // (1 << 30)} GiB", "ratio"],
              [[name, f"{small:.4f}", f"{large:.4f}", f"{large / small:.2f}x"] for name, small, large in costs])
        archive = 200 if args.small else 2000
        table(f"Catalog of {archive} runs, runs per second (targets: 2 workers 1.6x one, 700 runs/s)",
              ["run", "1 worker", "2 workers", "2 / 1", "load average before / after"],
              catalog_rates(write_runs(folder / "archive", archive), folder / "out", archive))
        read, ours, theirs = mgf_writers(folder)
        table("MGF of one run (108 MSn scans), seconds", ["reading the spectra", "our writer", "pyteomics' writer"],
              [[f"{read:.4f}", f"{ours:.4f} ({ours / read:.1f}x reading)", f"{theirs:.4f} ({theirs / read:.1f}x reading)"]])


if __name__ == "__main__":
    main_benchmark()
