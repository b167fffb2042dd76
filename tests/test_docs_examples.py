"""Every example of the documentation runs: the ```python blocks of each page, in
order and in one namespace per page (as a reader would paste them), and the `kestrune`
lines of its ```sh blocks, in a working directory holding the synthetic runs the
pages name. A block whose first line starts with NOT_RUN is left out; its reason
follows the marker."""

from __future__ import annotations

import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from kestrune_tools.synthetic import demo_file, with_demo_texts

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
NOT_RUN = "# example not run by the tests:"
BLOCK = re.compile(r"^(?P<indent>[ \t]*)```(?P<language>python|sh)\n(?P<body>.*?)^(?P=indent)```$", re.M | re.S)
# The runs the pages name, relative to the working directory.
RUNS = ["run_orbitrap.raw", "demo_orbitrap.raw", "a_orbitrap.raw", "b_orbitrap.raw", "more_orbitrap.raw",
        "sample01.raw", "archive/b_orbitrap.raw",
        "run17.raw", "2024-05-01_orbitrap/run17.raw", "archive/run_orbitrap.raw",
        "archive/2024-05/c_orbitrap.raw", "archive/2024-05/d_orbitrap.raw"]
# Libraries of the extras: where one is absent (the CI runs without the extras), the
# page is skipped, never silently failed or passed.
OPTIONAL = {"numpy", "pyarrow", "psims", "tqdm", "bokeh", "duckdb", "polars", "pandas", "dask", "distributed",
            "pyteomics", "pymzml", "pyopenms"}
COMMAND_NEEDS = {"report": ("numpy", "pyarrow", "bokeh")}
TOOLS = ("numpy", "pyarrow", "psims")
# The reader's one call that needs NumPy answers its absence with a PanicException.
CALL_NEEDS = {"get_peaks(": "numpy", ".to_matchms(": "matchms", ".to_spectrum_utils(": "spectrum_utils",
              ".to_pyopenms(": "pyopenms", ".peak_frame(": "pandas", ".scan_frame(": "pandas"}


def examples(page: Path) -> list[tuple[str, int, str]]:
    """The page's runnable blocks: (language, line of the block's first line, body)."""
    text = page.read_text(encoding="utf-8")
    found = []
    for block in BLOCK.finditer(text):
        indent = len(block["indent"])
        body = "".join(line[indent:] for line in block["body"].splitlines(keepends=True))
        if not body.startswith(NOT_RUN):
            found.append((block["language"], text.count("\n", 0, block.start("body")) + 1, body))
    return found


def page_id(page: Path) -> str:
    return str(page.relative_to(ROOT))


@pytest.fixture
def runs_here(files, monkeypatch):
    """A working directory holding every run the pages name."""
    raw = with_demo_texts(demo_file())
    for name in RUNS:
        (files / name).parent.mkdir(parents=True, exist_ok=True)
        raw.write(files / name)
    monkeypatch.chdir(files)
    return files


def run_python(body: str, where: str, namespace: dict[str, object]) -> None:
    for call, library in CALL_NEEDS.items():
        if call in body:
            pytest.importorskip(library, reason=f"{where}: {call} needs {library}")
    try:
        exec(compile(body, where, "exec"), namespace)
    except ModuleNotFoundError as error:
        library = (error.name or "").partition(".")[0]
        if library not in OPTIONAL:
            raise
        pytest.skip(f"{where} needs {library}")


def run_commands(body: str, where: str) -> None:
    from kestrune_tools.cli import main

    for line in body.splitlines():
        words = shlex.split(line, comments=True)
        if words[:1] != ["kestrune"]:
            continue  # pip, python and the shell's own lines are the installation's business
        for library in COMMAND_NEEDS.get(words[1], TOOLS):
            pytest.importorskip(library, reason=f"{where}: {line} needs {library}")
        try:
            status = main(words[1:])
        except SystemExit as done:  # --help and --version end in argparse
            status = done.code
        assert status in (0, None), f"{where}: {line}"


@pytest.mark.parametrize("page", [page for page in PAGES if examples(page)], ids=page_id)
def test_examples_run(page, runs_here, capsys):
    namespace: dict[str, object] = {"__name__": "__docs_example__"}
    for language, line, body in examples(page):
        where = f"{page_id(page)}:{line}"
        if language == "python":
            run_python(body, where, namespace)
        else:
            run_commands(body, where)


# The README's shell lines that the test leaves to the installation, or that would
# run the suite within itself.
NOT_RUN_LINES = ("pip ", "python -m pytest", "python -m sphinx")


def run_shell_line(line: str, where: str) -> None:
    """One shell line as a user types it, in the working directory, with this
    environment's `python` and `kestrune` first on the path and the clone's examples
    found from anywhere; the parts before and after `&&` in turn."""
    environment = dict(os.environ, PATH=os.pathsep.join([os.path.dirname(sys.executable), os.environ["PATH"]]))
    for part in line.split("&&"):
        part = part.strip()
        if not part or part.startswith(NOT_RUN_LINES):
            continue
        part = part.replace("python examples/", f"{shlex.quote(sys.executable)} {shlex.quote(str(ROOT))}/examples/")
        result = subprocess.run(["bash", "-c", part], env=environment, capture_output=True, text=True)
        assert result.returncode == 0, f"{where}: {part}\n{result.stdout}\n{result.stderr}"


def test_the_readme_from_top_to_bottom(files, monkeypatch):
    """Every command and snippet of the README, in order, in an empty folder, after
    the first command's installation: nothing there but what earlier steps made."""
    for library in TOOLS + ("pandas", "bokeh"):
        pytest.importorskip(library, reason=f"the README's snippets need {library}")
    monkeypatch.chdir(files)
    namespace: dict[str, object] = {"__name__": "__readme__"}
    for language, line, body in examples(ROOT / "README.md"):
        where = f"README.md:{line}"
        if language == "python":
            exec(compile(body, where, "exec"), namespace)
            continue
        for command in body.splitlines():
            run_shell_line(command.partition(" #")[0], where)
    assert (files / "run_orbitrap.raw").exists() and (files / "qc" / "index.html").exists()
