"""A batch's processes, streams and values: signals, closed pipes, header values no
date holds, NaN retention times, inert text, scheduler addresses, and the reader's
own diagnostics attributed to their file."""

from __future__ import annotations

import http.server
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path

import pytest

pytest.importorskip("numpy")
pytest.importorskip("pyarrow")

from export_runs import write_run
from kestrune_tools.cli import main
from kestrune_tools.synthetic import ORBITRAP_INDEX_AT, ORBITRAP_INDEX_STRIDE, RawFile, method_xml, with_demo_texts, demo_file

KESTRUNE = Path(sys.executable).with_name("kestrune")
TREE_MARKER = "KESTRUNE_TEST_TREE"


def command(*args: str) -> list[str]:
    if not KESTRUNE.exists():
        pytest.skip("the kestrune console script is not installed beside this interpreter")
    return [str(KESTRUNE), *args]


def run(*args: str, timeout: float = 60, **options) -> subprocess.CompletedProcess[str]:
    streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **options}
    return subprocess.run(command(*args), text=True, timeout=timeout, **streams)


def in_process(capsys, *args: str) -> tuple[int, str, str]:
    """`kestrune ARGS` run here: (exit status, standard output, standard error)."""
    status = main(list(args))
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def processes_marked(token: str) -> list[int]:
    """The processes whose environment holds the batch's marker."""
    found = []
    needle = f"{TREE_MARKER}={token}".encode()
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                if needle in (entry / "environ").read_bytes().split(b"\0"):
                    found.append(int(entry.name))
            except OSError:  # ended meanwhile, or not ours to read
                pass
    return found


@pytest.mark.skipif(not Path("/proc/self/environ").exists(), reason="needs /proc")
@pytest.mark.parametrize("ending", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGKILL])
def test_a_signalled_batch_leaves_no_process_and_counts_what_it_wrote(files, ending):
    """SIGINT goes to the whole process group, as Ctrl-C on a terminal sends it."""
    pytest.importorskip("psims")  # mzML: the export slow enough to be caught mid-way
    for k in range(12):
        write_run(files / "in", "orbitrap", 66, f"run{k:02}_orbitrap.raw")
    out, token = files / "out", uuid.uuid4().hex
    batch = subprocess.Popen(command("convert", str(files / "in"), "-o", str(out), "--to", "mzml", "-j", "2"),
                             env={**os.environ, TREE_MARKER: token}, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True, start_new_session=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and len(list(out.glob("*.mzML"))) < 2:
        time.sleep(0.01)
    if ending == signal.SIGINT:
        os.killpg(batch.pid, ending)
    else:
        batch.send_signal(ending)
    _, stderr = batch.communicate(timeout=30)
    deadline = time.monotonic() + 5
    while processes_marked(token) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert processes_marked(token) == []
    written = sorted(out.glob("*.mzML"))
    time.sleep(0.5)
    assert sorted(out.glob("*.mzML")) == written  # nothing more is written after the end
    assert len(written) < 12
    if ending != signal.SIGKILL:
        assert batch.returncode == 128 + ending, stderr
        assert f"kestrune convert: {len(written)} converted, 0 skipped, 0 failed" in stderr
        assert not list(out.glob(".*.part"))


def closed_pipe() -> int:
    """The writing end of a pipe whose reading end is already closed."""
    reading, writing = os.pipe()
    os.close(reading)
    return writing


@pytest.mark.parametrize("case", ["stderr of a batch", "stdout of info", "stdout of info --json"])
def test_a_closed_stream_stops_no_work_and_shows_no_traceback(files, case):
    good = [write_run(files / "in", "orbitrap", 66, f"r{k}_orbitrap.raw") for k in range(3)]
    for k in range(3):
        (files / "in" / f"bad{k}.raw").write_bytes(b"abc")
    writing = closed_pipe()
    try:
        if case == "stderr of a batch":
            result = run("convert", str(files / "in"), "-o", str(files / "out"), "--to", "mgf", "-j", "1",
                         stderr=writing)
            assert result.returncode == 1  # the bad inputs, although no line could say so
            assert sorted(path.name for path in (files / "out").iterdir() if not path.name.startswith(".")) == [
                f"{p.stem}.mgf" for p in good]
        else:
            result = run("info", str(good[0]), *(["--json"] if "json" in case else []), stdout=writing)
            assert result.returncode == 1 and result.stderr == ""
    finally:
        os.close(writing)


@pytest.mark.parametrize("view", ["info text", "info json", "parquet", "catalog", "mzml"])
def test_a_creation_time_no_date_holds_fails_nothing(files, capsys, view):
    seconds = 1_833_029_933_770  # year 60056
    raw = RawFile().header(version=66, creation_time=(seconds + 11_644_473_600) * 10**7).at_least(1000)
    path = Path(raw.write(files / "late.raw"))
    out = files / "out"
    if view.startswith("info"):
        status, out, err = in_process(capsys, "info", str(path), *(["--json"] if view == "info json" else []))
        assert status == 0, err
        if view == "info json":
            values = json.loads(out)
            assert (values["creation_date"], values["creation_seconds"]) == (None, seconds)
        else:
            assert f"creation date:     {seconds} s since 1970" in out
        return
    if view == "mzml":
        pytest.importorskip("psims")
    import pyarrow.parquet as pq

    arguments = ["catalog", str(path), "-o", str(out / "c.parquet")] if view == "catalog" else [
        "convert", str(path), "-o", str(out), "--to", view]
    status, _, err = in_process(capsys, *arguments, "-j", "1")
    assert status == 0, err
    if view == "mzml":
        assert "startTimeStamp" not in (out / "late.mzML").read_text()
        return
    table = pq.read_table(out / ("c.parquet" if view == "catalog" else "late.scans.parquet"))
    assert table["creation_date"].null_count == table.num_rows == 145
    if view == "parquet":
        for name in ("late.scans.parquet", "late.peaks.parquet"):
            assert pq.read_metadata(out / name).metadata[b"kestrune.creation_date"] == b""


def with_odd_times(directory: Path) -> Path:
    """The demo run with scan 6's retention time NaN and scan 10's infinite."""
    path = write_run(directory, "orbitrap", 66, "odd_orbitrap.raw")
    with open(path, "r+b") as raw:
        for scan, rt in ((6, float("nan")), (10, float("inf"))):
            raw.seek(ORBITRAP_INDEX_AT + ORBITRAP_INDEX_STRIDE * (scan - 1) + 4)
            raw.write(struct.pack("<d", rt))
    return path


@pytest.mark.parametrize("view", ["spectra", "mzml", "report", "info json"])
def test_nan_and_infinite_retention_times_keep_their_scans(files, capsys, view):
    import math

    import kestrune_tools as kt

    path = with_odd_times(files / "in")
    if view == "spectra":
        with kt.open_run(path) as run_:
            assert [s.scan_number for s in run_.spectra()] == list(range(1, 146))
            assert [s.scan_number for s in run_.spectra(rt_range=(-math.inf, math.inf))] == [
                n for n in range(1, 146) if n != 6]
        return
    if view == "info json":
        _, out, _ = in_process(capsys, "info", "--json", str(path))
        values = json.loads(out)  # strict JSON: no NaN
        assert "NaN" not in out and math.isfinite(values["rt_range_minutes"][1])
        return
    pytest.importorskip("bokeh" if view == "report" else "pyteomics")
    if view == "report":
        assert in_process(capsys, "report", str(path), "-o", str(files / "page.html"))[0] == 0
        return
    from pyteomics import mzml

    from kestrune_tools.mzml import psi_ms_vocabulary

    assert in_process(capsys, "convert", str(path), "-o", str(files / "out"), "--to", "mzml")[0] == 0
    with mzml.MzML(str(files / "out" / "odd_orbitrap.mzML"), cv=psi_ms_vocabulary()) as reader:
        assert len(list(reader)) == 145
    text = (files / "out" / "odd_orbitrap.mzML").read_text()
    assert 'spectrumList count="145"' in text and 'value="nan"' not in text and 'value="inf"' not in text


@pytest.mark.parametrize("separator", ["\n", "\r", "\r\n", "\x1b", "\x85", "\u2028", "\u2029", " "])
def test_a_file_name_cannot_forge_mgf_records(files, capsys, separator):
    mgf = pytest.importorskip("pyteomics.mgf")
    forged = separator.join(["x", "END IONS", "BEGIN IONS", "TITLE=forged", "PEPMASS=500", "100 1", "END IONS", "y"])
    path = write_run(files / "in", "orbitrap", 66, f"{forged}_orbitrap.raw")
    assert in_process(capsys, "convert", str(path), "-o", str(files / "out"), "--to", "mgf")[0] == 0
    (output,) = (path for path in (files / "out").iterdir() if not path.name.startswith("."))
    text = output.read_text(encoding="utf-8")
    entries = text.splitlines().count("BEGIN IONS")
    assert "\x1b" not in text and "\u2028" not in text and "\x85" not in text and "\r" not in text
    for reader in (mgf.IndexedMGF, mgf.MGF):
        with reader(str(output)) as spectra:
            titles = [spectrum["params"]["title"] for spectrum in spectra]
        assert len(titles) == entries > 100 and all(title.startswith("x") for title in titles)


@pytest.mark.parametrize("case", ["error line", "info text"])
def test_terminal_output_shows_control_characters_escaped(files, capsys, case):
    escape = "\x1b]0;owned\x07\x1b[2J"
    if case == "error line":
        _, _, shown = in_process(capsys, "convert", str(files / f"gone{escape}.raw"), "-o", str(files / "out"),
                                 "--to", "mgf")
    else:
        raw = with_demo_texts(demo_file()).put(1_000_000, method_xml(f"<Method>{escape}\u2028x</Method>"))
        _, shown, _ = in_process(capsys, "info", raw.write(files / f"run{escape}.raw"))
    assert "\x1b" not in shown and "\x07" not in shown and "\u2028" not in shown
    assert "\\x1b]0;owned\\x07\\x1b[2J" in shown, shown


class GreetingServer:
    """A TCP server on 127.0.0.1 that greets each connection as an ssh server does,
    or says nothing (an HTTP server waits for a request), or is no server at all."""

    def __init__(self, kind: str) -> None:
        self.kind = kind
        if kind == "http server":
            self.server: object = http.server.ThreadingHTTPServer(("127.0.0.1", 0), http.server.BaseHTTPRequestHandler)
            self.port = self.server.server_address[1]  # type: ignore[attr-defined]
            threading.Thread(target=self.server.serve_forever, daemon=True).start()  # type: ignore[attr-defined]
            return
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        if kind == "closed port":
            self.listener.close()
        else:
            threading.Thread(target=self.greet, daemon=True).start()

    def greet(self) -> None:
        while True:
            try:
                peer, _ = self.listener.accept()
            except OSError:
                return
            peer.sendall(b"SSH-2.0-OpenSSH_9.6\r\n" + b"\x00" * 64)

    def close(self) -> None:
        if self.kind == "http server":
            self.server.shutdown()  # type: ignore[attr-defined]
            self.server.server_close()  # type: ignore[attr-defined]
        else:
            self.listener.close()


@pytest.mark.parametrize("address", ["http server", "greeting socket", "closed port", "nothing", "",
                                     "tcp://[::1", "inproc://x", "tcp://[::1]:1"])
def test_a_scheduler_address_that_is_no_scheduler_is_one_line_and_exit_2(files, address):
    pytest.importorskip("distributed")
    path = write_run(files / "in", "orbitrap", 66, "run_orbitrap.raw")
    server = GreetingServer(address) if address in ("http server", "greeting socket", "closed port") else None
    target = f"tcp://127.0.0.1:{server.port}" if server is not None else address
    try:
        started = time.monotonic()
        result = run("convert", str(path), "-o", str(files / "out"), "--to", "mgf", "--scheduler", target,
                     timeout=30)
    finally:
        if server is not None:
            server.close()
    assert result.returncode == 2 and time.monotonic() - started < 30
    assert len(result.stderr.splitlines()) == 1 and "error:" in result.stderr, result.stderr
    assert not (files / "out").exists()


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_the_readers_diagnostic_is_part_of_its_files_line(files, jobs):
    bad = [Path(RawFile().header(version=66).at_least(1000).write(files / f"cut{k}_orbitrap.raw")) for k in range(2)]
    good = write_run(files, "orbitrap", 66, "good_orbitrap.raw")
    result = run("convert", *map(str, [*bad, good]), "-o", str(files / "out"), "--to", "mgf", "-j", jobs)
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert len(lines) == 3, result.stderr  # one line per bad input, then the summary
    for path in bad:
        (line,) = [line for line in lines if line.startswith(f"kestrune: {path}: ")]
        assert "internal failure at src/reader/" in line


def test_an_interrupted_catalog_counts_no_run_catalogued(files, capsys):
    from kestrune_tools.batch import Interrupted, Outcome
    from kestrune_tools.cli.common import Progress

    with pytest.raises(Interrupted):
        with Progress(3, command="catalog", done_word="catalogued", one_output=True) as progress:
            progress.record(Outcome("a.raw", "converted"))
            raise Interrupted(signal.SIGTERM)  # the catalog file is then never written
    assert "kestrune catalog: 0 catalogued, 0 skipped, 0 failed" in capsys.readouterr().err
