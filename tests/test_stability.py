"""Long call loops: every method on files of every profile, found and not found,
with failing arguments mixed in. Open descriptors, the reference counts of the
argument objects and the resident memory stay flat.

The default loop is short; KESTRUNE_SOAK=1 runs 100000 rounds (KESTRUNE_SOAK=N
runs N) and prints the deltas.
"""

import gc
import os
import sys

import pytest

import kestrune
from surface import BAD_ARGUMENTS, NO_ARG_METHODS, PEAK_METHODS, SCAN_METHODS, call
from kestrune_tools.synthetic import RawFile, demo_file, method_xml, text_runs, with_demo_texts

soak = os.environ.get("KESTRUNE_SOAK", "")
ROUNDS = (100_000 if soak == "1" else int(soak)) if soak else 2_000
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


class Scan:
    """A scan argument whose own reference count can be watched."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def small_texts_file():
    """A generic file with every text the scans look for, small enough that the
    whole-file scans stay cheap in a long loop."""
    raw = RawFile().header(version=57, creation_time=133_444_736_000_000_000)
    raw.put(64, method_xml())
    raw.put(2048, text_runs("Coulombmeter", "Ion Gauge", "Fore Vacuum", "x"))
    raw.put(4096, text_runs("Possible spray instability", "Spray current low"))
    return raw.at_least(8192)


@pytest.fixture
def readers(files):
    """Readers on an orbitrap, a small and a generic file, and one whose file is gone."""
    demo = with_demo_texts(demo_file())
    made = {
        "orbitrap": demo.write(files / "orbitrap.raw"),
        "small": demo.write(files / "small.RAW"),
        "generic": small_texts_file().write(files / "generic.raw"),
        "gone": small_texts_file().write(files / "gone.raw"),
    }
    readers = {name: kestrune.RawFileReader(path) for name, path in made.items()}
    os.unlink(made["gone"])
    return readers, made


def one_round(readers, made, scans, i):
    for name, reader in readers.items():
        # The whole-file scans read megabytes on the big files: every 64th round there.
        cheap = name in ("generic", "gone")
        for method in SCAN_METHODS + PEAK_METHODS:
            if cheap or method != "get_instrument_method" or i % 64 == 0:
                call(reader, method, scans[i % len(scans)])
        if cheap or i % 64 == 0:
            for method in NO_ARG_METHODS:
                call(reader, method)
        if i % 16 == 0:
            call(reader, "initialize_caches")
        argument, error = BAD_ARGUMENTS[i % len(BAD_ARGUMENTS)]
        with pytest.raises(error):
            getattr(reader, SCAN_METHODS[i % len(SCAN_METHODS)])(argument)
    path = made["generic"] if i % 2 else made["gone"]
    try:
        kestrune.RawFileReader(path)
    except FileNotFoundError:
        pass


def test_call_loop_stays_flat(readers):
    readers, made = readers
    scans = [Scan(0), Scan(1), Scan(2), Scan(48), Scan(145), Scan(146), Scan(2**32 - 1)]
    paths = list(made.values())
    warm = max(200, ROUNDS // 10)
    for i in range(warm):
        one_round(readers, made, scans, i)
    gc.collect()
    refs = [sys.getrefcount(s) for s in scans] + [sys.getrefcount(p) for p in paths]
    fds, rss = open_descriptors(), resident_bytes()
    for i in range(ROUNDS):
        one_round(readers, made, scans, i)
    gc.collect()
    refs_after = [sys.getrefcount(s) for s in scans] + [sys.getrefcount(p) for p in paths]
    fd_delta, rss_delta = open_descriptors() - fds, resident_bytes() - rss
    print(f"\n{ROUNDS} rounds: fd delta {fd_delta}, refcount deltas "
          f"{[b - a for a, b in zip(refs, refs_after)]}, RSS delta {rss_delta / 1024:.0f} KiB")
    assert fd_delta == 0
    assert refs_after == refs
    # A leak of even a few bytes a call would show as megabytes over the loop; the
    # allowance covers the allocator's own arenas.
    assert rss_delta < 4 * 1024 * 1024
