"""The main example runs on its demo file and on a given path."""

import os
import subprocess
import sys

from kestrune_tools.synthetic import demo_file, with_demo_texts

SUMMARY = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "summary.py")


def run_summary(*args, cwd=None):
    result = subprocess.run([sys.executable, SUMMARY, *args], capture_output=True, text=True, check=True, cwd=cwd)
    return result.stdout


def test_summary_of_the_demo_file(files):
    out = run_summary(cwd=files)
    for expected in ["version:   66", "scans:     145", "MS Order: 2", "<?xml", "'Ion Gauge (E-5 Torr)'",
                     "'Fan speed below limit'", "kestrune info run_orbitrap.raw"]:
        assert expected in out
    # The demo run stays for the README's snippets; a second run reads it, unchanged.
    demo = files / "run_orbitrap.raw"
    before = demo.read_bytes()
    assert "reading the existing run_orbitrap.raw" in run_summary(cwd=files)
    assert demo.read_bytes() == before


def test_summary_of_a_given_file(files):
    path = with_demo_texts(demo_file()).write(files / "plain.raw")
    out = run_summary(path)
    # The generic profile: no scan offsets, so the table is zero and peaks start at byte 0.
    assert "scans:     145" in out and "MS Order: 1" in out
