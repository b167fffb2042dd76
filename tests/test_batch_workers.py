"""What a batch's worker processes carry: the modules of their own task only."""

from __future__ import annotations

import subprocess
import sys

import pytest

pytest.importorskip("pyarrow")

from kestrune_tools.synthetic import demo_file, with_demo_texts  # noqa: E402

# Runs the command with two workers, then answers whether the fork server the workers
# came from has pandas' compiled modules mapped.
FORK_SERVER_MAPS = """
import sys
from multiprocessing import forkserver
from kestrune_tools.cli import main
assert main(sys.argv[1:]) == 0
pid = forkserver._forkserver._forkserver_pid
print("/pandas/_libs/" in open(f"/proc/{pid}/maps").read())
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the fork server's /proc maps")
@pytest.mark.parametrize("arguments", [["catalog", "-o", "{out}/catalog.parquet"],
                                       ["convert", "-o", "{out}", "--to", "parquet"],
                                       ["convert", "-o", "{out}", "--to", "mgf"]])
def test_a_batch_that_writes_no_mzml_never_imports_pandas(files, arguments):
    pytest.importorskip("pandas")
    raw = with_demo_texts(demo_file())
    (files / "in").mkdir()
    for k in range(3):
        raw.write(files / "in" / f"run{k}_orbitrap.raw")
    command = [arguments[0], str(files / "in"), *[a.format(out=files / "out") for a in arguments[1:]],
               "-j", "2", "--no-progress"]
    done = subprocess.run([sys.executable, "-c", FORK_SERVER_MAPS, *command], capture_output=True, text=True,
                          timeout=120)
    assert done.stdout.split() == ["False"], done.stderr
