"""What PROXI clients get from `kestrune serve`: throughput, latency and the server's memory.

Serves a temp folder holding the demo run (145 scans, every fourth a survey scan)
and a run whose scan 1 holds 20000 peaks, with `kestrune serve --port 0` on
loopback, and measures in one run with real HTTP clients (threads, each with its
own keep-alive `http.client` connection):

- 8 concurrent clients asking for random MS2 spectra of the demo run
  (resultType=full): spectra per second and the p50 and p99 latency
  (targets: at least 500 spectra/s, p99 under 50 ms);
- one client asking for the 20000-peak spectrum in turn: p50 and p99 latency
  (target: p50 under 10 ms);
- the server's resident memory after a warm-up and after 10000 more requests
  (target: flat; the growth is printed).

The machine's load average and core count are printed first: the server and the
clients share the cores with whatever else runs, so rerun when the machine is
quiet. Figures and ratios only, no assertions.

    python benchmarks/bench_serve.py            # the figures above
    python benchmarks/bench_serve.py --small    # fewer requests: a quick smoke run
"""

from __future__ import annotations

import argparse
import http.client
import json
import os
import queue
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from pathlib import Path

import kestrune_tools.synthetic as sr

CLIENTS = 8
BIG_PEAKS = 20_000
BLOCK_AT = sr.ORBITRAP_FIRST_SCAN_AT + 64
LAUNCH = ("import sys; from kestrune_tools.batch.signals import end_with_parent; end_with_parent(); "
          "from kestrune_tools.cli import main; sys.exit(main(sys.argv[1:]))")
MS2_SCANS = [scan for scan in range(1, sr.scan_count(66) + 1) if (scan - 1) % 4]
START_SECONDS = 60


def write_runs(folder: Path) -> None:
    sr.demo_file().write(folder / "demo.raw")
    block = sr.wide_block(sr.rising_mz(BIG_PEAKS, first=100.0, step=0.01))
    sr.orbitrap_peak_file().put(BLOCK_AT, block).write(folder / "big.raw")


class Server:
    """`kestrune serve` in a child process that ends with this one."""

    def __init__(self, folder: Path) -> None:
        self.process = subprocess.Popen([sys.executable, "-c", LAUNCH, "serve", str(folder), "--port", "0"],
                                        stderr=subprocess.PIPE, text=True)
        lines: queue.Queue[str] = queue.Queue()
        self.reading = threading.Thread(target=lambda: [lines.put(line) for line in self.process.stderr or ()],
                                        daemon=True)
        self.reading.start()
        line = lines.get(timeout=START_SECONDS)
        parts = urllib.parse.urlsplit(line[line.index("http://"):].split()[0])
        self.host, self.port, self.base = parts.hostname or "", parts.port or 0, parts.path

    def resident_kib(self) -> int:
        with open(f"/proc/{self.process.pid}/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))

    def stop(self) -> int:
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(30)
        finally:
            if self.process.poll() is None:
                self.process.kill()
            self.reading.join(10)


def spectrum_path(server: Server, run: str, scan: int) -> str:
    usi = urllib.parse.quote(f"mzspec:USI000000:{run}:scan:{scan}", safe="")
    return f"{server.base}/spectra?resultType=full&usi={usi}"


def client(server: Server, paths: list[str], latencies: list[float]) -> None:
    """Asks for each path in turn over one keep-alive connection."""
    connection = http.client.HTTPConnection(server.host, server.port, timeout=30)
    try:
        for path in paths:
            started = time.perf_counter()
            connection.request("GET", path)
            response = connection.getresponse()
            body = response.read()
            if response.status != 200 or not body:
                raise RuntimeError(f"{path}: status {response.status}")
            latencies.append(time.perf_counter() - started)
    finally:
        connection.close()


def concurrent(server: Server, requests: int, seed: int = 1) -> tuple[float, list[float]]:
    """CLIENTS threads asking for `requests` random MS2 spectra in all: (spectra/s, latencies)."""
    rng = random.Random(seed)
    share = [[spectrum_path(server, "demo", rng.choice(MS2_SCANS)) for _ in range(requests // CLIENTS)]
             for _ in range(CLIENTS)]
    latencies: list[list[float]] = [[] for _ in range(CLIENTS)]
    threads = [threading.Thread(target=client, args=(server, paths, times)) for paths, times in zip(share, latencies)]
    started = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = time.perf_counter() - started
    every = [latency for times in latencies for latency in times]
    return len(every) / elapsed, every


def check_peak_count(server: Server, path: str, expected: int) -> None:
    connection = http.client.HTTPConnection(server.host, server.port, timeout=30)
    try:
        connection.request("GET", path)
        peaks = len(json.loads(connection.getresponse().read())[0]["mzs"])
    finally:
        connection.close()
    if peaks != expected:
        raise RuntimeError(f"the large spectrum holds {peaks} peaks, not {expected}")


def percentile(values: list[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--small", action="store_true", help="fewer requests: a quick smoke run")
    args = parser.parse_args(argv)
    burst, big, memory = (400, 50, 1000) if args.small else (4000, 400, 10_000)
    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores (server and clients share them)")
    with tempfile.TemporaryDirectory(prefix="bench_serve_orbitrap_") as folder:
        write_runs(Path(folder))
        server = Server(Path(folder))
        try:
            concurrent(server, 200)  # warm-up: the run opened, its scan values read
            rate, latencies = concurrent(server, burst)
            print(f"{CLIENTS} clients, {len(latencies)} random MS2 spectra of 145 scans: {rate:.0f} spectra/s "
                  f"(target >= 500), p50 {1e3 * statistics.median(latencies):.1f} ms, "
                  f"p99 {1e3 * percentile(latencies, 0.99):.1f} ms (target < 50)")
            check_peak_count(server, spectrum_path(server, "big", 1), BIG_PEAKS)
            big_times: list[float] = []
            client(server, [spectrum_path(server, "big", 1)] * big, big_times)
            print(f"a {BIG_PEAKS}-peak spectrum, {big} requests in turn: p50 {1e3 * statistics.median(big_times):.2f} ms "
                  f"(target < 10), p99 {1e3 * percentile(big_times, 0.99):.2f} ms")
            before = server.resident_kib()
            concurrent(server, memory, seed=2)
            after = server.resident_kib()
            print(f"server memory over {memory} more requests: {before / 1024:.1f} MiB -> {after / 1024:.1f} MiB "
                  f"(x{after / before:.3f}; target: flat)")
        finally:
            status = server.stop()
        print(f"server stopped by SIGTERM with exit status {status}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
