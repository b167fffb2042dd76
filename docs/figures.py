"""Draws the documentation's figures from the demo run (`kestrune_tools.synthetic.demo_run`):
the TIC with an XIC, and one fragment spectrum, as small PNGs beside the pages; and
prints the peak table's first rows, as the runs page shows them.

    pip install '.[tools,examples]' && python docs/figures.py
"""

from __future__ import annotations

import os
import sys
import tempfile

import matplotlib

matplotlib.use("Agg")  # files only, no display needed

import matplotlib.pyplot as plt

import kestrune_tools as kt
from kestrune_tools.synthetic import demo_run

DOCS = os.path.dirname(os.path.abspath(__file__))
TARGET = 524.265
SPECTRUM_SCAN = 70  # the first fragment scan after survey scan 69: the m/z 524.265 ion near its apex


def draw_chromatograms(run: kt.Run, path: str) -> None:
    rt, tic = run.tic()
    xic_rt, (xic,) = run.xic([TARGET], ppm=10.0)
    figure, axes = plt.subplots(figsize=(7.0, 2.8), dpi=100)
    axes.plot(rt, tic, label="TIC (MS1)", color="0.35")
    axes.plot(xic_rt, xic, label=f"XIC m/z {TARGET}, 10 ppm", color="tab:red")
    axes.set_xlabel("retention time (min)")
    axes.set_ylabel("intensity")
    axes.legend(frameon=False)
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)


def draw_spectrum(run: kt.Run, path: str) -> None:
    spectrum = run[SPECTRUM_SCAN]
    figure, axes = plt.subplots(figsize=(7.0, 2.8), dpi=100)
    axes.vlines(spectrum.mz, 0.0, spectrum.intensity, color="tab:blue", linewidth=1.0)
    axes.set_xlabel("m/z")
    axes.set_ylabel("intensity")
    axes.set_title(repr(spectrum), fontsize=9)
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)


def main() -> int:
    with tempfile.TemporaryDirectory() as directory:
        path = demo_run().write(os.path.join(directory, "run_orbitrap.raw"))
        with kt.open_run(path) as run:
            draw_chromatograms(run, os.path.join(DOCS, "tic_xic.png"))
            draw_spectrum(run, os.path.join(DOCS, "spectrum.png"))
            print(run.peak_frame(ms_level=2, rt_range=(7.0, 7.5)).head())
    return 0


if __name__ == "__main__":
    sys.exit(main())
