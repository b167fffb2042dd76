"""The plot example end to end on synthetic files (needs matplotlib and NumPy)."""

import os
import sys

import pytest

from kestrune_tools.synthetic import RawFile, demo_file

pytest.importorskip("numpy")
pytest.importorskip("matplotlib")

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "examples"))

import kestrune_tools as kt  # noqa: E402
import plot_spectrum  # noqa: E402


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    directory = tmp_path_factory.mktemp("kr")
    return {
        "DEMO": demo_file().write(directory / "demo_orbitrap.raw"),
        "NO_PEAKS": RawFile().header(version=57).write(directory / "plain.raw"),
        "MISSING": str(directory / "missing.raw"),
    }


def test_chromatogram_sums_each_scans_peaks(paths):
    run = kt.open_run(paths["DEMO"])
    reader = run.reader
    tic = plot_spectrum.total_ion_chromatogram(run)
    assert len(tic.retention_times) == len(tic.total_intensities) == reader.num_scans
    for scan in (1, 2, reader.num_scans):
        peaks = reader.native_get_peaks(scan)
        assert tic.retention_times[scan - 1] == reader.get_rt(scan)
        assert tic.total_intensities[scan - 1] == pytest.approx(sum(peaks[1]) if peaks else 0.0)


@pytest.mark.parametrize(
    "args, status",
    [
        (["DEMO"], 0),
        (["DEMO", "--scan", "2"], 0),
        (["NO_PEAKS"], 0),
        (["MISSING"], 1),
        (["DEMO", "--scan", "0"], 1),
        (["DEMO", "--scan", "146"], 1),
    ],
)
def test_writes_a_png_or_refuses(paths, tmp_path, args, status, capsys):
    output = tmp_path / "out.png"
    args = [paths.get(arg, arg) for arg in args]
    assert plot_spectrum.main(["plot_spectrum.py", *args, "-o", str(output)]) == status
    if status == 0:
        assert output.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    else:
        assert not output.exists() and capsys.readouterr().err
