"""The companion's run interface: the MS-level rule, spectra, filters, chromatograms."""

import os
import pickle

import pytest

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")

import kestrune_tools as kt  # noqa: E402
import kestrune_tools.synthetic as sr  # noqa: E402
from test_random_files import rich_file  # noqa: E402

# Scans 1 to 5 of the MS-level file: (MS Order byte, master scan, precursor m/z, charge).
TRAILERS = [
    (0, 0, 500.0, 2),  # MS1 with a stored precursor: reported as none
    (1, 1, 400.0, 2),
    (2, 2, 0.0, 0),  # MS3 by its MS Order; no precursor stored
    (0, 3, 410.0, 3),  # MS Order 1 wins over the master scan where the record is read
    (200, 4, 420.0, 1),  # an implausible MS Order: the master scan decides
]
NONE = (None, None)
STORED = [(500.0, 2), (400.0, 2), NONE, (410.0, 3), (420.0, 1)]


@pytest.mark.parametrize("name, version, levels", [
    ("run_orbitrap.raw", 66, [1, 2, 3, 1, 2]),
    ("run_orbitrap.raw", 57, [1, 2, 2, 2, 2]),  # no orbitrap trailer record below version 66
    ("run_Orbitrap.raw", 66, [1, 1, 1, 1, 1]),  # generic profile: no master scans
    ("run_small.RAW", 57, [1, 1, 1, 1, 1]),  # master scan -1
])
def test_ms_level_rule_and_precursors(files, name, version, levels):
    raw = sr.RawFile().header(version=version).at_least(sr.orbitrap_minimum_length(version))
    for scan, (order, master, mz, charge) in enumerate(TRAILERS, 1):
        raw.trailer(scan, sr.Trailer(ms_order_byte=order, master_scan=master, monoisotopic_mz=mz, charge=charge))
        raw.small_block(scan, 20.0)
    with kt.open_run(raw.write(files / name)) as run:
        spectra = list(run.spectra())[:5]
        assert [s.ms_level for s in spectra] == levels == list(run.ms_levels()[:5])
        assert run.scan_table()["ms_level"].to_pylist()[:5] == levels
        expected = [stored if level > 1 and "orbitrap" in name else NONE for stored, level in zip(STORED, levels)]
        assert [(s.precursor_mz, s.precursor_charge) for s in spectra] == expected


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    return sr.demo_file().write(tmp_path_factory.mktemp("kr") / "demo_orbitrap.raw")


@pytest.mark.parametrize("scan, shown", [
    (1, "<Spectrum scan 1, MS1, rt 0.2500 min, 200 peaks>"),
    (2, "<Spectrum scan 2, MS2, rt 0.3000 min, precursor m/z 425.0000 2+, 80 peaks>"),
    (145, "<Spectrum scan 145, MS1, rt 7.4500 min, 200 peaks>"),
])
def test_spectrum_against_the_reader(demo, scan, shown):
    with kt.open_run(demo) as run:
        spectrum, reader = run[scan], run.reader
        mz, intensity = reader.get_peaks(scan)
        assert type(spectrum.mz.base).__name__ == "PySliceContainer"  # the reader's arrays
        np.testing.assert_array_equal(spectrum.mz, mz)
        np.testing.assert_array_equal(spectrum.intensity, intensity)
        assert (spectrum.rt, spectrum.injection_time) == (reader.get_rt(scan), reader.get_injection_time(scan))
        assert spectrum.master_scan == (reader.get_master_scan(scan) or None)
        assert spectrum.native_id == f"scan={scan}"
        trailer = reader.get_trailer_extra(scan) if spectrum.ms_level >= 2 else {}
        assert (spectrum.isolation_width, spectrum.activation, spectrum.collision_energy) == (
            trailer.get("Isolation Width"), trailer.get("Activation Type"), trailer.get("Collision Energy"))
        assert repr(spectrum) == shown
        assert pickle.loads(pickle.dumps(spectrum)) == spectrum


@pytest.mark.parametrize("key, error", [(0, KeyError), (146, KeyError), (-1, KeyError), (7.0, TypeError),
                                        ("7", TypeError), (np.int64(146), KeyError)])
def test_scan_lookup_errors(demo, key, error):
    with kt.open_run(demo) as run:
        assert (key in run) is False
        with pytest.raises(error):
            run[key]
        assert 1 in run and np.int64(145) in run and run.scan_numbers == range(1, 146)


@pytest.mark.parametrize("ms_level, first, last, expected", [
    (None, None, None, range(1, 146)),
    (2, None, None, [s for s in range(1, 146) if (s - 1) % 4]),
    (1, 1, 5, [1, 5]),  # both bounds inclusive
    (None, 3, 3, [3]),
    (3, None, None, []),
])
def test_spectra_filters(demo, ms_level, first, last, expected):
    with kt.open_run(demo) as run:
        rt = run.retention_times()
        rt_range = None if first is None else (rt[first - 1], rt[last - 1])
        assert [s.scan_number for s in run.spectra(ms_level, rt_range)] == list(expected)


@pytest.fixture(scope="module")
def peaks_file(tmp_path_factory):
    """Scan 1 rising peaks, 2 none, 3 out of m/z order, 4 a NaN intensity, 5 on none."""
    raw = sr.orbitrap_peak_file([12_000] * 4)
    mz = sr.rising_mz(60)
    blocks = {1: (mz, range(1, 61)), 3: (mz[:2] + mz[:1:-1], range(60)), 4: (mz, [float("nan")] + [2.0] * 59)}
    for scan, (masses, intensities) in blocks.items():
        raw.put(sr.ORBITRAP_FIRST_SCAN_AT + 12_000 * (scan - 1), sr.wide_block(masses, list(intensities)))
    return raw.write(tmp_path_factory.mktemp("kr") / "peaks_orbitrap.raw")


@pytest.mark.parametrize("targets, tolerance", [
    ([100.0, 100.25, 105.0, 4000.0], {"da": 0.1}),  # on a peak, between peaks, none near
    ([105.0, 110.0, 105.5], {"da": 1.0}),  # boundaries on peaks, overlapping windows
    ([100.5, 129.5, -100.0], {"ppm": 10.0}),
])
def test_chromatograms_against_numpy(peaks_file, targets, tolerance):
    reader = kt.open_run(peaks_file).reader
    peaks = [reader.get_peaks(scan) for scan in range(1, 146)]
    rts = [reader.get_rt(scan) for scan in range(1, 146)]
    width = [t * tolerance["ppm"] * 1e-6 if "ppm" in tolerance else tolerance["da"] for t in targets]
    xic = [[i[(m >= t - w) & (m <= t + w)].sum(dtype=np.float64) for m, i in peaks] for t, w in zip(targets, width)]
    with kt.open_run(peaks_file) as run:
        rt, tic = run.tic()
        np.testing.assert_array_equal(rt, rts)
        np.testing.assert_allclose(tic, [i.sum(dtype=np.float64) for _, i in peaks])
        np.testing.assert_allclose(run.bpc()[1], [i.max() for _, i in peaks])
        np.testing.assert_allclose(run.xic(targets, **tolerance)[1], xic, atol=1e-9)


@pytest.mark.parametrize("targets, tolerance", [
    ([], {"ppm": 10.0}), ([500.0], {}), ([500.0], {"ppm": 10.0, "da": 0.01}),
    ([500.0], {"ppm": -1.0}), ([500.0], {"da": float("nan")}), ([float("inf")], {"da": 0.01}),
])
def test_xic_refuses_bad_arguments(demo, targets, tolerance):
    with kt.open_run(demo) as run, pytest.raises(ValueError):
        run.xic(targets, **tolerance)


def test_scan_table_columns_and_values(peaks_file):
    with kt.open_run(peaks_file) as run:
        table = run.scan_table()
        assert table.column_names == list(kt.runs.SCAN_TABLE_COLUMNS) and table.num_rows == 145
        assert [str(t) for t in table.schema.types] == ["int32", "double", "int8", "double", "int16", "int32",
                                                        "double", "int32", "double", "double", "double"]
        rows = table.slice(0, 5).to_pylist()
        assert [r["peak_count"] for r in rows] == [60, 0, 60, 60, 0]
        assert [r["base_peak_mz"] for r in rows] == [129.5, None, 101.0, 100.0, None]
        assert rows[0]["tic"] == sum(range(1, 61)) and rows[1]["base_peak_intensity"] == 0.0


CLOSED = [len, lambda run: run[1], lambda run: 1 in run, lambda run: run.spectra(), lambda run: run.tic(),
          lambda run: run.scan_table(), lambda run: run.trailer(1), lambda run: run.version]


@pytest.mark.parametrize("use", CLOSED)
def test_a_closed_run_refuses_use(demo, use):
    with kt.open_run(demo) as run:
        pass
    assert run.closed and run.path == os.fspath(demo)
    with pytest.raises(ValueError, match="closed run"):
        use(run)


def test_a_vanished_file_gives_neutral_values(files):
    path = sr.demo_file().write(files / "gone_orbitrap.raw")
    with kt.open_run(path) as run:
        os.remove(path)
        assert len(run[1].mz) == len(run[1].intensity) == 0
        assert list(run.ms_levels()[:5]) == [1, 2, 2, 2, 1]  # master scans from the scan caches
        assert not run.tic()[1].any() and run.scan_table()["base_peak_mz"].null_count == 145


def pandas_installed():
    import importlib.util

    return importlib.util.find_spec("pandas") is not None


def per_scan_peaks(run, scans):
    """The long table built the slow way, scan by scan through Python."""
    peaks = [run.peaks(scan) for scan in scans]
    return (np.concatenate([np.full(len(mz), scan, np.int32) for scan, (mz, _) in zip(scans, peaks)] + [[]]),
            np.concatenate([mz for mz, _ in peaks] + [[]]), np.concatenate([i for _, i in peaks] + [[]]))


@pytest.mark.parametrize("name", ["plain.raw", "run_small.RAW", "run_orbitrap.raw"])
@pytest.mark.parametrize("version", [57, 66, 100])
@pytest.mark.parametrize("selection", [{}, {"ms_level": 2}, {"rt_range": (1.0, 3.0)}, {"scans": [5, 1, 5, 40]},
                                       {"ms_level": 1, "scans": [1, 2, 3]}, {"scans": []}])
def test_peak_table_against_the_per_scan_peaks(files, name, version, selection):
    with kt.open_run(rich_file(version).write(files / name)) as run:
        table = run.peak_table(**selection)
        levels, rts = run.ms_levels(), run.retention_times()
        low, high = selection.get("rt_range", (-np.inf, np.inf))
        chosen = [scan for scan in selection.get("scans", run.scan_numbers)
                  if selection.get("ms_level", levels[scan - 1]) == levels[scan - 1] and low <= rts[scan - 1] <= high]
        expected = per_scan_peaks(run, chosen)
        assert table.column_names == ["scan_number", "mz", "intensity"]
        for column, values in zip(table.columns, expected):
            assert column.to_numpy().tobytes() == values.astype(column.to_numpy().dtype).tobytes()
        if pandas_installed():
            assert run.peak_frame(**selection).equals(table.to_pandas())


@pytest.mark.parametrize("scans", [[0], [146], [1, -1]])
def test_peak_table_refuses_scans_outside_the_run(files, scans):
    with kt.open_run(rich_file(66).write(files / "run_orbitrap.raw")) as run, \
            pytest.raises(ValueError, match="not in the run"):
        run.peak_table(scans=scans)


@pytest.mark.parametrize("call", [
    lambda run: run.tic(ms_level="1"), lambda run: run.bpc(ms_level="1"), lambda run: run.tic(ms_level=True),
    lambda run: run.xic([500.0], ppm=10.0, ms_level=1.0), lambda run: run.spectra(ms_level="2"),
    lambda run: run.scan_pass([True]), lambda run: run.scan_pass([1, 2.0]), lambda run: run.to_pyopenms(ms_level="2"),
    lambda run: run.peak_table(ms_level="2"), lambda run: run.peak_table(scans=[1.0]),
])
def test_scan_numbers_and_ms_levels_follow_one_argument_rule(demo, call):
    with kt.open_run(demo) as run, pytest.raises(TypeError, match="integers"):
        call(run)


def test_a_window_past_the_largest_float_sums_every_peak(demo):
    with kt.open_run(demo) as run:  # pytest turns NumPy's overflow warning into an error
        rt, (trace,) = run.xic([1e308], da=1e308)
        np.testing.assert_array_equal(trace, run.tic()[1])
