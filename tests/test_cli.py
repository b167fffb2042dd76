"""The kestrune command: bad inputs, usage errors, resuming, a killed batch, the bar."""

from __future__ import annotations

import os
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

pytest.importorskip("numpy")
pytest.importorskip("pyarrow")

from export_runs import crash_on_marked, tables_of, write_run
from kestrune_tools.batch import run_tasks
from kestrune_tools.cli import main
from kestrune_tools.jobs import mzml_available
from kestrune_tools.synthetic import RawFile

KESTRUNE = Path(sys.executable).with_name("kestrune")
SUMMARY = re.compile(r"kestrune \w+: (\d+) \w+, (\d+) skipped, (\d+) failed in ")


def kestrune(*args: str, prefix: tuple[str, ...] = (), **options) -> subprocess.CompletedProcess[str]:
    if not KESTRUNE.exists():
        pytest.skip("the kestrune console script is not installed beside this interpreter")
    streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **options}
    return subprocess.run([*prefix, str(KESTRUNE), *args], text=True, timeout=120, **streams)


def counts(stderr: str) -> tuple[int, int, int]:
    """(converted, skipped, failed) from the summary line."""
    match = SUMMARY.search(stderr)
    assert match, stderr
    return tuple(int(n) for n in match.groups())


def visible(folder: Path) -> list[Path]:
    """The outputs, without the hidden records of what each was made from."""
    return sorted(path for path in folder.iterdir() if not path.name.startswith("."))


def without_dac_override() -> tuple[str, ...]:
    """A prefix that makes a file without read permission unreadable, even to root."""
    if os.geteuid() != 0:
        return ()
    if shutil.which("setpriv") is None:
        pytest.skip("root reads any file, and setpriv is missing to drop that")
    return ("setpriv", "--bounding-set=-dac_override,-dac_read_search")


@pytest.mark.parametrize("command", [["convert", "--to", "mgf"], ["convert", "--to", "parquet"], ["catalog"]])
def test_each_bad_input_is_one_line_and_the_others_are_done(files, command):
    batch = files / "batch"
    good = [write_run(batch, "orbitrap", 66, "good_orbitrap.raw"), write_run(files / "more", "orbitrap", 66, "alone_orbitrap.raw")]
    (batch / "folder.raw").mkdir()
    (batch / "short.raw").write_bytes(b"abc")
    os.mkfifo(batch / "pipe.RAW")
    RawFile().header(version=66).at_least(1000).write(batch / "cut_orbitrap.raw")
    locked = Path(RawFile().header().write(batch / "locked.raw"))
    locked.chmod(0)
    expected = {
        files / "missing.raw": "no such file",
        batch / "folder.raw": "is a directory, not a .raw file",
        batch / "short.raw": "too short to hold a file header (3 bytes)",
        batch / "pipe.RAW": "not a regular file",
        batch / "locked.raw": "permission denied",
        batch / "cut_orbitrap.raw": "cannot be read: ",  # followed by the reader's own words
    }
    out = files / "out"
    target = ["-o", str(out / "catalog.parquet")] if command == ["catalog"] else ["-o", str(out)]
    result = kestrune(command[0], str(batch), str(files / "missing.raw"), str(good[1]), *target, *command[1:],
                      prefix=without_dac_override())
    assert result.returncode == 1, result.stderr
    for path, reason in expected.items():
        lines = [line for line in result.stderr.splitlines() if line.startswith(f"kestrune: {path}: ")]
        assert len(lines) == 1 and lines[0].startswith(f"kestrune: {path}: {reason}"), result.stderr
    assert counts(result.stderr) == (2, 0, 6)
    if command == ["catalog"]:
        import pyarrow.parquet as pq

        paths = set(pq.read_table(out / "catalog.parquet")["path"].to_pylist())
        assert paths == {str(path.resolve()) for path in good}
    else:
        assert [p.name for p in visible(out)] == sorted(
            name for path in good for name in {"mgf": [f"{path.stem}.mgf"],
                                                 "parquet": [f"{path.stem}.scans.parquet", f"{path.stem}.peaks.parquet"]}[command[2]])


def usage_case(files, case):
    """Arguments for one kind of usage error."""
    run = write_run(files / "a", "orbitrap", 66, "run.raw")
    if case == "stem collision":
        write_run(files / "b", "orbitrap", 66, "RUN.raw")
        return [str(files / "a"), str(files / "b"), "-o", str(files / "out"), "--to", "mgf"]
    if case == "output folder is a file":
        (files / "out").write_text("")
        return [str(run), "-o", str(files / "out"), "--to", "mgf"]
    if case == "only an empty folder":
        (files / "empty").mkdir()
        return [str(files / "empty"), "-o", str(files / "out"), "--to", "mgf"]
    if case == "mzml writer absent":
        if mzml_available():
            pytest.skip("the mzML writer is installed")
        return [str(run), "-o", str(files / "out"), "--to", "mzml"]
    if case == "bad scheduler address":
        pytest.importorskip("distributed")
    return [str(run), "-o", str(files / "out"), *{"no such format": ["--to", "xml"],
                                                   "no workers": ["--to", "mgf", "-j", "0"],
                                                   "bad scheduler address": ["--to", "mgf", "--scheduler", "nonsense://x"],
                                                   }[case]]


@pytest.mark.parametrize("case", ["stem collision", "output folder is a file", "only an empty folder",
                                  "mzml writer absent", "no such format", "no workers", "bad scheduler address"])
def test_usage_errors_exit_2_before_writing(files, capsys, case):
    arguments = ["convert", *usage_case(files, case)]
    try:
        status = main(arguments)
    except SystemExit as exit:  # argparse's own errors
        status = exit.code
    assert status == 2
    assert not (files / "out").is_dir() or not any((files / "out").iterdir())
    error = capsys.readouterr().err
    assert "error:" in error
    if case == "stem collision":
        assert str(files / "a" / "run.raw") in error and str(files / "b" / "RUN.raw") in error


def test_rerun_skips_complete_outputs_and_redoes_the_rest(files, capsys):
    runs = [write_run(files / "in", "orbitrap", 66, f"r{k}_orbitrap.raw") for k in range(3)]
    out = files / "out"
    arguments = ["convert", str(files / "in"), "-o", str(out), "--to", "parquet", "-j", "1"]

    def rerun(*extra: str) -> tuple[int, int, int]:
        assert main(arguments + list(extra)) == 0
        return counts(capsys.readouterr().err)

    assert rerun() == (3, 0, 0)
    reference = {path.name: path.read_bytes() for path in visible(out)}
    assert rerun() == (0, 3, 0)
    os.utime(runs[0], ns=(time.time_ns() + 10**9,) * 2)  # the input changed after its export
    (out / "r1_orbitrap.peaks.parquet").unlink()
    scans_time = (out / "r1_orbitrap.scans.parquet").stat().st_mtime_ns
    (out / ".r2_orbitrap.scans.parquet.0123456789ab.part").write_bytes(b"left by a killed run")
    assert rerun() == (2, 1, 0)
    assert (out / "r1_orbitrap.scans.parquet").stat().st_mtime_ns == scans_time  # complete: kept
    assert rerun("--overwrite") == (3, 0, 0)
    assert {path.name: path.read_bytes() for path in visible(out)} == reference


def test_killed_batch_leaves_no_partial_output_and_resumes(files, capsys):
    for k in range(40):
        write_run(files / "in", "orbitrap", 66, f"run{k:02}_orbitrap.raw")
    reference = files / "reference"
    assert main(["convert", str(files / "in"), "-o", str(reference), "--to", "parquet", "-j", "1"]) == 0
    capsys.readouterr()
    out = files / "out"
    arguments = ["convert", str(files / "in"), "-o", str(out), "--to", "parquet", "-j", "2", "--no-progress"]
    if not KESTRUNE.exists():
        pytest.skip("the kestrune console script is not installed beside this interpreter")
    batch = subprocess.Popen([str(KESTRUNE), *arguments], start_new_session=True,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and len(list(out.glob("*.parquet"))) < 10:
        time.sleep(0.005)
    os.killpg(batch.pid, signal.SIGKILL)  # the command and its worker processes
    batch.wait()
    finished = sorted(out.glob("*.parquet"))
    assert 10 <= len(finished) < 80
    for path in finished:  # whatever holds a final name is whole
        assert path.read_bytes() == (reference / path.name).read_bytes()
    assert main(arguments) == 0
    converted, skipped, failed = counts(capsys.readouterr().err)
    names = {path.name for path in finished}
    whole = sum(f"run{k:02}_orbitrap.scans.parquet" in names and f"run{k:02}_orbitrap.peaks.parquet" in names
                for k in range(40))
    assert (converted, skipped, failed) == (40 - whole, whole, 0)
    assert [path.name for path in visible(out)] == [path.name for path in visible(reference)]
    for path in visible(out):
        assert path.read_bytes() == (reference / path.name).read_bytes()


def test_a_file_that_kills_its_worker_fails_alone():
    sources = ["a", "b", "crash", "c", "d", "e", "f"]
    pairs = list(run_tasks(crash_on_marked, sources, workers=2))
    assert sorted(index for index, _ in pairs) == list(range(len(sources)))  # each once
    outcomes = dict(pairs)
    assert {outcome.source: outcome.status for outcome in outcomes.values()} == {
        source: "failed" if source == "crash" else "converted" for source in sources}
    assert outcomes[2].reason == "its worker process died while working on it"


def test_the_tables_of_outcomes_come_back_from_workers_as_they_were_made():
    pytest.importorskip("pyarrow")
    sources = [str(k % 4) for k in range(40)]  # chunks that mix schemas, and empty tables
    for index, outcome in run_tasks(tables_of, sources, workers=2, preload=["pyarrow"]):
        made = tables_of(sources[index]).value
        assert outcome.value["count"] == made["count"]
        assert all(outcome.value[key].equals(made[key], check_metadata=True) for key in ("rows", "none"))


def test_a_catalog_of_two_workers_is_the_one_of_this_process(files):
    pytest.importorskip("pyarrow")
    for k in range(12):
        profile = ["orbitrap", "small", "generic"][k % 3]
        write_run(files / "in", profile, [57, 66, 100][k % 3], f"r{k:02}_{profile}.raw")
    arguments = ["catalog", str(files / "in"), "--no-progress"]
    assert main([*arguments, "-o", str(files / "one.parquet"), "-j", "1"]) == 0
    assert main([*arguments, "-o", str(files / "two.parquet"), "-j", "2"]) == 0
    assert (files / "two.parquet").read_bytes() == (files / "one.parquet").read_bytes()


@dataclass(frozen=True)
class TableJob:
    """A job of a kind the runner has never heard of: it writes two tables."""

    source: str
    tables: tuple[str, str]

    def outputs(self) -> list[Path]:
        return [Path(table) for table in self.tables]


def write_then_interrupt(job: TableJob | str) -> None:
    for table in [] if isinstance(job, str) else job.tables[:1 if "half" in job.source else 2]:
        Path(table).write_text("complete")
    raise KeyboardInterrupt  # after its last rename, as a Ctrl-C may come


@pytest.mark.parametrize("item, done", [("written", True), ("half written", False), ("bare path", False)])
def test_an_interrupted_task_whose_outputs_are_in_place_was_done(files, item, done):
    job = item if item == "bare path" else TableJob(item, (str(files / "a.parquet"), str(files / "b.parquet")))
    pairs = []
    with pytest.raises(KeyboardInterrupt):
        for pair in run_tasks(write_then_interrupt, [job], workers=1):
            pairs.append(pair)
    assert [(index, outcome.kind) for index, outcome in pairs] == ([(0, "done")] if done else [])


@pytest.mark.parametrize("no_progress", [False, True])
def test_bar_only_on_a_terminal_and_only_when_wanted(files, no_progress):
    pty = pytest.importorskip("pty")
    pytest.importorskip("tqdm")
    for k in range(3):
        write_run(files / "in", "orbitrap", 66, f"r{k}_orbitrap.raw")
    import fcntl
    import struct
    import termios

    master, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # a new one is 0 wide
    extra = ["--no-progress"] if no_progress else []
    try:
        result = kestrune("convert", str(files / "in"), "-o", str(files / "out"), "--to", "mgf", "-j", "1", *extra,
                          stderr=terminal)
    finally:
        os.close(terminal)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the terminal's other end is closed
            break
        if not chunk:
            break
        seen += chunk
    os.close(master)
    assert result.returncode == 0
    text = seen.decode()
    assert counts(text) == (3, 0, 0)
    assert ("file/s" in text or "s/file" in text) != no_progress, text


def test_info_describes_a_run_and_names_a_bad_file(files, capsys):
    import json

    import kestrune

    path = write_run(files, "orbitrap", 66)
    assert main(["info", str(path), "--json"]) == 0
    values = json.loads(capsys.readouterr().out)
    reader = kestrune.RawFileReader(str(path))
    rts = [reader.get_rt(n) for n in range(1, reader.num_scans + 1)]
    assert (values["version"], values["num_scans"], values["size"]) == (66, 145, path.stat().st_size)
    assert values["scans_by_ms_level"] == {"1": 37, "2": 107, "3": 1}
    assert values["rt_range_minutes"] == [min(rts), max(rts)]
    assert values["status_log_labels"] == reader.get_status_log_labels()
    assert values["error_logs"] == reader.get_error_logs()
    assert main(["info", str(path)]) == 0
    assert "MS1: 37, MS2: 107, MS3: 1" in capsys.readouterr().out
    assert main(["info", str(files / "gone.raw")]) == 1
    assert capsys.readouterr().err == f"kestrune: {files / 'gone.raw'}: no such file\n"


PROFILE_COMMANDS = {
    "info": lambda path, out: ["info", str(path)],
    "convert": lambda path, out: ["convert", str(path), "-o", str(out), "--to", "mgf", "-j", "1"],
    "catalog": lambda path, out: ["catalog", str(path), "-o", str(out / "catalog.parquet"), "-j", "1"],
    "report": lambda path, out: ["report", str(path), "-o", str(out / "page.html")],
}


@pytest.mark.parametrize("command", sorted(PROFILE_COMMANDS))
@pytest.mark.parametrize("name, chosen, warned", [
    ("sample01.raw", [], True), ("sample01.raw", ["--profile", "orbitrap"], False),
    ("sample01.raw", ["--profile", "generic"], False), ("run_orbitrap.raw", [], False),
])
def test_each_command_names_a_generic_profile_run_once(files, capsys, command, name, chosen, warned):
    if command == "report":
        pytest.importorskip("bokeh")
    path = write_run(files, "orbitrap", 66, name=name)
    status = main(PROFILE_COMMANDS[command](path, files / "out") + chosen)
    err = capsys.readouterr().err.splitlines()
    warnings = [line for line in err if "generic File profile" in line]
    assert status == 0 and warnings == ([f"kestrune: warning: {path}: read with the generic File profile "
                                         "(its path holds neither 'small.RAW' nor 'orbitrap'): its scans repeat "
                                         "one peak block and hold no retention times; where the acquisition is "
                                         "known, choose its profile (small, orbitrap) with --profile"]
                                        if warned else [])


def test_the_version_and_names_a_user_looks_for(capsys):
    from importlib.metadata import version

    import kestrune_tools

    with pytest.raises(SystemExit) as shown:
        main(["--version"])
    assert shown.value.code == 0 and capsys.readouterr().out == f"kestrune {version('kestrune')}\n"
    assert kestrune_tools.__version__ == version("kestrune")
    assert {"open_run", "Run", "Spectrum", "__version__"} <= set(dir(kestrune_tools))
