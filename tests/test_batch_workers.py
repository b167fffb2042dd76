"""What a batch's worker processes carry: the modules of their own task only."""

from __future__ import annotations

import subprocess
import sys

import pytest

pytest.importorskip("pyarrow")

from kestrune_tools.synthetic import demo_file, with_demo_texts  # noqa: E402

# Runs the command with two workers, then answers which compiled modules the fork
# server the workers came from has mapped: pandas' and lxml's (the mzML writer's).
FORK_SERVER_MAPS = """
import sys
from multiprocessing import forkserver
from kestrune_tools.cli import main
assert main(sys.argv[1:]) == 0
pid = forkserver._forkserver._forkserver_pid
maps = open(f"/proc/{pid}/maps").read()
print("/pandas/_libs/" in maps, "/lxml/" in maps)
"""


# pyarrow imports pandas at its first conversion where it is installed: the fork
# server imports it once for exports that convert, rather than each worker; the
# catalog converts nothing.
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the fork server's /proc maps")
@pytest.mark.parametrize("arguments, pandas", [(["catalog", "-o", "{out}/catalog.parquet"], False),
                                               (["convert", "-o", "{out}", "--to", "parquet"], True),
                                               (["convert", "-o", "{out}", "--to", "mgf"], False)])
def test_workers_carry_only_their_own_tasks_modules(files, arguments, pandas):
    pytest.importorskip("pandas")
    raw = with_demo_texts(demo_file())
    (files / "in").mkdir()
    for k in range(3):
        raw.write(files / "in" / f"run{k}_orbitrap.raw")
    command = [arguments[0], str(files / "in"), *[a.format(out=files / "out") for a in arguments[1:]],
               "-j", "2", "--no-progress"]
    done = subprocess.run([sys.executable, "-c", FORK_SERVER_MAPS, *command], capture_output=True, text=True,
                          timeout=120)
    assert done.stdout.split() == [str(pandas), "False"], done.stderr
