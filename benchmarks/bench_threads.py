"""What the program's other threads and signals see while the reader works.

Measures, in one run, on sparse files written to the temp dir:

- the longest gap seen by a thread that sleeps 1 ms in a loop while another thread
  runs each log scan over a 4 GiB file without markers (the whole file is searched),
  on a fresh file and once more, next to the longest gap of the same loop with
  nothing else running and during a chunked read of such a file by Python (a fresh
  file's holes first fill the page cache, which stalls other threads by itself);
- how long after a SIGINT sent 1 s into a log scan of a 16 GiB file without markers
  the scan's process catches KeyboardInterrupt;
- the throughput of two threads, each on its own reader of its own file, against
  one thread: get_peaks on a 199999-peak block in a loop, and a whole-file log scan.

It prints figures and ratios only; it asserts nothing about them. The machine's
load average is printed first: other processes on the cores make the two-thread
ratios noisy, so rerun when the machine is quiet.

    python benchmarks/bench_threads.py            # 4 GiB and 16 GiB files
    python benchmarks/bench_threads.py --small    # 256 MiB and 1 GiB: a quick smoke run
"""

from __future__ import annotations

import argparse
import functools
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable

import kestrune
import kestrune_tools.synthetic as sr

MiB = 1 << 20
GiB = 1 << 30
LOG_SCANS = ("get_status_log_labels", "get_error_logs")
BIG_PEAKS = 199_999
BLOCK_AT = sr.ORBITRAP_FIRST_SCAN_AT + 64
THROUGHPUT_SECONDS = 3.0


def plain_file(path: str, length: int) -> str:
    """A version-66 header and holes to `length`: no marker, no text."""
    return sr.RawFile().header(version=66).at_least(length).write(path)


def peak_file(path: str) -> str:
    """An orbitrap-profile file whose scan 1 holds a block of BIG_PEAKS wide records."""
    block = sr.wide_block(sr.rising_mz(BIG_PEAKS, first=100.0, step=0.01))
    return sr.orbitrap_peak_file().put(BLOCK_AT, block).write(path)


def chunked_read(path: str) -> None:
    """The file read in 1 MiB chunks, by Python."""
    buffer = memoryview(bytearray(MiB))
    with open(path, "rb", buffering=0) as f:
        while f.readinto(buffer):
            pass


def scan_of(path: str, name: str) -> Callable[[], object]:
    """The log method `name` of a reader on `path`."""
    method: Callable[[], object] = getattr(kestrune.RawFileReader(path), name)
    return method


def longest_gap(work: Callable[[], object] | None, idle_seconds: float = 1.0) -> float:
    """The longest time between two wake-ups of a thread sleeping 1 ms in a loop, while
    `work` runs in this thread (or for `idle_seconds` when there is none)."""
    done = threading.Event()
    gaps = [0.0]

    def sleeper() -> None:
        last = time.perf_counter()
        while not done.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            gaps[0] = max(gaps[0], now - last)
            last = now

    thread = threading.Thread(target=sleeper)
    thread.start()
    time.sleep(0.05)
    if work is None:
        time.sleep(idle_seconds)
    else:
        work()
    done.set()
    thread.join()
    return gaps[0]


INTERRUPTED_CHILD = """
import sys, time, kestrune
reader = kestrune.RawFileReader(sys.argv[1])
print("started", flush=True)
try:
    getattr(reader, sys.argv[2])()
    print("finished", time.monotonic(), flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
"""


def interrupt_delay(path: str, method: str, after: float = 1.0) -> tuple[str, float]:
    """Sends SIGINT `after` seconds into `method` in a child process; how the call
    ended and the seconds from the signal to that end."""
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CHILD, path, method],
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout is not None
    child.stdout.readline()
    time.sleep(after)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    outcome, at = child.stdout.readline().split()
    child.wait()
    return outcome, float(at) - sent


def calls_per_second(calls: list[Callable[[], object]], seconds: float) -> float:
    """Calls completed per second by one thread per callable, all running at once."""
    counts = [0] * len(calls)
    stop = time.perf_counter() + seconds

    def loop(i: int) -> None:
        while time.perf_counter() < stop:
            calls[i]()
            counts[i] += 1

    threads = [threading.Thread(target=loop, args=(i,)) for i in range(len(calls))]
    started = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(counts) / (time.perf_counter() - started)


def scans_per_second(calls: list[Callable[[], object]], rounds: int = 5) -> float:
    """Whole calls per second when each callable runs once in its own thread, the
    median of `rounds` rounds. The files are read once before: a hole's first read
    fills the page cache with zeros, which would dominate the first round."""
    for call in calls:
        call()
    rates = []
    for _ in range(rounds):
        threads = [threading.Thread(target=call) for call in calls]
        started = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        rates.append(len(calls) / (time.perf_counter() - started))
    return statistics.median(rates)


def run(workdir: str, gap_size: int, interrupt_size: int, scan_size: int) -> list[str]:
    out = [f"load average before the run: {' '.join(f'{v:.2f}' for v in os.getloadavg())} "
           f"({os.cpu_count()} cores)"]

    out.append(f"\nLongest gap of a thread sleeping 1 ms (file of {gap_size // MiB} MiB, target 20 ms),"
               " on a fresh file and again:")
    out.append(f"  nothing else running          {longest_gap(None) * 1e3:8.2f} ms")
    # Each row's work on a fresh file of its own.
    baselines: dict[str, Callable[[str], Callable[[], object]]] = {
        "a 1 MiB chunked read": lambda path: functools.partial(chunked_read, path)}
    for name in LOG_SCANS:
        baselines[name] = functools.partial(scan_of, name=name)
    for label, work_on in baselines.items():
        path = plain_file(os.path.join(workdir, "gap.raw"), gap_size)
        work = work_on(path)
        fresh, again = longest_gap(work), longest_gap(work)
        out.append(f"  during {label:<22} {fresh * 1e3:8.2f} ms, again {again * 1e3:8.2f} ms")
        del work
        os.remove(path)

    path = plain_file(os.path.join(workdir, "interrupt.raw"), interrupt_size)
    out.append(f"\nSIGINT 1 s into a log scan (file of {interrupt_size // MiB} MiB, target 0.5 s):")
    for name in LOG_SCANS:
        outcome, delay = interrupt_delay(path, name)
        out.append(f"  {name:<29} {outcome} {delay:.3f} s after the signal")
    os.remove(path)

    out.append(f"\nTwo threads on two readers of two files against one thread (target 1.6x):")
    readers = [kestrune.RawFileReader(peak_file(os.path.join(workdir, f"orbitrap_{i}.raw")))
               for i in range(2)]
    assert all(len(r.get_peaks(1)[0]) == BIG_PEAKS for r in readers)
    peaks: list[Callable[[], object]] = [functools.partial(r.get_peaks, 1) for r in readers]
    one = calls_per_second(peaks[:1], THROUGHPUT_SECONDS)
    two = calls_per_second(peaks, THROUGHPUT_SECONDS)
    out.append(f"  get_peaks {BIG_PEAKS}        {one:8.1f} calls/s, two threads {two:8.1f}: {two / one:.2f}x")
    readers = [kestrune.RawFileReader(plain_file(os.path.join(workdir, f"scan_{i}.raw"), scan_size))
               for i in range(2)]
    for name in LOG_SCANS:
        scans = [getattr(r, name) for r in readers]
        one = scans_per_second(scans[:1])
        two = scans_per_second(scans)
        out.append(f"  {name:<21} {one:8.2f} scans/s, two threads {two:8.2f}: {two / one:.2f}x "
                   f"({scan_size // MiB} MiB files)")
    out.append(f"\nload average after the run: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--small", action="store_true", help="smaller files: a quick smoke run")
    parser.add_argument("--dir", default=None, help="where to write the files (default: the temp dir)")
    args = parser.parse_args(argv)
    workdir = tempfile.mkdtemp(prefix="kthreads-", dir=args.dir)
    sizes = (256 * MiB, 1 * GiB, 256 * MiB) if args.small else (4 * GiB, 16 * GiB, 1 * GiB)
    try:
        print("\n".join(run(workdir, *sizes)))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
