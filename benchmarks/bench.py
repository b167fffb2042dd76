"""How the reader's calls scale with the size of the file.

Writes sparse acquisition files of the three File profiles (small, orbitrap,
generic) and of versions 57 and 66 at about 8 MiB, 1 GiB and 4 GiB, all holding
the same content near the start: peak blocks of 1000 and 199999 peaks at the scan
offsets, orbitrap trailer records, an XML instrument method and the status-log and
error-log texts. A second set of files leaves the log texts out, so that the two
log methods search the whole file; a third (one file of each size) holds both log
texts with the last followed by empty space to the end, so that the scans after
the markers walk the whole file.

For every method it prints the median wall time of one call and the peak extra
memory of one call (measured in a fresh child process as the rise of the resident
set's high-water mark), next to baselines measured on these files in the same run:
one whole-file read (open(path, 'rb').read(), on one file of each size, as all files
of a size have the same length and holes) and one sequential read in 1 MiB chunks
(on every file without log texts or with trailing empty space, timed in turn
with the log methods). It prints
figures and ratios only; it asserts nothing about them.

    python benchmarks/bench.py            # 8 MiB, 1 GiB and 4 GiB
    python benchmarks/bench.py --small    # 8 MiB only: a quick smoke run

The large files are holes except for a few megabytes near the start, so reading
them costs the kernel zero-filling pages, not disk I/O: the whole-file baselines
are the fastest such a read can ever be, which makes the ratios against them
conservative.
"""

from __future__ import annotations

import argparse
import functools
import gc
import json
import os
import platform
import resource
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import kestrune_tools.synthetic as sr

MiB = 1 << 20
GiB = 1 << 30
SIZES = {"8M": 8 * MiB, "1G": 1 * GiB, "4G": 4 * GiB}
PROFILES = ("small", "orbitrap", "generic")
VERSIONS = (57, 66)

SMALL_PEAKS = 1000
BIG_PEAKS = 199_999

PER_SCAN = ("get_rt", "get_injection_time", "get_master_scan", "get_charge_state",
            "get_monoisotopic_mz")


# --------------------------------------------------------------------------- content

@functools.lru_cache(maxsize=None)
def peak_block(version: int, count: int, seed: int) -> bytes:
    """A peak block of the builder's layout for the version (wide records for 66,
    narrow ones otherwise), m/z rising from 100 to 2000, gamma-distributed intensities."""
    import numpy as np

    rng = np.random.default_rng(seed)
    mz = np.linspace(100.0, 2000.0, count).tolist()
    intensity = rng.gamma(2.0, 5e4, count).astype("<f4").tolist()
    return (sr.wide_block if version == 66 else sr.narrow_block)(mz, intensity)


def block_header(version: int) -> int:
    """Bytes of scan header before a block's count: the narrow search's first fixed
    candidate sits 190 bytes in; the wide search slides onto the block."""
    return 64 if version == 66 else 190


def instrument_method_xml() -> bytes:
    """A method report of some 25 KB: forty experiments of nine settings each."""
    lines = ['', '  <Instrument Name="MassSpectrometer">']
    for segment in range(1, 41):
        lines.append(f'    <Experiment Index="{segment}" Type="{"Full MS" if segment % 5 == 1 else "dd-MS2"}">')
        for name, value in (("Resolution", 120000 if segment % 5 == 1 else 30000),
                            ("AGC Target", "3e6"), ("Maximum IT (ms)", 54),
                            ("Scan Range (m/z)", "350-1800"), ("Isolation Window (m/z)", 1.6),
                            ("Normalized Collision Energy", 30), ("Dynamic Exclusion (s)", 20),
                            ("Charge States", "2-6"), ("Intensity Threshold", "1.0e4")):
            lines.append(f'      <Setting Name="{name}" Value="{value}" />')
        lines.append("    </Experiment>")
    lines += ["  </Instrument>",
              '  <Pump Name="NanoLC" FlowRate="300 nL/min" Gradient="2-35% B in 100 min" />', ""]
    return sr.method_xml("\n".join(lines))


STATUS_LABELS = [sr.STATUS_LOG_MARKER] + [f"{part} {k}" for k in range(1, 7) for part in (
    "Ion Gauge (E-5 Torr)", "Source Voltage (kV)", "Source Current (uA)",
    "Capillary Temperature (C)", "Vaporizer Temperature (C)", "Sheath Gas Flow",
    "Aux Gas Flow", "Fore Vacuum (Torr)", "High Vacuum (E-10 Torr)")]
ERROR_MESSAGES = [sr.ERROR_LOG_MARKER + ": spray current below 0.1 uA",
                  "Ion gauge pressure out of range", "Lock mass not found",
                  "Vacuum fore pressure warning"]


def status_log_text() -> bytes:
    # The first value record follows the labels: a u32 of 65 reads as the
    # one-character run that ends the label list.
    return sr.text_runs(*STATUS_LABELS) + struct.pack("<I", 65)


def error_log_text() -> bytes:
    # Repeated warnings, then binary data whose first unit is above 256.
    return sr.text_runs(*(ERROR_MESSAGES[:3] * 4 + ERROR_MESSAGES[3:])) + struct.pack("<d", 12.345)


def build(profile: str, version: int, length: int, logs: bool) -> sr.RawFile:
    """The same content for every length: all of it within the first 7 MB."""
    raw = sr.RawFile().header(version=version, creation_time=133_444_736_000_000_000)
    n = sr.scan_count(version)
    head = block_header(version)
    small_block = peak_block(version, SMALL_PEAKS, 1)
    big_block = peak_block(version, BIG_PEAKS, 2)
    xml = instrument_method_xml()
    status, errors = status_log_text(), error_log_text()
    xml_window = 200_000  # the bytes after the XML declaration that must stay text

    def texts_at(at: int) -> int:
        raw.put(at, xml)
        at = at + xml_window
        if logs:
            raw.put(at, status)
            raw.put(at + len(status) + 64, errors)
        return at + len(status) + 64 + len(errors) + 4096

    if profile == "orbitrap":
        stride = -(-(head + len(small_block)) // 16) * 16
        offsets = [sr.ORBITRAP_FIRST_SCAN_AT + stride * k for k in range(n - 1)]
        for at in offsets:
            raw.put(at + head, small_block)
        big_at = texts_at(offsets[-1] + stride)
        raw.put(big_at + head, big_block)
        offsets.append(big_at)
        lengths = [b - a for a, b in zip(offsets, offsets[1:])] + [head + len(big_block)]
        raw.orbitrap_index(lengths, [0.2 + 0.05 * k for k in range(n)])
    else:
        # Scans whose offset is 0 (all of them in the generic profile, scans 11 on in
        # the small one) find the block whose count stands at byte 190.
        raw.put(190, small_block)
        if profile == "small":
            offs = sr.SMALL_SCAN_OFFSETS
            raw.put(offs[0] + head, small_block)
            raw.put(offs[9] + head, small_block)
            # Scan 9's big block runs over the profile's tables, laid over it below.
            raw.put(offs[8] + head, big_block)
            texts_at(3_000_000)
            for scan in range(1, n + 1):
                raw.small_retention_time(scan, 0.2 + 0.05 * scan)
                if version == 57:
                    raw.small_block(scan, 20.0 + scan % 4)
        else:
            texts_at(16_384)
    for scan in range(1, n + 1):
        survey = (scan - 1) % 4 == 0
        raw.trailer(scan, sr.Trailer(
            injection_time=20.0 if survey else 54.5,
            master_scan=0 if survey else scan - (scan - 1) % 4,
            monoisotopic_mz=0.0 if survey else 400.0 + 12.5 * scan,
            charge=0 if survey else 2 + scan % 2,
            elapsed_time=0.12, resolution=120_000 if survey else 30_000,
            ms_order_byte=0 if survey else 1, agc=b"3.0e6",
            collision_energy=b"" if survey else b"30.0",
            hcd_energy=b"" if survey else b"30", isolation_width=0.0 if survey else 1.6))
    if raw.length > length:
        raise SystemExit(f"content ends at {raw.length}, past the file length {length}")
    return raw.at_least(length)


def big_scan(profile: str, version: int) -> int | None:
    return {"orbitrap": sr.scan_count(version), "small": 9}.get(profile)


def file_name(size: str, profile: str, version: int, logs: bool) -> str:
    tail = {"small": "small.RAW", "orbitrap": "orbitrap.raw", "generic": "plain.raw"}[profile]
    return f"{size}_v{version}{'' if logs else '_nolog'}_{tail}"


# --------------------------------------------------------------------------- measuring

def median_time(fns: dict, budget: float = 0.25, batch_floor: float = 5e-4,
                min_rounds: int = 3) -> dict:
    """Median seconds per call of each function, the functions run in turn round by
    round so that a change in the machine's load hits all of them alike. Calls
    faster than `batch_floor` are timed in batches. The first call of each is a
    warm-up (first-call set-up, page cache) and is not counted."""
    batch, round_time = {}, 0.0
    for key, fn in fns.items():
        start = time.perf_counter()
        fn()
        one = time.perf_counter() - start
        batch[key] = max(1, int(batch_floor / max(one, 1e-9)))
        round_time += one * batch[key]
    rounds = int(min(max(budget / max(round_time, 1e-9), min_rounds), 41))
    samples = {key: [] for key in fns}
    for _ in range(rounds):
        for key, fn in fns.items():
            k = batch[key]
            start = time.perf_counter()
            for _ in range(k):
                fn()
            samples[key].append((time.perf_counter() - start) / k)
    return {key: statistics.median(v) for key, v in samples.items()}


def chunked_read(path: str) -> int:
    buffer = bytearray(MiB)
    view = memoryview(buffer)
    total = 0
    with open(path, "rb", buffering=0) as f:
        while True:
            got = f.readinto(view)
            if not got:
                return total
            total += got


def result_size(value) -> int:
    """Bytes held by a result: the objects themselves and, for arrays, their data."""
    size = sys.getsizeof(value)
    if hasattr(value, "nbytes"):
        return size + value.nbytes
    if isinstance(value, (list, tuple)):
        return size + sum(result_size(v) for v in value)
    if isinstance(value, dict):
        return size + sum(result_size(k) + result_size(v) for k, v in value.items())
    return size


def _kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


class PeakMemory:
    """The rise of this process's peak resident set over its resident set at the
    start, in bytes. On Linux the high-water mark is first reset to the current
    resident set; elsewhere ru_maxrss is compared before and after."""

    def __enter__(self):
        gc.collect()
        try:
            with open("/proc/self/clear_refs", "w") as clear:
                clear.write("5")
            self.linux, self.start = True, _kib("VmRSS")
        except OSError:
            self.linux, self.start = False, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        return self

    def __exit__(self, *exc):
        end = _kib("VmHWM") if self.linux else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        self.extra = max(0, end - self.start) * 1024
        return False


def child_main(job: dict) -> dict:
    """Runs in a fresh interpreter: one measured operation, reported as JSON."""
    path, op = job["path"], job["op"]
    if op == "whole_read":
        times = []
        with PeakMemory() as memory:
            for _ in range(job["reps"]):
                start = time.perf_counter()
                data = open(path, "rb").read()
                times.append(time.perf_counter() - start)
                size = len(data)
                del data
        return {"time": statistics.median(times), "extra": memory.extra, "result": size}
    if op == "chunked_read":
        with PeakMemory() as memory:
            chunked_read(path)
        return {"extra": memory.extra, "result": MiB}
    import kestrune

    if op == "construct":
        with PeakMemory() as memory:
            reader = kestrune.RawFileReader(path)
        return {"extra": memory.extra, "result": sys.getsizeof(reader)}
    reader = kestrune.RawFileReader(path)
    method = getattr(reader, job["name"])
    if job["name"] == "get_peaks":
        import numpy  # noqa: F401  (imported before measuring, as any caller has it)

        reader.get_peaks(0)  # no result: locates NumPy's C API, allocates two elements
    args = job["args"]
    with PeakMemory() as memory:
        result = method(*args)
    return {"extra": memory.extra, "result": result_size(result)}


def in_child(job: dict) -> dict:
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", json.dumps(job)],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


# --------------------------------------------------------------------------- the run

def calls_of(profile: str, version: int):
    """(label, method name, arguments) of every call measured on a file with logs."""
    calls = [("construction", None, ())]
    calls += [(name, name, (2,)) for name in PER_SCAN]
    calls += [("list_spectra", "list_spectra", ()),
              ("get_trailer_extra", "get_trailer_extra", (2,)),
              ("get_peaks 1000", "get_peaks", (1,)),
              ("native_get_peaks 1000", "native_get_peaks", (1,))]
    big = big_scan(profile, version)
    if big is not None:
        calls += [("get_peaks 199999", "get_peaks", (big,)),
                  ("native_get_peaks 199999", "native_get_peaks", (big,))]
    calls += [("get_instrument_method", "get_instrument_method", (0,)),
              ("get_status_log_labels", "get_status_log_labels", ()),
              ("get_error_logs", "get_error_logs", ())]
    return calls


def check_result(label: str, value, profile: str, version: int, logs: bool) -> str | None:
    """A note when a call does not return what the file holds: the figures of a call
    that takes a wrong path mean nothing."""
    import numpy as np

    n = sr.scan_count(version)
    if label == "list_spectra" and len(value) != n:
        return f"{len(value)} summaries, {n} expected"
    if label.startswith(("get_peaks", "native_get_peaks")):
        want = int(label.split()[-1])
        got = len(value[0]) if value is not None else 0
        if got != want:
            return f"{got} peaks, {want} expected"
        first = value[0][0]
        if not np.isclose(first, 100.0):
            return f"first m/z {first}"
    if label == "get_instrument_method" and not (
            value.startswith("<?xml") and value.endswith("</InstrumentMethod>")):
        return f"instrument method of {len(value)} characters"
    if label == "get_status_log_labels":
        if logs and value != STATUS_LABELS + ["A"]:
            return f"{len(value)} labels"
        if not logs and value:
            return f"{len(value)} labels without a marker"
    if label == "get_error_logs":
        if logs and value != ERROR_MESSAGES:
            return f"{len(value)} messages"
        if not logs and value:
            return f"{len(value)} messages without a marker"
    if label == "get_trailer_extra" and profile == "orbitrap" and version == 66 and "AGC" not in value:
        return "no orbitrap trailer fields"
    return None


def run(sizes: list[str], workdir: str, keep: bool, log=print) -> dict:
    import kestrune

    results = {"calls": {}, "baselines": {}, "absent": {}, "trailing": {}, "big": {}, "listing": {},
               "notes": []}
    started = time.perf_counter()

    def note(text):
        results["notes"].append(text)
        log("  note: " + text)

    def write(size, profile, version, logs):
        path = os.path.join(workdir, file_name(size, profile, version, logs))
        build(profile, version, SIZES[size], logs).write(path)
        return path

    def whole_read(path, size):
        """One whole-file read, in a child: at 4 GiB it allocates 4 GiB. Every file of
        a size has the same length and holes; it is measured on one of them."""
        reps = 5 if SIZES[size] < GiB else 1
        chunked_read(path)  # fills the page cache (holes become zero pages)
        r = in_child({"path": path, "op": "whole_read", "reps": reps})
        results["baselines"][size] = {"file": os.path.basename(path), "whole": r["time"],
                                      "whole_mem": r["extra"]}

    for profile in PROFILES:
        for version in VERSIONS:
            key = f"{profile} v{version}"
            log(f"[{time.perf_counter() - started:6.1f} s] {key}")
            paths = {size: write(size, profile, version, True) for size in sizes}
            readers = {size: kestrune.RawFileReader(p) for size, p in paths.items()}
            available = [c for c in calls_of(profile, version)
                         if c[1] is None or hasattr(readers[sizes[0]], c[1])]
            for label, name, args in available:
                if name is not None:
                    for size, reader in readers.items():
                        problem = check_result(label, getattr(reader, name)(*args), profile, version, True)
                        if problem:
                            note(f"{key} {size} {label}: {problem}")
                if name is None:
                    fns = {s: (lambda p=p: kestrune.RawFileReader(p)) for s, p in paths.items()}
                else:
                    fns = {s: (lambda m=getattr(r, name): m(*args)) for s, r in readers.items()}
                times = median_time(fns)
                mems = {}
                for size, path in paths.items():
                    job = {"path": path, "op": "construct"} if name is None else \
                        {"path": path, "op": "call", "name": name, "args": list(args)}
                    mems[size] = in_child(job)
                results["calls"].setdefault(label, {})[key] = {
                    s: {"time": times[s], "extra": mems[s]["extra"], "result": mems[s]["result"]}
                    for s in sizes}
            big = big_scan(profile, version)
            if big is not None and hasattr(readers[sizes[0]], "get_peaks"):
                size = sizes[-1]
                record = 12 if version == 66 else 8
                offset = block_offset(profile, version, paths[size])
                nbytes = 4 + record * BIG_PEAKS
                fd = os.open(paths[size], os.O_RDONLY)
                try:
                    t = median_time({"get_peaks": lambda: readers[size].get_peaks(big),
                                     "pread": lambda: os.pread(fd, nbytes, offset)})
                finally:
                    os.close(fd)
                results["big"][key] = {"size": size, "get_peaks": t["get_peaks"], "pread": t["pread"],
                                       "bytes": nbytes}
            if version == 66 and profile == "orbitrap" and hasattr(readers[sizes[0]], "list_spectra"):
                reader = readers[sizes[0]]
                rows = [(s, reader.get_rt(s), reader.get_injection_time(s), reader.get_master_scan(s),
                         reader.get_charge_state(s), reader.get_monoisotopic_mz(s))
                        for s in range(1, reader.num_scans + 1)]

                def in_python():
                    return [{"scan_number": a, "rt": b, "injection_time": c, "master_scan": d,
                             "charge": e, "monomz": f} for a, b, c, d, e, f in rows]

                if in_python() != reader.list_spectra():
                    note("list_spectra differs from the list built in Python")
                t = median_time({"native": reader.list_spectra, "python": in_python})
                results["listing"] = {"scans": len(rows), **t}
            del readers
            for size, path in paths.items():
                if key == "orbitrap v66":
                    whole_read(path, size)
                if not keep:
                    os.remove(path)

            # The same content without the log texts: both log methods search the whole file.
            for size in sizes:
                path = write(size, profile, version, False)
                check = lambda name, value: check_result(name, value, profile, version, False)
                results["absent"].setdefault(size, {})[key] = log_scan_row(path, size, check, note)
                if not keep:
                    os.remove(path)
    # Both log texts, the last followed by empty space to the end: the scans after
    # the markers walk the whole file.
    for size in sizes:
        path = os.path.join(workdir, f"{size}_v66_trailing_plain.raw")
        trailing_texts_file(SIZES[size]).write(path)
        results["trailing"][size] = {"generic v66": log_scan_row(path, size, check_trailing, note)}
        if not keep:
            os.remove(path)
    results["seconds"] = time.perf_counter() - started
    return results


def log_scan_row(path: str, size: str, check, note) -> dict:
    """Both log methods on one file, timed in turn with a chunked read of it, and the
    peak extra memory of each in a fresh process. `check(name, value)` names a wrong
    result."""
    import kestrune

    reader = kestrune.RawFileReader(path)
    names = [n for n in ("get_status_log_labels", "get_error_logs") if hasattr(reader, n)]
    for name in names:
        problem = check(name, getattr(reader, name)())
        if problem:
            note(f"{os.path.basename(path)} {name}: {problem}")
    # Timed in turn with the chunked read, so that both see the same load.
    fns = {"chunked": lambda: chunked_read(path), **{n: getattr(reader, n) for n in names}}
    t = median_time(fns, budget=0.0 if SIZES[size] >= GiB else 0.25, min_rounds=7)
    row = {"chunked": t["chunked"], "chunked_mem": in_child({"path": path, "op": "chunked_read"})["extra"]}
    for name in names:
        mem = in_child({"path": path, "op": "call", "name": name, "args": []})
        row[name] = {"time": t[name], "extra": mem["extra"], "result": mem["result"]}
    return row


TRAILING_AT = 16_384


def trailing_texts_file(length: int) -> sr.RawFile:
    """The status-log labels, then the error-log texts, then nothing but zeros to the
    end: neither scan meets the short text or the unit above 256 that would end it."""
    texts = sr.text_runs(*STATUS_LABELS) + sr.text_runs(*ERROR_MESSAGES)
    return sr.RawFile().header(version=66).put(TRAILING_AT, texts).at_least(length)


def check_trailing(name: str, value) -> str | None:
    # The status-log scan takes every printable run after its marker, the error
    # texts included.
    want = STATUS_LABELS + ERROR_MESSAGES if name == "get_status_log_labels" else ERROR_MESSAGES
    return None if value == want else f"{len(value)} texts, {len(want)} expected"


def block_offset(profile: str, version: int, path: str) -> int:
    """Where the big block's count stands, from the reader's own scan offsets."""
    if profile == "small":
        return sr.SMALL_SCAN_OFFSETS[8] + block_header(version)
    n = sr.scan_count(version)
    with open(path, "rb") as f:
        f.seek(sr.ORBITRAP_INDEX_AT)
        index = f.read(sr.ORBITRAP_INDEX_STRIDE * n)
    position = sr.ORBITRAP_FIRST_SCAN_AT
    for k in range(n - 1):
        position += struct.unpack_from("<I", index, sr.ORBITRAP_INDEX_STRIDE * k)[0]
    return position + block_header(version)


# --------------------------------------------------------------------------- printing

def _num(v: float) -> str:
    return f"{v:.0f}" if v >= 100 else f"{v:.3g}"


def fmt_time(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{_num(seconds / scale)} {unit}"
    return f"{_num(seconds * 1e9)} ns"


def fmt_bytes(n: float) -> str:
    for unit, scale in (("GiB", GiB), ("MiB", MiB), ("KiB", 1024)):
        if n >= scale:
            return f"{_num(n / scale)} {unit}"
    return f"{n:.0f} B"


def table(headers, rows) -> str:
    widths = [max(len(str(x)) for x in col) for col in zip(headers, *rows)]
    line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
    return "\n".join([line(headers), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
                     + [line(r) for r in rows])


def log_scan_table(per_size: dict, sizes: list[str]) -> str:
    """The log methods against a chunked read of the same file: for each size, the
    worst ratio over its files."""
    rows = []
    for size in sizes:
        per_key = per_size[size]
        for name in ("get_status_log_labels", "get_error_logs"):
            items = [(k, v) for k, v in per_key.items() if name in v]
            if not items:
                continue
            k, v = max(items, key=lambda kv: kv[1][name]["time"] / kv[1]["chunked"])
            mem = max(kv[1][name]["extra"] for kv in items)
            rows.append([name, size, fmt_time(v[name]["time"]), fmt_time(v["chunked"]),
                         f"{v[name]['time'] / v['chunked']:.2f}x", fmt_bytes(mem)])
    return table(["call", "size", "time", "1 MiB chunked read", "ratio", "extra mem"], rows)


def report(results: dict, sizes: list[str], detail: bool) -> str:
    first, last = sizes[0], sizes[-1]
    out = []
    whole_of = lambda key, size: results["baselines"][size]["whole"]

    headers = ["call"] + [f"{s} time" for s in sizes]
    if len(sizes) > 1:
        headers += [f"{last}/{first}"]
    headers += [f"% of {last} read", f"extra mem {last}", "result"]

    def rows_for(per_key: dict, label: str):
        """The worst case over the profiles and versions, or every one in detail."""
        items = list(per_key.items())
        if not detail:
            worst = lambda f: max(items, key=f)[1]
            merged = {s: {"time": worst(lambda kv: kv[1][s]["time"])[s]["time"]} for s in sizes}
            ratio = max(kv[1][last]["time"] / kv[1][first]["time"] for kv in items)
            share = max(kv[1][last]["time"] / whole_of(kv[0], last) for kv in items)
            mem = max(items, key=lambda kv: kv[1][last]["extra"] - kv[1][last]["result"])[1][last]
            row = [label] + [fmt_time(merged[s]["time"]) for s in sizes]
            if len(sizes) > 1:
                row.append(f"{ratio:.2f}x")
            row += [f"{100 * share:.3f}%", fmt_bytes(mem["extra"]), fmt_bytes(mem["result"])]
            return [row]
        rows = []
        for key, m in items:
            row = [f"{label} [{key}]"] + [fmt_time(m[s]["time"]) for s in sizes]
            if len(sizes) > 1:
                row.append(f"{m[last]['time'] / m[first]['time']:.2f}x")
            row += [f"{100 * m[last]['time'] / whole_of(key, last):.3f}%",
                    fmt_bytes(m[last]["extra"]), fmt_bytes(m[last]["result"])]
            rows.append(row)
        return rows

    rows = []
    for label, per_key in results["calls"].items():
        rows += rows_for(per_key, label)
    title = "every profile and version" if detail else "worst case over the 3 profiles x 2 versions"
    out.append(f"Calls on files with every text near the start ({title}):\n")
    out.append(table(headers, rows))

    out.append("\nLog methods with their marker absent (the whole file is searched):\n")
    out.append(log_scan_table(results["absent"], sizes))
    out.append("\nLog methods whose last text is followed by empty space to the end (the scans "
               "after the markers walk the whole file):\n")
    out.append(log_scan_table(results["trailing"], sizes))

    if results["big"]:
        out.append("\nget_peaks on the 199999-peak block against one os.pread of its bytes:\n")
        rows = [[k, v["size"], fmt_bytes(v["bytes"]), fmt_time(v["get_peaks"]), fmt_time(v["pread"]),
                 f"{v['get_peaks'] / v['pread']:.2f}x"] for k, v in results["big"].items()]
        out.append(table(["file", "size", "block", "get_peaks", "pread", "ratio"], rows))

    if results["listing"]:
        l = results["listing"]
        out.append(f"\nlist_spectra on {l['scans']} scans against the same list of dicts built in Python "
                   "from tuples of the values:\n")
        out.append(table(["list_spectra", "Python", "ratio"],
                         [[fmt_time(l["native"]), fmt_time(l["python"]), f"{l['native'] / l['python']:.2f}x"]]))

    out.append("\nBaselines (the whole-file read on one file of each size, the chunked read the "
               "slowest over the files without log texts):\n")
    rows = []
    for size in sizes:
        b = results["baselines"][size]
        c = results["absent"][size].values()
        rows.append([size, fmt_time(b["whole"]), fmt_bytes(b["whole_mem"]),
                     fmt_time(max(x["chunked"] for x in c)), fmt_bytes(max(x["chunked_mem"] for x in c))])
    out.append(table(["size", "whole-file read", "its memory", "1 MiB chunked read", "its memory"], rows))
    out.append(f"\n{platform.machine()} {platform.system()}, {os.cpu_count()} cores, "
               f"Python {platform.python_version()}; run took {results['seconds']:.0f} s.")
    for text in results["notes"]:
        out.append("note: " + text)
    return "\n".join(out)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--small", action="store_true", help="the 8 MiB size only (a quick smoke run)")
    parser.add_argument("--detail", action="store_true", help="one row per profile and version")
    parser.add_argument("--dir", default=None, help="where to write the files (default: the temp dir)")
    parser.add_argument("--keep", action="store_true", help="keep the files")
    parser.add_argument("--json", default=None, help="also write the raw figures to this file")
    parser.add_argument("--child", default=None, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child is not None:
        print(json.dumps(child_main(json.loads(args.child))))
        return 0
    sizes = ["8M"] if args.small else list(SIZES)
    workdir = tempfile.mkdtemp(prefix="kbench-", dir=args.dir)
    # The profile is chosen from the whole path, directories included.
    if "orbitrap" in workdir or "small.RAW" in workdir:
        raise SystemExit(f"the work directory {workdir} names a File profile; pick another --dir")
    try:
        results = run(sizes, workdir, args.keep, log=lambda s: print(s, file=sys.stderr, flush=True))
    finally:
        if not args.keep:
            shutil.rmtree(workdir, ignore_errors=True)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(results, out, indent=1)
    print(report(results, sizes, args.detail))
    return 0


if __name__ == "__main__":
    sys.exit(main())
