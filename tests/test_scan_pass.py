"""The run-level pass (`kestrune_tools._native`): its answers against the NumPy oracle
and a plain loop over `get_peaks`, each consumer's one read of every scan, and the
pass's behaviour towards signals and other threads."""

import os
import random
import signal
import subprocess
import sys
import time

import pytest

np = pytest.importorskip("numpy")

import kestrune  # noqa: E402
import kestrune_tools as kt  # noqa: E402
import kestrune_tools.synthetic as sr  # noqa: E402
from kestrune_tools import _native, _reference, runs  # noqa: E402
from helpers import ran_alongside  # noqa: E402
from test_random_files import NAMES, boundaries, cut, mutate, rich_file  # noqa: E402

SCANS = sr.scan_count(66)
SEARCH_ROOM = 10_016  # past the wide search's window: each scan finds its own block


def assert_same(native, reference):
    assert native.keys() == reference.keys()
    for name, expected in reference.items():
        assert native[name].dtype == expected.dtype, name
        np.testing.assert_array_equal(native[name], expected, err_msg=name)  # NaN equals NaN here


def random_block(rng, kind):
    """A wide block: ascending m/z, or only its first two plausible and the rest in any
    order (ties and NaN included); None for a scan without peaks."""
    if kind == "empty":
        return None
    count = int(rng.integers(11, 600))
    mz = np.round(rng.uniform(150.0, 2000.0, count), 2)
    intensity = rng.gamma(2.0, 5e4, count).astype(np.float32)
    if kind == "sorted":
        mz.sort()
    else:
        mz[1] = mz[0] + 0.5
        mz[rng.integers(2, count, 3)] = mz[5]  # ties
        if kind == "nan":
            mz[rng.integers(2, count)] = np.nan
            intensity[rng.integers(0, count)] = np.nan
    return sr.wide_block(mz.tolist(), intensity.tolist())


def random_run(files, seed):
    rng = np.random.default_rng(seed)
    kinds = rng.choice(["empty", "sorted", "unsorted", "nan"], SCANS, p=[0.2, 0.3, 0.3, 0.2])
    return peak_run(files / f"random{seed}_orbitrap.raw", [random_block(rng, kind) for kind in kinds])


def even_run(files, peaks):
    """Scans of `peaks` peaks each, but every seventh scan, which holds none."""
    mz = np.linspace(150.0, 2000.0, peaks)
    return peak_run(files / "even_orbitrap.raw", [None if scan % 7 == 0 else sr.wide_block(
        (mz + scan).tolist(), [1000.0 + scan] * peaks) for scan in range(1, SCANS + 1)])


def peak_run(path, blocks):
    lengths = [len(block or b"") + SEARCH_ROOM for block in blocks]
    raw = sr.orbitrap_peak_file(lengths)
    at = sr.ORBITRAP_FIRST_SCAN_AT
    for block, length in zip(blocks, lengths):
        if block:
            raw.put(at, block)
        at += length
    return raw.write(path)


def bounds_of(run, kind):
    """Windows of one kind: at peaks with zero tolerance, strictly between two peaks,
    over everything, and ppm windows at random targets."""
    mz = np.concatenate([run.peaks(scan)[0] for scan in run.scan_numbers])
    mz = np.unique(mz[np.isfinite(mz)])
    if kind == "at peaks, zero tolerance":
        return runs._windows(mz[::37], None, 0.0)
    if kind == "between peaks":
        gaps = (mz[:-1] + mz[1:]) / 2
        return runs._windows(gaps[::29], None, float(np.min(np.diff(mz))) / 4)
    if kind == "everything":
        return runs._windows(np.array([1000.0, 1000.0]), None, 1e6)
    return runs._windows(np.random.default_rng(7).uniform(100.0, 2100.0, 100), 10.0, None)


WINDOWS = ["at peaks, zero tolerance", "between peaks", "everything", "ppm"]


@pytest.mark.parametrize("seed", [1, 2, 3])
@pytest.mark.parametrize("windows", WINDOWS)
def test_the_pass_answers_as_the_numpy_oracle_on_random_runs(files, seed, windows):
    with kt.open_run(random_run(files, seed)) as run:
        bounds = bounds_of(run, windows)
        scans = [*run.scan_numbers, 0, SCANS + 1, 7, 7]  # out of range and repeated too
        native = _native.scan_pass(run.reader, scans, bounds, True)
        assert_same(native, _reference.reference_pass(run.reader, scans, bounds, True))
        everything = list(run.scan_numbers)
        reference = _reference.reference_pass(run.reader, everything, bounds)
        assert run.xic(bounds[0::2], da=0.0, ms_level=None)[1].shape == (len(bounds) // 2, SCANS)
        np.testing.assert_array_equal(run.scan_pass(everything, bounds=bounds).window_sums,
                                      reference["window_sums"])
        np.testing.assert_array_equal(run.tic(ms_level=None)[1], reference["tic"])


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("version", [57, 66, 100])
@pytest.mark.parametrize("change", ["none", "truncated", "deleted", "mutated"])
def test_the_pass_reads_what_get_peaks_reads(files, name, version, change):
    raw = rich_file(version)
    if change == "mutated":
        raw = mutate(raw, random.Random(version * 7 + len(name)))
    path = raw.write(files / name)
    try:
        reader = kestrune.RawFileReader(path)
    except BaseException as error:  # OSError or PanicException: a mutated file may be refused
        if change != "mutated" or isinstance(error, KeyboardInterrupt):
            raise
        return
    if change == "truncated":
        cut(raw, boundaries()[len(boundaries()) // 2]).write(path)
    elif change == "deleted":
        os.remove(path)
    scans = list(range(0, reader.num_scans + 2))
    bounds = runs._windows(np.array([100.0, 110.5, 130.0]), None, 2.0)
    native = _native.scan_pass(reader, scans, bounds, True)
    loop = [runs.scan_peaks(reader, scan) for scan in scans]
    peaks = runs.RunPeaks(native["peak_offsets"], native["peak_scan"], native["peak_mz"], native["peak_intensity"])
    for row, (mz, intensity) in enumerate(loop):
        np.testing.assert_array_equal(peaks.of_row(row)[0], mz)
        np.testing.assert_array_equal(peaks.of_row(row)[1], intensity)
    assert_same(native, _reference.reference_pass(reader, scans, bounds, True))


def test_peak_stats_add_matches_the_pass(files):
    with kt.open_run(random_run(files, 4)) as run:
        scans = list(run.scan_numbers)
        stats = runs.PeakStats(len(scans))
        for row, scan in enumerate(scans):
            stats.add(row, *run.peaks(scan))
        made = run.scan_pass(scans).stats
        for name in ("peak_count", "tic", "base_peak_mz", "base_peak_intensity", "lowest_mz", "highest_mz"):
            np.testing.assert_array_equal(getattr(stats, name), getattr(made, name), err_msg=name)


# -- every consumer reads each scan's peaks once


def _scan_table(run, out):
    pytest.importorskip("pyarrow")
    run.scan_table()


def _chromatograms(run, out):
    run.xic([300.0, 500.0], ppm=10.0, ms_level=None)


def _parquet(run, out):
    pytest.importorskip("pyarrow")
    from kestrune_tools.parquet import write_parquet

    write_parquet(run, out / "s.parquet", out / "p.parquet")


def _convert(run, out):
    pytest.importorskip("pyarrow")
    from kestrune_tools.jobs import ConvertJob, convert_file

    assert convert_file(ConvertJob(run.path, str(out), "parquet")).status == "converted"


def _catalog(run, out):
    pytest.importorskip("pyarrow")
    from kestrune_tools.catalog import catalog_rows

    catalog_rows(run.path)


def _report(run, out):
    pytest.importorskip("bokeh")
    from kestrune_tools.report import write_run_report

    write_run_report(run, out / "report.html")


def _mzml(run, out):
    pytest.importorskip("psims")
    from kestrune_tools.mzml import write_mzml

    write_mzml(run, out / "run.mzML")


@pytest.mark.parametrize("consume", [_scan_table, _chromatograms, _parquet, _convert, _catalog, _report, _mzml])
def test_each_consumer_reads_every_scans_peaks_once(files, monkeypatch, consume):
    path = sr.with_demo_texts(sr.demo_file()).write(files / "demo_orbitrap.raw")
    single_reads = []
    read_one = runs.scan_peaks
    monkeypatch.setattr(runs, "scan_peaks", lambda reader, scan: single_reads.append(scan) or read_one(reader, scan))
    with kt.open_run(path) as run:
        run.ms_levels()  # the per-scan values read first: they read no peaks
        before = _native.peak_block_reads()
        consume(run, files)
        assert _native.peak_block_reads() - before + len(single_reads) == SCANS


# -- signals and other threads

GiB = 1 << 30


@pytest.mark.parametrize("budget, row_group", [(1, 1000), (1600, 1000), (1600, 7), (5000, 1 << 20)])
def test_the_parquet_export_reads_groups_of_scans_within_its_budget(files, monkeypatch, budget, row_group):
    pytest.importorskip("pyarrow")
    from kestrune_tools import parquet

    with kt.open_run(even_run(files, 500)) as run:
        whole = parquet.export_pass(run)
        parquet.write_peaks(run, files / "whole.peaks", row_group=row_group, scan_pass=whole)
        parquet.write_scans(run, files / "whole.scans", scan_pass=whole)
        passes = []
        one_pass = runs.Run.scan_pass
        monkeypatch.setattr(runs.Run, "scan_pass", lambda *arguments, **options: passes.append(
            one_pass(*arguments, **options)) or passes[-1])
        monkeypatch.setattr(parquet, "PASS_PEAK_BUDGET", budget, raising=False)
        grouped = parquet.write_peaks(run, files / "grouped.peaks", row_group=row_group)
        parquet.write_scans(run, files / "grouped.scans", scan_pass=grouped)
    held = [int(made.stats.peak_count.sum()) for made in passes]
    assert len(held) > 1 and max(held) <= max(budget, 500) and sum(held) == len(whole[1].peaks.mz), held
    for part in ("peaks", "scans"):
        assert (files / f"grouped.{part}").read_bytes() == (files / f"whole.{part}").read_bytes()


@pytest.mark.parametrize("first_peaks, later_peaks, budget", [(11, 3000, 5000), (150, 4000, 4000), (11, 6000, 5000)])
def test_a_small_first_scan_keeps_the_parquet_groups_within_their_budget(files, monkeypatch, first_peaks, later_peaks,
                                                                        budget):
    pytest.importorskip("pyarrow")
    from kestrune_tools import parquet

    blocks = [sr.wide_block(sr.rising_mz(first_peaks if scan == 1 else later_peaks, 150.0))
              for scan in range(1, SCANS + 1)]
    passes = []
    one_pass = runs.Run.scan_pass
    monkeypatch.setattr(runs.Run, "scan_pass", lambda *arguments, **options: passes.append(
        one_pass(*arguments, **options)) or passes[-1])
    monkeypatch.setattr(parquet, "PASS_PEAK_BUDGET", budget)
    before = _native.peak_block_reads()
    with kt.open_run(peak_run(files / "rising_orbitrap.raw", blocks)) as run:
        parquet.write_peaks(run, files / "grouped.peaks")
    held = [int(made.stats.peak_count.sum()) for made in passes]
    # Only a scan larger than the budget makes a group of its own that holds more.
    assert max(held) <= max(budget, later_peaks) and sum(held) == first_peaks + (SCANS - 1) * later_peaks, held
    assert _native.peak_block_reads() - before == SCANS  # each scan's block read once all the same


def sparse_run(files):
    """Scan 1 at the first scan offset, the others spread over 4 GiB of holes."""
    block = sr.wide_block(sr.rising_mz(2000, 150.0, 0.25))
    start = sr.trailer_at(SCANS + 1)
    stride = (4 * GiB - start) // (SCANS - 1)
    raw = sr.orbitrap_peak_file([start - sr.ORBITRAP_FIRST_SCAN_AT] + [stride] * (SCANS - 2))
    raw.put(sr.ORBITRAP_FIRST_SCAN_AT, block)
    for k in range(SCANS - 1):
        raw.put(start + stride * k, block)
    return raw.at_least(4 * GiB).write(files / "sparse_orbitrap.raw")


INTERRUPTED = """
import sys, time, kestrune
from kestrune_tools import _native
reader = kestrune.RawFileReader(sys.argv[1])
scans = list(range(1, reader.num_scans + 1)) * 2000
print("started", flush=True)
try:
    _native.scan_pass(reader, scans)
    print("finished")
except KeyboardInterrupt:
    reader.initialize_caches()  # no borrow is left behind
    print("KeyboardInterrupt")
"""


def test_ctrl_c_ends_a_pass_over_a_4_gib_run_at_once(files):
    path = sparse_run(files)
    with subprocess.Popen([sys.executable, "-c", INTERRUPTED, path], stdout=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout is not None
            assert child.stdout.readline() == "started\n"
            time.sleep(0.3)
            child.send_signal(signal.SIGINT)
            sent = time.perf_counter()
            out = child.stdout.readline()
            ended = time.perf_counter()
            child.communicate(timeout=30)
        finally:
            child.kill()
    os.remove(path)
    assert out == "KeyboardInterrupt\n" and ended - sent < 0.5


def test_other_threads_run_during_a_pass(files):
    path = sparse_run(files)
    reader = kestrune.RawFileReader(path)
    scans = list(range(1, reader.num_scans + 1)) * 40
    try:
        assert ran_alongside(lambda: _native.scan_pass(reader, scans))
    finally:
        os.remove(path)
