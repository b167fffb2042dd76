"""The plot example end to end on synthetic files (needs matplotlib and NumPy)."""

import pytest

from synthetic_raw import RawFile, demo_file

pytest.importorskip("numpy")
pytest.importorskip("matplotlib")

import kestrune  # noqa: E402
import plot_spectrum  # noqa: E402

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


@pytest.fixture(scope="module")
def demo_path(tmp_path_factory):
    return demo_file().write(tmp_path_factory.mktemp("kr") / "demo_orbitrap.raw")


def test_chromatogram_sums_each_scans_peaks(demo_path):
    reader = kestrune.RawFileReader(demo_path)
    tic = plot_spectrum.total_ion_chromatogram(reader)
    assert len(tic.retention_times) == len(tic.total_intensities) == reader.num_scans
    for scan in (1, 2, reader.num_scans):
        peaks = reader.native_get_peaks(scan)
        expected = sum(peaks[1]) if peaks else 0.0
        assert tic.retention_times[scan - 1] == reader.get_rt(scan)
        assert tic.total_intensities[scan - 1] == pytest.approx(expected)


@pytest.mark.parametrize("extra", [[], ["--scan", "2"]])
def test_writes_a_png(demo_path, tmp_path_factory, extra):
    output = tmp_path_factory.mktemp("kr") / "out.png"
    assert plot_spectrum.main(["plot_spectrum.py", demo_path, "-o", str(output), *extra]) == 0
    assert output.read_bytes().startswith(PNG_SIGNATURE)


def test_writes_a_png_for_a_file_without_peaks(tmp_path_factory):
    directory = tmp_path_factory.mktemp("kr")
    path = RawFile().header(version=57).write(directory / "plain.raw")
    output = directory / "out.png"
    assert plot_spectrum.main(["plot_spectrum.py", path, "-o", str(output)]) == 0
    assert output.read_bytes().startswith(PNG_SIGNATURE)


@pytest.mark.parametrize("args", [["MISSING"], ["DEMO", "--scan", "0"], ["DEMO", "--scan", "146"]])
def test_refuses_missing_files_and_scans_outside_the_file(demo_path, tmp_path_factory, args, capsys):
    directory = tmp_path_factory.mktemp("kr")
    output = directory / "out.png"
    args = [{"DEMO": demo_path, "MISSING": str(directory / "missing.raw")}.get(arg, arg) for arg in args]
    assert plot_spectrum.main(["plot_spectrum.py", *args, "-o", str(output)]) == 1
    assert not output.exists()
    assert capsys.readouterr().err
