"""`kestrune serve`: PROXI clients on loopback get the reader's spectra by USI; errors,
traversal attempts, concurrency and runs changing under the server."""

from __future__ import annotations

import contextlib
import http.client
import ipaddress
import json
import os
import queue
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
for library in ("starlette", "uvicorn", "orjson"):  # the serve extra
    pytest.importorskip(library)

import kestrune  # noqa: E402
from kestrune_tools import synthetic  # noqa: E402
from kestrune_tools.proxi import MISS_RESCAN_SECONDS, OpenRuns, ServedRun  # noqa: E402
from kestrune_tools.server import HEAD_SECONDS  # noqa: E402

LAUNCH = ("import sys; from kestrune_tools.batch.signals import end_with_parent; end_with_parent(); "
          "from kestrune_tools.cli import main; sys.exit(main(sys.argv[1:]))")
START_SECONDS = 60


@pytest.fixture(autouse=True)
def loopback_only(monkeypatch):
    """The clients' default backends are public servers: any other target fails the test."""
    connect = socket.socket.connect

    def guarded(self, address):
        host = address[0] if isinstance(address, tuple) else address
        assert ipaddress.ip_address(host).is_loopback, f"a test tried to reach {host}"
        return connect(self, address)

    monkeypatch.setattr(socket.socket, "connect", guarded)


def demo_run(path: Path, first_rt: float = 0.25) -> Path:
    """The demo acquisition, its retention times starting at `first_rt` so that each
    served run tells itself apart by its scan start time."""
    raw = synthetic.demo_file()
    count = synthetic.scan_count(66)
    lengths = [synthetic.DEMO_SCAN_LENGTH + 16 * (k % 7) for k in range(count)]
    raw.orbitrap_index(lengths, [first_rt + 0.05 * k for k in range(count)])
    path.parent.mkdir(parents=True, exist_ok=True)
    raw.write(path)
    return path


class Server:
    def __init__(self, process: subprocess.Popen[str], line: str) -> None:
        self.process, self.line = process, line
        self.base = line[line.index("http://"):].split()[0]
        parts = urllib.parse.urlsplit(self.base)
        self.host, self.port, self.path = parts.hostname or "", parts.port or 0, parts.path

    def get(self, query: str, path: str = "/spectra", method: str = "GET") -> tuple[int, dict[str, str], bytes]:
        connection = http.client.HTTPConnection(self.host, self.port, timeout=30)
        try:
            connection.request(method, self.path + path + query)
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def spectrum(self, usi: str, result_type: str = "full") -> tuple[int, object]:
        status, _, body = self.get(f"?resultType={result_type}&usi={urllib.parse.quote(usi, safe='')}")
        return status, json.loads(body)


@contextlib.contextmanager
def serving(*arguments: object):
    process = subprocess.Popen([sys.executable, "-c", LAUNCH, "serve", "--port", "0", *map(str, arguments)],
                               stderr=subprocess.PIPE, text=True)
    lines: queue.Queue[str] = queue.Queue()
    reading = threading.Thread(target=lambda: [lines.put(line) for line in process.stderr or ()], daemon=True)
    reading.start()
    try:
        yield Server(process, _listening_line(lines))
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        try:
            process.wait(20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        reading.join(10)
        if process.stderr is not None:
            process.stderr.close()


def _listening_line(lines: queue.Queue[str]) -> str:
    """The line naming the URL, among the server's first lines on standard error."""
    deadline = time.monotonic() + START_SECONDS
    while (left := deadline - time.monotonic()) > 0:
        line = lines.get(timeout=left)
        if "http://" in line:
            return line
    raise AssertionError("the server did not say where it listens")


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    """Served: run_a, [day2]run_a, a run whose name holds a colon, [day3]run_c; outside
    it, a canary run, reached from inside by a linked folder and a linked file."""
    root = tmp_path_factory.mktemp("serve_orbitrap")
    served, outside = root / "archive", root / "outside"
    runs = {"run_a": demo_run(served / "run_a.raw", 1.0), "[day2]run_a": demo_run(served / "day2" / "run_a.raw", 2.0),
            "run:b": demo_run(served / "run:b.raw", 3.0), "[day3]run_c": demo_run(served / "day3" / "run_c.RAW", 4.0)}
    canary = demo_run(outside / "canary.raw", 9.0)
    (served / "linked").symlink_to(outside, target_is_directory=True)
    (served / "canary.raw").symlink_to(canary)
    return served, runs, canary


@pytest.fixture(scope="module")
def server(archive):
    with serving(archive[0]) as running:
        yield running


def scan_start_time(spectrum: dict) -> float:
    return float(next(a["value"] for a in spectrum["attributes"] if a["accession"] == "MS:1000016"))


def test_listening_line_names_the_url_and_the_run_count(server):
    assert server.base.endswith("/proxi/v0.1") and server.host == "127.0.0.1"
    assert "4 runs" in server.line


@pytest.mark.parametrize("client", ["pyteomics", "spectrum_utils"])
@pytest.mark.parametrize("scan", [2, 7, 144])
def test_clients_get_the_readers_peaks_and_precursor(server, archive, client, scan):
    pytest.importorskip(client, reason=f"{client} comes with the peers extra")  # spectrum_utils
    from pyteomics.usi import _PROXIBackend as PROXIBackend  # the base of its backends, built from a URL template

    backend = PROXIBackend("kestrune", server.base + "/spectra?resultType=full&usi={usi}")
    usi = f"mzspec:USI000000:run:b:scan:{scan}:PEPTIDE/2"
    reader = kestrune.RawFileReader(str(archive[1]["run:b"]))
    mz, intensity = reader.get_peaks(scan)
    if client == "pyteomics":
        from pyteomics.usi import proxi

        answer = proxi(usi, backend=backend)
        got_mz, got_intensity = answer["m/z array"], answer["intensity array"]
        terms = {a["accession"]: a["value"] for a in answer["attributes"]}
        precursor_mz, charge = terms["MS:1000744"], terms["MS:1000041"]
    else:
        from spectrum_utils.spectrum import MsmsSpectrum

        answer = MsmsSpectrum.from_usi(usi, backend=backend)
        got_mz, got_intensity = answer.mz, answer.intensity
        precursor_mz, charge = answer.precursor_mz, answer.precursor_charge
    assert np.array_equal(np.asarray(got_mz, np.float64), mz)
    assert np.array_equal(np.asarray(got_intensity).astype(np.float32), intensity)
    assert (precursor_mz, charge) == (reader.get_monoisotopic_mz(scan), reader.get_charge_state(scan))


@pytest.mark.parametrize(("run", "expected"), [
    ("[]run_a", "run_a"),
    ("[]run_a.raw", "run_a"),
    ("[]run_a.RAW", "run_a"),
    ("[day2]run_a", "[day2]run_a"),
    ("[day2]run_a.mzML", "[day2]run_a"),
    ("[day2/]run_a.raw", "[day2]run_a"),
    ("run:b", "run:b"),
    ("run:b.raw", "run:b"),
    ("run_c", "[day3]run_c"),
    ("run_c.RAW", "[day3]run_c"),
    ("[day3]run_c", "[day3]run_c"),
])
@pytest.mark.parametrize("interpretation", ["", ":VLHPLEGAVVIIFK/2", ":PEPT[U:Phospho]IDE/3"])
def test_usi_names_its_run(server, archive, run, expected, interpretation):
    usi = f"mzspec:USI000000:{run}:scan:3{interpretation}"
    status, answer = server.spectrum(usi, "compact")
    assert status == 200, answer
    (spectrum,) = answer
    assert spectrum["usi"] == usi and "mzs" not in spectrum
    rt = kestrune.RawFileReader(str(archive[1][expected])).get_rt(3)
    assert scan_start_time(spectrum) == rt
    assert all(isinstance(a["value"], str) and a["value"] for a in spectrum["attributes"])


@pytest.mark.parametrize(("query", "status", "kind"), [
    ("?resultType=full&usi=MZSPEC:USI000000:run:b:scan:3", 400, "MalformedUSI"),
    ("?resultType=full&usi=mzspec:USI000000:run:b:scan:three", 400, "MalformedUSI"),
    ("?resultType=full&usi=mzspec:USI000000:run_a", 400, "MalformedUSI"),
    ("?resultType=full&usi=mzspec::run_a:scan:3", 400, "MalformedUSI"),
    ("?resultType=full&usi=mzspec:USI000000:run:b:scan:3%0a", 400, "MalformedUSI"),
    ("?resultType=full", 400, "MalformedRequest"),
    ("?resultType=everything&usi=mzspec:USI000000:run:b:scan:3", 400, "MalformedRequest"),
    ("?resultType=full&usi=mzspec:USI000000:run:b:scan:3&usi=mzspec:USI000000:run:b:scan:4", 400,
     "MalformedRequest"),
    ("?resultType=full&usi=" + "x" * 9000, 400, "MalformedRequest"),
    ("?resultType=full&usi=mzspec:PXD000561:run_a:scan:3", 404, "UnknownCollection"),
    ("?resultType=full&usi=mzspec:USI000000:run_z:scan:3", 404, "UnknownMsRun"),
    ("?resultType=full&usi=mzspec:USI000000:%5Bday3%5Drun_a:scan:3", 404, "UnknownMsRun"),
    ("?resultType=full&usi=mzspec:USI000000:run:b:scan:0", 404, "UnknownScan"),
    ("?resultType=full&usi=mzspec:USI000000:run:b:scan:146", 404, "UnknownScan"),
    ("?resultType=full&usi=mzspec:USI000000:run:b:scan:99999999999999999999999", 404, "UnknownScan"),
    ("?resultType=full&usi=mzspec:USI000000:run:b:index:3", 501, "UnsupportedIndexType"),
    ("?resultType=full&usi=mzspec:USI000000:run:b:nativeId:1,1,3", 501, "UnsupportedIndexType"),
])
def test_each_error_is_a_proxi_error_object(server, archive, query, status, kind):
    got, headers, body = server.get(query)
    error = json.loads(body)
    assert (got, error["status"], error["type"]) == (status, status, kind)
    assert headers["content-type"] == "application/json"
    assert error["title"] and error["detail"] and str(archive[0].parent) not in error["detail"]


def test_a_name_two_folders_hold_is_ambiguous_and_names_both(server):
    status, error = server.spectrum("mzspec:USI000000:run_a:scan:3")
    assert status == 400 and error["type"] == "AmbiguousMsRun"
    assert "[]run_a and [day2]run_a" in error["detail"]


@pytest.mark.parametrize(("method", "path", "status"), [
    ("POST", "/spectra", 405), ("PUT", "/spectra", 405), ("DELETE", "/spectra", 405),
    ("GET", "/psms", 501), ("GET", "/datasets", 501), ("GET", "/../etc/passwd", 404), ("GET", "/", 404),
])
def test_other_methods_and_paths_answer_error_objects(server, method, path, status):
    got, _, body = server.get("", path, method)
    assert got == status and json.loads(body)["status"] == status


def test_head_answers_the_headers_without_a_body(server):
    status, headers, body = server.get("?resultType=full&usi=mzspec:USI000000:run:b:scan:3", method="HEAD")
    assert status == 200 and body == b"" and int(headers["content-length"]) > 1000


@pytest.mark.parametrize("sent", [b"", b"GET /proxi/v0.1/spectra?resultType=full&usi=mzspec:US"])
def test_a_connection_whose_request_head_never_comes_whole_is_closed(server, sent):
    with socket.create_connection((server.host, server.port), timeout=HEAD_SECONDS + 10) as peer:
        peer.sendall(sent)
        started = time.monotonic()
        assert peer.recv(1024) == b""
        assert time.monotonic() - started < HEAD_SECONDS + 5


@pytest.mark.parametrize("run", [
    "canary", "canary.raw", "../outside/canary", "[..]canary", "[../outside]canary", "[linked]canary",
    "[/]canary", "%2e%2e%2foutside%2fcanary", "[%2e%2e/outside]canary", "canary%00", "canary\x00.raw",
    "{outside}/canary.raw", "/etc/passwd", "[/etc]passwd", "x" * 3000,
])
def test_traversal_never_reaches_outside(server, archive, run):
    outside = str(archive[2].parent)
    usi = f"mzspec:USI000000:{run.replace('{outside}', outside)}:scan:3"
    status, _, body = server.get(f"?resultType=full&usi={urllib.parse.quote(usi, safe='%')}")
    assert status in (400, 404)
    assert "READABLE" not in body.decode() and (outside in usi or outside not in body.decode())


@pytest.mark.parametrize(("clients", "requests"), [(8, 160), (100, 100)])  # steady, then a burst of connections
def test_concurrent_clients_all_get_their_spectra(server, archive, clients, requests):
    reader = kestrune.RawFileReader(str(archive[1]["[day2]run_a"]))
    scans = [2 + k % 140 for k in range(requests)]

    def fetch(scan):
        status, answer = server.spectrum(f"mzspec:USI000000:[day2]run_a:scan:{scan}")
        return status, answer[0]["mzs"]

    with ThreadPoolExecutor(clients) as pool:
        answers = list(pool.map(fetch, scans))
    assert all(status == 200 and mzs == reader.get_peaks(scan)[0].tolist()
               for scan, (status, mzs) in zip(scans, answers))


@pytest.mark.parametrize("change", ["deleted", "truncated", "replaced", "added", "linked outside"])
def test_runs_changing_while_served(tmp_path_factory, change):
    folder = tmp_path_factory.mktemp("changing_orbitrap")
    run = demo_run(folder / "run.raw", 1.0)
    usi = "mzspec:USI000000:run:scan:5"
    with serving(folder) as running:
        before = running.spectrum(usi)
        if change in ("deleted", "linked outside"):
            run.unlink()
            if change == "linked outside":
                run.symlink_to(demo_run(tmp_path_factory.mktemp("elsewhere_orbitrap") / "canary.raw", 9.0))
        elif change == "truncated":
            os.truncate(run, 5000)
        elif change == "replaced":
            demo_run(folder / "new.raw", 7.0).replace(run)
        else:
            demo_run(folder / "later" / "run2.raw", 7.0)
            usi = "mzspec:USI000000:run2:scan:5"
            time.sleep(MISS_RESCAN_SECONDS)  # the folders are searched again at most this often
        status, answer = running.spectrum(usi)
        assert running.process.poll() is None
    assert before[0] == 200
    if change in ("deleted", "linked outside"):
        assert status == 404 and answer["type"] == "UnknownMsRun"
    elif change == "truncated":
        assert status == 404 or answer[0]["mzs"] == []
    else:
        assert status == 200 and scan_start_time(answer[0]) == 7.2


def test_a_run_dropped_from_the_open_runs_stays_readable_by_its_users(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cache_orbitrap")
    first, second = (ServedRun(path, str(path.resolve()), "", path.name)
                     for path in (demo_run(folder / "a.raw"), demo_run(folder / "b.raw")))
    open_runs = OpenRuns(capacity=1)
    in_use = open_runs.get(first)
    open_runs.get(second)
    assert len(open_runs) == 1 and in_use[2].scan_number == 2


@pytest.mark.parametrize(("number", "status"), [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_signals_stop_the_server_with_the_commands_status(tmp_path_factory, number, status):
    folder = tmp_path_factory.mktemp("stopping_orbitrap")
    demo_run(folder / "run.raw")
    with serving(folder) as running:
        assert running.spectrum("mzspec:USI000000:run:scan:2")[0] == 200
        running.process.send_signal(number)
        assert running.process.wait(20) == status


@pytest.mark.parametrize("arguments", [
    ["{missing}"], ["{folder}", "--port", "70000"], ["{folder}", "--collection", "PXD:1"],
    ["{folder}", "--host", "192.0.2.1"],
])
def test_usage_errors_exit_with_status_2(tmp_path_factory, arguments):
    folder = tmp_path_factory.mktemp("usage")
    argv = [a.format(missing=folder / "missing", folder=folder) for a in arguments]
    done = subprocess.run([sys.executable, "-c", LAUNCH, "serve", *argv], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 2 and len(done.stderr.strip().splitlines()) >= 1


def test_the_companion_imports_no_server_until_it_serves():
    code = ("import sys, kestrune, kestrune_tools, kestrune_tools.cli; kestrune_tools.cli.parser(); "
            "print(sorted(m for m in ('starlette', 'uvicorn', 'anyio') if m in sys.modules))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, check=True)
    assert done.stdout.strip() == "[]"
