"""Spectra and runs handed to matchms, spectrum_utils and pyopenms in memory, checked
against what the reader says of every File profile and version."""

import math
import sys

import pytest

np = pytest.importorskip("numpy")

import kestrune_tools as kt  # noqa: E402
import kestrune_tools.synthetic as sr  # noqa: E402

from export_runs import CASES, reader_scans, write_run  # noqa: E402

LIBRARIES = ["matchms", "spectrum_utils", "pyopenms"]


# Peaks that are no numbers, or out of every plausible range, after plausible ones.
HUGE = 1.7e308
ODD_MZ = [float("nan"), float("inf"), HUGE, -HUGE, float("-inf")]


def unordered_peaks(directory):
    """Scan 1 rising peaks, 2 none, 3 out of m/z order, 4 a NaN intensity, 5 odd m/z
    and an infinite intensity after plausible peaks."""
    raw = sr.orbitrap_peak_file([12_000] * 5)
    mz = sr.rising_mz(60)
    blocks = {1: (mz, range(1, 61)), 3: (mz[:2] + mz[:1:-1], range(60)), 4: (mz, [float("nan")] + [2.0] * 59),
              5: (mz[:55] + ODD_MZ, [2.0] * 54 + [float("inf")] + [3.0] * 5)}
    for scan, (masses, intensities) in blocks.items():
        raw.put(sr.ORBITRAP_FIRST_SCAN_AT + 12_000 * (scan - 1), sr.wide_block(masses, list(intensities)))
    return raw.write(directory / "peaks_orbitrap.raw")


def converted(library, run):
    """(native id, MS level or None where the library holds none, rt in seconds,
    precursor m/z, charge, mz, intensity) of each scan as the library holds it."""
    if library == "pyopenms":
        rows = []
        for s in run.to_pyopenms():
            precursors = s.getPrecursors()
            mz, intensity = s.get_peaks()
            precursor = (precursors[0].getMZ(), precursors[0].getCharge() or None) if precursors else (None, None)
            rows.append((s.getNativeID(), s.getMSLevel(), s.getRT(), *precursor, mz, intensity))
        return rows
    if library == "matchms":
        return [(m.get("native_id"), m.get("ms_level"), m.get("retention_time"), m.get("precursor_mz"), m.get("charge"),
                 m.peaks.mz, m.peaks.intensities) for m in (s.to_matchms() for s in run)]
    return [(u.identifier, None, u.retention_time, None if math.isnan(u.precursor_mz) else u.precursor_mz,
             u.precursor_charge or None, u.mz, u.intensity) for u in (s.to_spectrum_utils() for s in run)]


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("profile, version", [*CASES, ("unordered", 66)])
def test_adapters_carry_the_runs_values(files, library, profile, version):
    pytest.importorskip(library)
    path = unordered_peaks(files) if profile == "unordered" else write_run(files, profile, version)
    expected = reader_scans(path)
    with kt.open_run(path) as run:
        rows = converted(library, run)
    assert len(rows) == len(expected)
    for scan, (native_id, level, rt, precursor_mz, charge, mz, intensity) in zip(expected, rows):
        finite = np.isfinite(scan.mz) & np.isfinite(scan.intensity)  # the others are left out, by all three
        scan.mz, scan.intensity = scan.mz[finite], scan.intensity[finite]
        order = np.argsort(scan.mz, kind="stable")
        assert native_id == f"scan={scan.number}" and level in (None, scan.ms_level)
        assert rt == pytest.approx(scan.rt * 60, rel=1e-6)  # spectrum_utils holds float32
        assert (precursor_mz, charge) == (scan.precursor_mz, scan.precursor_charge)
        np.testing.assert_array_equal(mz, scan.mz[order])
        np.testing.assert_array_equal(intensity, scan.intensity[order])


def matchms_keeps_the_fragment_scans(run):
    from matchms.filtering import default_filters, require_precursor_mz

    kept = [require_precursor_mz(default_filters(s.to_matchms())) for s in run]
    assert [s.get("scan_number") for s in kept if s is not None] == [
        s.scan_number for s in run if s.ms_level == 2 and s.precursor_mz is not None]


def spectrum_utils_plots(run):
    import io

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import spectrum_utils.plot as sup

    figure, axes = plt.subplots()
    sup.spectrum(run[2].to_spectrum_utils(), ax=axes)
    png = io.BytesIO()
    figure.savefig(png, format="png")
    plt.close(figure)
    assert png.getvalue().startswith(b"\x89PNG")


def pyopenms_runs_its_algorithms(run):
    import pyopenms

    experiment = run.to_pyopenms()
    experiment.updateRanges()
    assert experiment.getNrSpectra() == len(run) and run.to_pyopenms(ms_level=2).getNrSpectra() == 108
    # The picker and the merger log their statistics at INFO to the process's C++
    # standard output, flushed after pytest's summary; the log level is per process.
    pyopenms.LogConfigHandler.getInstance().setLogLevel("WARNING")
    picked = pyopenms.PeakPickerHiRes().pickExperiment(experiment, False)  # the demo's peaks read as profile data
    pyopenms.SpectraMerger().mergeSpectraBlockWise(experiment)
    assert picked.getNrSpectra() == len(run) and picked[0].size() > 0


@pytest.mark.parametrize("library, use", list(zip(LIBRARIES, [
    matchms_keeps_the_fragment_scans, spectrum_utils_plots, pyopenms_runs_its_algorithms])))
def test_each_library_works_on_what_it_is_handed(files, library, use):
    pytest.importorskip(library)
    with kt.open_run(sr.demo_file().write(files / "demo_orbitrap.raw")) as run:
        use(run)


@pytest.mark.parametrize("library, convert", list(zip(LIBRARIES, [
    lambda run: run[1].to_matchms(), lambda run: run[1].to_spectrum_utils(), lambda run: run.to_pyopenms()])))
def test_a_missing_library_names_the_extra(files, monkeypatch, library, convert):
    for name in [m for m in sys.modules if m == library or m.startswith(f"{library}.")] + [library]:
        monkeypatch.setitem(sys.modules, name, None)  # `import` of it now fails
    with kt.open_run(sr.demo_file().write(files / "demo_orbitrap.raw")) as run, \
            pytest.raises(ImportError, match=rf"^{library} is not installed.*pip install 'kestrune\[interop\]'"):
        convert(run)
