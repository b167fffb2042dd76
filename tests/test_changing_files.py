"""Files that change under a reader: truncated, replaced or deleted between calls,
and truncated while a whole-file scan runs. The reader answers with its neutral
values (initialize_caches with PanicException) and the interpreter survives."""

import os
import pickle
import subprocess
import sys
import textwrap

import pytest

from surface import call, call_everything, open_reader
from kestrune_tools.synthetic import (
    DEMO_LOGS_AT,
    DEMO_METHOD_AT,
    ORBITRAP_FIRST_SCAN_AT,
    ORBITRAP_INDEX_AT,
    SMALL_BLOCK_AT,
    SMALL_RT_AT,
    TRAILER_AT,
    demo_file,
    method_xml,
    text_runs,
    trailer_at,
    with_demo_texts,
)

UNREADABLE = "called `Option::unwrap()` on a `None` value"


@pytest.fixture
def demo(files):
    """The demo orbitrap file with its texts, and a reader opened on it."""
    path = with_demo_texts(demo_file()).write(files / "orbitrap-demo.raw")
    return path, open_reader(path)


def neutral(outcomes, length=0):
    """The answers that read the file, once it holds no more than `length` bytes."""
    if length < DEMO_LOGS_AT:
        assert outcomes["get_status_log_labels"] == ("value", [])
        assert outcomes["get_error_logs"] == ("value", [])
    if length < DEMO_METHOD_AT:
        assert outcomes["get_instrument_method", 1] == ("value", "")
    # Scan 1's peak block follows the file's first scan offset.
    if ("native_get_peaks", 1) in outcomes and length <= ORBITRAP_FIRST_SCAN_AT:
        assert outcomes["native_get_peaks", 1] == ("value", None)
        kind, answer = outcomes["get_peaks", 1]
        if kind == "value":  # a PanicException where NumPy is not installed
            mz, intensity = answer
            assert list(mz) == [0.0] and list(intensity) == [0.0]


@pytest.mark.parametrize(
    "length",
    [0, 12, 39, 40, 3666, ORBITRAP_INDEX_AT, ORBITRAP_INDEX_AT + 88 * 144 + 3, TRAILER_AT, trailer_at(1) + 139,
     trailer_at(145) + 139],
)
def test_truncated_after_construction(demo, length):
    path, reader = demo
    before = call_everything(reader)
    os.truncate(path, length)
    after = call_everything(reader)
    # The caches were filled at construction and stay as they were.
    for name in ("get_rt", "get_injection_time", "get_master_scan", "get_charge_state", "get_monoisotopic_mz"):
        assert after[name, 1] == before[name, 1]
    assert after["list_spectra"] == before["list_spectra"]
    # The trailer keeps keys 1 to 5 for a scan whose record is cut.
    assert len(after["get_trailer_extra", 145][1]) == 5
    neutral(after, length)
    kind, error = call(reader, "initialize_caches")
    if length < ORBITRAP_INDEX_AT + 88 * 144 + 4:
        assert kind == "panic" and str(error).startswith("range ")
    assert call(reader, "num_scans") == ("value", 145)


@pytest.mark.parametrize("profile", ["orbitrap-demo.raw", "small.RAW", "generic.raw"])
def test_deleted_after_construction(files, profile):
    path = with_demo_texts(demo_file()).write(files / profile)
    reader = open_reader(path)
    before = call_everything(reader)
    os.unlink(path)
    after = call_everything(reader)
    neutral(after)
    assert after["list_spectra"] == before["list_spectra"]
    # Orbitrap files lose the record's keys, "MS Order" included; the others never read it.
    keys = 5 if "orbitrap" in profile else 6
    assert all(len(after["get_trailer_extra", s][1]) == keys for s in (1, 145))
    kind, error = call(reader, "initialize_caches")
    assert kind == "panic" and str(error) == UNREADABLE
    assert after["num_scans"] == before["num_scans"]


@pytest.mark.parametrize("replacement", ["directory", "other file", "fifo"])
def test_replaced_after_construction(files, replacement):
    path = with_demo_texts(demo_file()).write(files / "orbitrap-demo.raw")
    reader = open_reader(path)
    before = call_everything(reader)
    os.unlink(path)
    if replacement == "directory":
        os.mkdir(path)
    elif replacement == "fifo":
        os.mkfifo(path)
    else:
        other = demo_file()
        other.put(2_000_000, method_xml("<Scan>replaced</Scan>"))
        other.put(10_000, text_runs("Coulombmeter", "Replaced label", "Other label"))
        other.write(path)
    after = call_everything(reader)
    assert after["list_spectra"] == before["list_spectra"]
    if replacement == "other file":
        # Reading methods answer from the file as it is now.
        assert "replaced" in after["get_instrument_method", 1][1]
        assert after["get_status_log_labels"][1][:3] == ["Coulombmeter", "Replaced label", "Other label"]
        assert after["get_error_logs"] == ("value", [])
        assert call(reader, "initialize_caches") == ("value", None)
    else:
        neutral(after)
        kind, error = call(reader, "initialize_caches")
        assert kind == "panic" and str(error) == UNREADABLE


@pytest.mark.parametrize("profile", ["small.RAW", "orbitrap.raw"])
def test_small_tables_cut_after_construction(files, profile):
    raw = demo_file()
    raw.at_least(SMALL_BLOCK_AT + 254 * 47 + 40)
    path = raw.write(files / profile)
    reader = open_reader(path)
    for length in (SMALL_BLOCK_AT + 1, SMALL_RT_AT + 5, 100):
        os.truncate(path, length)
        call_everything(reader, scans=[0, 1, 48, 145])
        call(reader, "initialize_caches")


# The child cuts the file and lays the lost pieces back, a bounded number of
# times, while the parent's scans run. A scan that sees the file shrink ends
# early; its answer is still a list of texts.
TRUNCATOR = textwrap.dedent(
    """
    import os, pickle, sys
    path, pieces_path, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
    with open(pieces_path, "rb") as f:
        full, pieces = pickle.load(f)
    cuts = [0, 1, 41, full // 3, 6_700_010, 7_000_030, full - 3]
    with open(path, "r+b") as out:
        for i in range(rounds):
            cut = cuts[i % len(cuts)]
            os.truncate(path, cut)
            for offset, data in pieces:
                if offset + len(data) > cut:
                    out.seek(offset)
                    out.write(data)
            out.flush()
            os.truncate(path, full)
    """
)


def test_truncated_during_whole_file_scans(files):
    raw = with_demo_texts(demo_file())
    # A label run laid far out, past where most cuts fall.
    raw.put(7_000_000, text_runs("Coulombmeter", "Late label", "Later label"))
    path = raw.write(files / "orbitrap-moving.raw")
    full = os.path.getsize(path)
    pieces_path = files / "pieces.pickle"
    pieces_path.write_bytes(pickle.dumps((full, sorted(raw.pieces.items()))))
    reader = open_reader(path)
    child = subprocess.Popen([sys.executable, "-c", TRUNCATOR, path, str(pieces_path), "2000"])
    seen = set()
    try:
        while child.poll() is None and len(seen) < 10_000:
            for name in ("get_status_log_labels", "get_error_logs"):
                seen.add((name, tuple(call(reader, name)[1])))
            call(reader, "get_instrument_method", 0)
            call(reader, "get_trailer_extra", 145)
            for name in ("native_get_peaks", "get_peaks"):
                call(reader, name, 1)
            call(reader, "initialize_caches")
    finally:
        child.kill()
        child.wait()
    print(f"distinct scan answers while the file moved: {len(seen)}")
    raw.write(path)
    # The file restored, the reader answers as before.
    assert call(reader, "initialize_caches") == ("value", None)
    assert call(reader, "get_error_logs")[1] == ["Possible spray instability", "Spray current low",
                                                 "Fan speed below limit"]


@pytest.mark.parametrize("kind", ["directory", "fifo", "/dev/null", "/dev/zero", "symlink loop"])
def test_paths_that_are_not_regular_files(files, kind):
    """The constructor answers with an OSError or PanicException, without blocking."""
    path = files / "special.raw"
    if kind == "directory":
        os.mkdir(path)
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "symlink loop":
        os.symlink(path, path)
    else:
        path = kind
    assert open_reader(path) is None
