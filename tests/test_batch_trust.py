"""What a batch promises an archive: inputs never written, outputs made from exactly
this input with these options or absent, every folder searched or named as failed,
and an output place that is checked before any work."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("numpy")
pytest.importorskip("pyarrow")

from export_runs import write_run
from kestrune_tools.cli import main
from test_cli import counts, visible

OLD_TIME_NS = 1_500_000_000 * 10**9  # an mtime from long before any test's outputs


def run(capsys, *arguments: str) -> tuple[int, str]:
    """`kestrune ARGUMENTS` in this process: the exit status and standard error."""
    try:
        status = main(list(arguments))
    except SystemExit as exit:
        status = int(exit.code or 0)
    return status, capsys.readouterr().err


def report_needed(command: str) -> None:
    if command == "report":
        pytest.importorskip("bokeh")


def output_arguments(command: str, place: Path) -> list[str]:
    return {"convert": ["-o", str(place), "--to", "mgf"], "catalog": ["-o", str(place / "catalog.parquet")],
            "report": ["-o", str(place) + "/"]}[command]


def touch(path: Path) -> None:
    """Sets an mtime older than any output's, as `cp -p` or `rsync -t` restore one."""
    os.utime(path, ns=(OLD_TIME_NS, OLD_TIME_NS))


@pytest.mark.parametrize("command, case", [
    ("catalog", "an input, -o before a glob"), ("catalog", "another .raw file"), ("catalog", "a link to an input"),
    ("catalog", "a hard link to an input"), ("report", "an input"), ("report", "a link to an input"),
    ("convert", "an input"), ("convert", "a hard link to an input"),
])
def test_an_output_over_an_input_is_refused_before_any_work(files, capsys, command, case):
    report_needed(command)
    source, other = (write_run(files / "d", "orbitrap", 66, name) for name in ("a.raw", "b.raw"))
    target = {"an input, -o before a glob": source, "another .raw file": other, "an input": source,
              "a link to an input": files / "link.out", "a hard link to an input": files / "hard.out"}[case]
    if command == "convert":  # where the input's output would go
        target = files / "d" / "a.mgf"
        source = source.rename(target) if case == "an input" else source
    if case == "a link to an input":
        target.symlink_to(source)
    if case == "a hard link to an input":
        os.link(source, target)
    inputs = [str(source), *([str(other)] if case == "an input, -o before a glob" else [])]
    output = ["-o", str(files / "d"), "--to", "mgf"] if command == "convert" else ["-o", str(target)]
    before = {path: path.read_bytes() for path in (source, other)}
    status, error = run(capsys, command, *inputs, *output, "-j", "1")
    assert status == 2 and "inputs are never written" in error and str(target) in error, error
    assert {path: path.read_bytes() for path in (source, other)} == before


@pytest.mark.parametrize("case", ["another file of the same name", "copied, its old mtime restored",
                                  "same size and mtime, other bytes", "an option changed"])
def test_resume_redoes_an_output_not_made_from_this_input_with_these_options(files, capsys, case):
    def convert(source: Path, out: str, *options: str) -> tuple[int, int, int]:
        status, error = run(capsys, "convert", str(source), "-o", str(files / out), "--to", "parquet", "-j", "1",
                            *options)
        assert status == 0, error
        return counts(error)

    final = write_run(files / "final", "orbitrap", 66, "x.raw")
    whole = final.read_bytes()
    convert(final, "reference")
    source = files / "in" / "x.raw"
    source.parent.mkdir()
    if case == "another file of the same name":
        convert(write_run(files / "elsewhere", "generic", 57, "x.raw"), "out")
        source.write_bytes(whole)
    elif case == "an option changed":
        source.write_bytes(whole)
        convert(source, "out", "--ms-level", "2")
    else:  # converted while it was still being copied: its second half still zeros
        source.write_bytes(whole[:len(whole) // 2] + bytes(len(whole) - len(whole) // 2))
        if case == "same size and mtime, other bytes":
            touch(source)
        convert(source, "out")
        with open(source, "r+b") as stream:  # the same file, now whole
            stream.write(whole)
    if case != "an option changed":
        touch(source)
    assert convert(source, "out") == (1, 0, 0)
    assert {p.name: p.read_bytes() for p in visible(files / "out")} == {
        p.name: p.read_bytes() for p in visible(files / "reference")}
    assert convert(source, "out") == (0, 1, 0)


def append(path: Path) -> None:
    with open(path, "ab") as stream:
        stream.write(b"\0" * 4096)


def replace(path: Path) -> None:
    other = path.with_name("replacement.tmp")
    other.write_bytes(path.read_bytes())
    os.replace(other, path)


@pytest.mark.parametrize("command, writer, change", [
    ("convert --to parquet", "kestrune_tools.parquet.write_peaks", append),
    ("convert --to parquet", "kestrune_tools.parquet.write_scans", replace),
    ("convert --to mgf --ms-level 1", "kestrune_tools.mgf.write_mgf", touch),
    ("catalog", "kestrune_tools.catalog.run_rows", append),
    ("report", "kestrune_tools.report.read_digest", append),
])
def test_an_input_that_changes_while_it_is_read_fails_and_keeps_no_output(files, capsys, monkeypatch, command,
                                                                           writer, change):
    report_needed(command)
    source = write_run(files / "in", "orbitrap", 66, "x.raw")
    module, name = writer.rsplit(".", 1)
    original = getattr(__import__(module, fromlist=[name]), name)

    def changing_writer(*arguments, **options):
        answer = original(*arguments, **options)
        change(source)
        return answer

    monkeypatch.setattr(f"{module}.{name}", changing_writer)
    out = files / "out"
    target = ["-o", str({"catalog": out / "catalog.parquet", "report": out / "x.html"}.get(command, out))]
    status, error = run(capsys, *command.split(), str(source), *target, "-j", "1")
    assert status == 1 and f"kestrune: {source}: changed while it was read" in error, error
    assert sorted(path.name for path in out.iterdir()) == []  # no output, no temporary file, no record


def test_a_vanished_temporary_file_is_an_error(files):
    from kestrune_tools.outputs import atomic_output

    with pytest.raises(FileNotFoundError, match="vanished"), atomic_output(files / "a.mgf") as temporary:
        temporary.write_text("written")
        temporary.unlink()  # as a foreign clean-up would
    assert list(files.iterdir()) == []


@pytest.mark.parametrize("case", ["another output's temporary file", "names of 238 and 255 bytes",
                                  "0.raw a.mgf.b.raw a.raw with -j 2"])
def test_temporary_files_are_exact_and_owned(files, capsys, case):
    out = files / "out"
    out.mkdir()
    foreign = out / ".a.mgf.b.mgf.0123456789ab.part"
    own = out / ".a.mgf.0123456789ab.part"
    names = {"another output's temporary file": ["a.raw"], "names of 238 and 255 bytes": [
        "é" * 117 + ".raw", "r" * 251 + ".raw"], "0.raw a.mgf.b.raw a.raw with -j 2": ["0.raw", "a.mgf.b.raw", "a.raw"]}[case]
    inputs = [str(write_run(files / "in", "orbitrap", 66, name)) for name in names]
    if case == "another output's temporary file":
        foreign.write_text("a live temporary file of a.mgf.b.mgf")
        own.write_text("left by a killed write of a.mgf")
    # MS1 scans: these runs' fragment scans hold no precursor m/z, so MS2 would give no MGF.
    status, error = run(capsys, "convert", *inputs, "-o", str(out), "--to", "mgf", "--ms-level", "1", "-j", "2")
    assert status == 0 and counts(error) == (len(names), 0, 0), error
    assert [path.name for path in visible(out)] == sorted(Path(name).stem + ".mgf" for name in names)
    assert foreign.exists() == (case == "another output's temporary file") and not own.exists()


@pytest.mark.parametrize("command", ["convert", "catalog", "report"])
def test_a_second_command_on_a_busy_folder_is_refused(files, capsys, command):
    from kestrune_tools.outputs import sole_writer

    report_needed(command)
    source = write_run(files / "in", "orbitrap", 66, "x.raw")
    out = files / "out"
    out.mkdir()
    with sole_writer(out):
        status, error = run(capsys, command, str(source), *output_arguments(command, out), "-j", "1")
    assert status == 2 and f"{out}: another kestrune command is writing into this folder" in error, error
    assert list(out.iterdir()) == []


HOLD_FOLDER = """
import sys, time
from pathlib import Path
from kestrune_tools.outputs import sole_writer
with sole_writer(Path(sys.argv[1])):
    print("held", flush=True)
    if sys.argv[2] == "raised":
        raise SystemExit(3)
    if sys.argv[2] == "killed":
        time.sleep(60)
"""


@pytest.mark.parametrize("ending", ["ended", "raised", "killed"])
def test_the_folder_lock_is_freed_however_its_holder_ends(files, ending):
    from kestrune_tools.outputs import FolderBusy, sole_writer

    out = files / "out"
    out.mkdir()
    with subprocess.Popen([sys.executable, "-c", HOLD_FOLDER, str(out), ending], stdout=subprocess.PIPE,
                          text=True) as holder:
        assert holder.stdout is not None and holder.stdout.readline() == "held\n"
        if ending == "killed":
            with pytest.raises(FolderBusy), sole_writer(out):
                pass
            holder.kill()
        holder.wait(timeout=30)
    with sole_writer(out):
        pass
    assert list(out.iterdir()) in ([], [out / ".kestrune.lock"] if ending == "killed" else [])


def scandir_refusing(folder: Path):
    real = os.scandir

    def scandir(path="."):
        if Path(path) == folder:
            raise PermissionError(13, "Permission denied", str(path))
        return real(path)

    return scandir


@pytest.mark.parametrize("case", ["an unlistable subfolder", "an unlistable top folder", "a linked folder",
                                  "a link loop"])
def test_discovery_reports_what_it_cannot_read_and_follows_links(files, capsys, monkeypatch, case):
    top = files / "archive"
    found = [write_run(top, "orbitrap", 66, "a.raw"), write_run(top / "sub", "orbitrap", 66, "b.raw")]
    unreadable = {"an unlistable subfolder": top / "sub", "an unlistable top folder": top}.get(case)
    if unreadable is not None:
        monkeypatch.setattr(os, "scandir", scandir_refusing(unreadable))
        found = [path for path in found if unreadable not in path.parents]
    if case == "a linked folder":
        found.append(write_run(files / "elsewhere", "orbitrap", 66, "c.raw"))
        (top / "sub" / "linked").symlink_to(files / "elsewhere")
    if case == "a link loop":
        (top / "sub" / "up").symlink_to(top)
    status, error = run(capsys, "convert", str(top), "-o", str(files / "out"), "--to", "mgf", "--ms-level", "1",
                        "-j", "1")
    assert status == (1 if unreadable else 0), error
    assert counts(error) == (len(found), 0, 1 if unreadable else 0)
    if unreadable:
        assert f"kestrune: {unreadable}: cannot list this folder: permission denied" in error.splitlines()
    assert [path.name for path in visible(files / "out")] == sorted(path.stem + ".mgf" for path in found)


@pytest.mark.parametrize("command", ["convert", "catalog", "report"])
@pytest.mark.parametrize("place", ["under a regular file", "uncreatable", "takes no file"])
def test_the_output_place_is_checked_before_any_work(files, capsys, command, place):
    report_needed(command)
    source = write_run(files / "in", "orbitrap", 66, "x.raw")
    (files / "file").write_text("")
    folder = {"under a regular file": files / "file" / "out", "uncreatable": Path("/proc/kestrune/out"),
              "takes no file": Path("/proc/self")}[place]
    status, error = run(capsys, command, str(source), *output_arguments(command, folder), "-j", "1")
    assert status == 2 and error.startswith(f"kestrune {command}: error: {folder}: ") and error.count("\n") == 1, error


@pytest.mark.parametrize("command", ["convert", "catalog", "report"])
@pytest.mark.parametrize("link", ["the folder", "a parent"])
def test_an_output_folder_behind_a_link_to_nothing_is_named_so(files, capsys, command, link):
    report_needed(command)
    source = write_run(files / "in", "orbitrap", 66, "x.raw")
    (files / "link").symlink_to(files / "gone")
    folder = files / "link" if link == "the folder" else files / "link" / "out"
    status, error = run(capsys, command, str(source), *output_arguments(command, folder), "-j", "1")
    assert status == 2, error
    assert f"{files / 'link'} is a link to a missing place ({files / 'gone'})" in error, error
    assert not (files / "gone").exists()


@pytest.mark.parametrize("command, names, outputs", [
    ("report", ["x y_orbitrap.raw", "x_y_orbitrap.raw"], None),  # both pages would be x_y_orbitrap.html
    ("report", ["X_orbitrap.raw", "b/x_orbitrap.raw"], None),
    ("report", ["xy_orbitrap.raw", "x_y_orbitrap.raw"], ["index.html", "x_y_orbitrap.html", "xy_orbitrap.html"]),
    ("report", ["index.raw", "x.raw"], ["index-2.html", "index.html", "x.html"]),  # the batch's page keeps its name
    ("convert", ["x y_orbitrap.raw", "x_y_orbitrap.raw"], ["x y_orbitrap.mgf", "x_y_orbitrap.mgf"]),
])
def test_outputs_that_would_share_a_name_are_refused(files, capsys, command, names, outputs):
    report_needed(command)
    sources = [str(write_run((files / "in" / name).parent, "orbitrap", 66, Path(name).name)) for name in names]
    status, error = run(capsys, command, *sources, *output_arguments(command, files / "out"), "-j", "1")
    if outputs is None:
        assert status == 2 and "inputs share a file name stem" in error and not (files / "out").exists(), error
    else:
        assert status == 0 and [path.name for path in visible(files / "out")] == outputs, error


@pytest.mark.parametrize("runs, options, converted, nothing", [
    (["run_orbitrap.raw", "plain.raw"], [], 1, ["plain.raw"]),  # the generic run holds no MS2 scan
    (["run_orbitrap.raw"], ["--ms-level", "5"], 0, ["run_orbitrap.raw"]),
])
def test_a_run_with_nothing_to_write_fails_nothing_and_a_rerun_passes_it_over(files, capsys, runs, options,
                                                                              converted, nothing):
    sources = [write_run(files / "in", "orbitrap" if "orbitrap" in name else "generic", 66, name) for name in runs]
    arguments = ["convert", str(files / "in"), "-o", str(files / "out"), "--to", "mgf", *options, "-j", "1"]
    status, error = run(capsys, *arguments)
    assert status == 0 and counts(error) == (converted, 0, 0), error
    assert f"; {len(nothing)} with nothing to write" in error
    for name in nothing:
        assert f"kestrune: {files / 'in' / name}: no MS" in error and not (files / "out" / name).with_suffix(".mgf").exists()
    status, error = run(capsys, *arguments)  # the rerun: every run passed over, without a line
    assert (status, counts(error), error.count("\n")) == (0, (0, len(sources), 0), 1), error
    touch(sources[-1])  # a changed input is done again
    status, error = run(capsys, *arguments)
    assert status == 0 and counts(error)[1] == len(sources) - 1 and "with nothing to write" in error, error


@pytest.fixture
def full_disk(files):
    """A small file system with little room left, where this process may mount one."""
    place = files / "small"
    place.mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(place)],
                                           capture_output=True).returncode != 0:
        pytest.skip("cannot mount a small tmpfs here")
    try:
        (place / "filler").write_bytes(b"\0" * (248 << 10))
        yield place
    finally:
        subprocess.run(["umount", "--lazy", str(place)], check=True)  # even while a file is open there


@pytest.mark.parametrize("command, extra, name", [
    ("convert", [], "x_orbitrap.mgf"),
    ("convert", ["--to", "parquet"], "x_orbitrap.peaks.parquet"),  # the part that fills the disk
    ("catalog", [], "catalog.parquet"),
])
def test_a_full_disk_fails_the_output_naming_it(files, capsys, full_disk, command, extra, name):
    source = write_run(files / "in", "orbitrap", 66, "x_orbitrap.raw")  # the profile with MS2 scans
    status, error = run(capsys, command, str(source), *output_arguments(command, full_disk / "out"), *extra,
                        "-j", "1")
    output = full_disk / "out" / name
    assert status == 1 and f"cannot write {output}: no space left on device" in error, error
    assert counts(error)[2] == 1
    assert list((full_disk / "out").iterdir()) == []


@pytest.mark.parametrize("output, page", [("qc/", "qc/index.html"), ("x.html", "x.html"), ("new/x.html", "new/x.html")])
def test_report_of_one_run_writes_a_folder_only_when_asked(files, capsys, output, page):
    pytest.importorskip("bokeh")
    source = write_run(files / "in", "orbitrap", 66, "x.raw")
    status, error = run(capsys, "report", str(source), "-o", f"{files}/{output}", "-j", "1")
    assert status == 0, error
    assert (files / page).is_file()


@pytest.mark.parametrize("how, flushed", [("the command", True), ("the library's writer", False)])
def test_only_the_commands_outputs_are_flushed_to_disk(files, capsys, monkeypatch, how, flushed):
    from kestrune_tools.mgf import write_mgf
    from kestrune_tools.runs import open_run

    source = write_run(files / "in", "orbitrap", 66, "x_orbitrap.raw")
    synced: list[int] = []
    monkeypatch.setattr(os, "fsync", synced.append)
    if how == "the command":
        assert run(capsys, "convert", str(source), "-o", str(files / "out"), "--to", "mgf", "-j", "1")[0] == 0
    else:
        with open_run(source) as opened:
            write_mgf(opened, files / "x.mgf")
    assert bool(synced) == flushed
