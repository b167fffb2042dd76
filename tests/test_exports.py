"""MGF, Parquet and the catalog, read back by the field's own readers and compared
with what the reader answers, on every File profile and version."""

from __future__ import annotations

import datetime
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

import kestrune
from export_runs import CASES, PROFILE_NAMES, reader_scans, write_run
from kestrune_tools.cli import main


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    """Every case converted to MGF and Parquet, and catalogued together."""
    base = tmp_path_factory.mktemp("exports")
    runs = {case: write_run(base / f"{case[0]}-v{case[1]}", *case) for case in CASES}
    outputs = {}
    for case, path in runs.items():
        outdir = base / "out" / f"{case[0]}-v{case[1]}"
        # A run without MS2 scans that hold a precursor m/z gives no MGF: nothing to write, no failure.
        for format_name in ("mgf", "parquet"):
            assert main(["convert", str(path), "-o", str(outdir), "--to", format_name, "-j", "1"]) == 0
        outputs[case] = outdir / path.stem
    catalog = base / "catalog.parquet"
    assert main(["catalog", str(base), "-o", str(catalog), "-j", "1"]) == 0
    return runs, outputs, catalog


PROFILE_OF_NAME = {name: profile for profile, name in PROFILE_NAMES.items()}


@pytest.fixture(params=CASES, ids=[f"{p}-v{v}" for p, v in CASES])
def exported(request, archive):
    runs, outputs, _ = archive
    return runs[request.param], outputs[request.param], reader_scans(runs[request.param])


def test_mgf_read_by_pyteomics(exported):
    mgf = pytest.importorskip("pyteomics.mgf")
    path, stem, scans = exported
    msn = [scan for scan in scans if scan.ms_level == 2 and scan.precursor_mz is not None]
    if not msn:
        assert not Path(str(stem) + ".mgf").exists()
        return
    with mgf.MGF(str(stem) + ".mgf", convert_arrays=1) as read:
        spectra = list(read)
    assert [int(s["params"]["scans"]) for s in spectra] == [scan.number for scan in msn]
    for spectrum, scan in zip(spectra, msn):
        params = spectrum["params"]
        assert f'NativeID:"scan={scan.number}"' in params["title"]
        assert params["rtinseconds"] == scan.rt * 60.0  # written exactly, in seconds
        assert params.get("pepmass", (None,))[0] == scan.precursor_mz
        assert (list(params["charge"]) if "charge" in params else None) == (
            [scan.precursor_charge] if scan.precursor_charge else None)
        assert np.array_equal(spectrum["m/z array"], scan.mz)
        assert spectrum["m/z array"].tobytes() == scan.mz.tobytes()
        assert spectrum["intensity array"].astype(np.float32).tobytes() == scan.intensity.tobytes()


def read_with(reader: str, path: Path) -> dict[str, np.ndarray]:
    """Every column of a Parquet file as NumPy arrays (nulls as NaN), by one reader."""
    if reader == "pyarrow":
        table = pq.read_table(path)
        return {name: table[name].to_numpy(zero_copy_only=False) for name in table.column_names}
    if reader == "duckdb":
        duckdb = pytest.importorskip("duckdb")
        result = duckdb.sql(f"SELECT * FROM read_parquet('{path}')").fetchnumpy()
        return {name: np.ma.filled(np.ma.asarray(column).astype(float), np.nan)
                if np.ma.is_masked(column) else np.asarray(column) for name, column in result.items()}
    polars = pytest.importorskip("polars")
    frame = polars.read_parquet(path)
    return {name: frame[name].to_numpy() for name in frame.columns}


READERS = ["pyarrow", "duckdb", "polars"]


def same(values, expected) -> bool:
    """Equal element by element, None (null) matching NaN or None."""
    values = [None if v is None or (isinstance(v, float) and np.isnan(v)) else v for v in np.asarray(values).tolist()]
    return values == list(expected)


@pytest.mark.parametrize("reader", READERS)
def test_peaks_parquet(exported, reader):
    path, stem, scans = exported
    columns = read_with(reader, Path(str(stem) + ".peaks.parquet"))
    assert list(columns) == ["scan_number", "mz", "intensity"]
    assert columns["mz"].dtype == np.float64 and columns["intensity"].dtype == np.float32
    assert columns["scan_number"].astype(np.int32).tobytes() == np.concatenate(
        [np.full(len(scan.mz), scan.number, np.int32) for scan in scans]).tobytes()
    assert columns["mz"].tobytes() == np.concatenate([scan.mz for scan in scans]).tobytes()
    assert columns["intensity"].tobytes() == np.concatenate([scan.intensity for scan in scans]).tobytes()


@pytest.mark.parametrize("reader", READERS)
def test_scans_parquet(exported, reader):
    path, stem, scans = exported
    columns = read_with(reader, Path(str(stem) + ".scans.parquet"))
    reader_file = kestrune.RawFileReader(str(path))
    assert same(columns["file"], [path.name] * len(scans))
    assert same(columns["version"], [reader_file.version] * len(scans))
    assert same(columns["num_scans"], [reader_file.num_scans] * len(scans))
    assert same(columns["scan_number"], [scan.number for scan in scans])
    assert same(columns["ms_level"], [scan.ms_level for scan in scans])
    assert columns["rt"].tobytes() == np.array([scan.rt for scan in scans]).tobytes()
    assert same(columns["precursor_mz"], [scan.precursor_mz for scan in scans])
    assert same(columns["precursor_charge"], [scan.precursor_charge for scan in scans])
    assert same(columns["peak_count"], [len(scan.mz) for scan in scans])


def test_header_values_and_units_in_the_metadata(exported):
    path, stem, _ = exported
    reader = kestrune.RawFileReader(str(path))
    created = datetime.datetime.fromtimestamp(int(reader.creation_date), datetime.timezone.utc)
    expected = {"file": path.name, "version": str(reader.version), "num_scans": str(reader.num_scans),
                "creation_date": created.isoformat(), "profile": PROFILE_OF_NAME[path.name]}
    for suffix in (".scans.parquet", ".peaks.parquet"):
        metadata = pq.read_metadata(str(stem) + suffix).metadata
        assert {k.decode().removeprefix("kestrune."): v.decode() for k, v in metadata.items()
                if k.startswith(b"kestrune.")} == expected
    schema = pq.read_schema(str(stem) + ".scans.parquet")
    assert schema.field("rt").metadata == {b"unit": b"minute"}
    assert pa.types.is_timestamp(schema.field("creation_date").type) and schema.field("creation_date").type.tz == "UTC"
    assert pq.read_table(str(stem) + ".scans.parquet")["creation_date"][0].as_py() == created


def test_peak_row_groups(files):
    from kestrune_tools import open_run
    from kestrune_tools.parquet import write_peaks

    path = write_run(files, "orbitrap", 66)
    with open_run(path) as run:
        write_peaks(run, files / "whole.parquet")
        write_peaks(run, files / "groups.parquet", row_group=1000)
    metadata = pq.read_metadata(files / "groups.parquet")
    sizes = [metadata.row_group(k).num_rows for k in range(metadata.num_row_groups)]
    total = pq.read_metadata(files / "whole.parquet").num_rows
    assert sizes[:-1] == [1000] * (len(sizes) - 1) and 0 < sizes[-1] <= 1000 and sum(sizes) == total
    assert pq.read_table(files / "groups.parquet").equals(pq.read_table(files / "whole.parquet"))


@pytest.mark.parametrize("row_group", [0, -1])
def test_peak_row_groups_of_no_rows_are_refused_before_writing(files, row_group):
    from kestrune_tools import open_run
    from kestrune_tools.parquet import write_peaks

    with open_run(write_run(files, "orbitrap", 66)) as run, pytest.raises(ValueError, match="row_group"):
        write_peaks(run, files / "peaks.parquet", row_group=row_group)
    assert not (files / "peaks.parquet").exists()


@pytest.mark.parametrize("reader", READERS)
def test_catalog_answers_the_precursor_query(archive, reader):
    runs, _, catalog = archive
    expected_rows = []
    for case, path in sorted(runs.items(), key=lambda item: str(item[1])):
        expected_rows += [(str(path.resolve()), scan.number, scan.precursor_mz) for scan in reader_scans(path)]
    columns = read_with(reader, catalog)
    assert same(columns["path"], [row[0] for row in expected_rows])
    assert same(columns["scan_number"], [row[1] for row in expected_rows])
    assert same(columns["size"], [path.stat().st_size for path in sorted(runs.values(), key=str)
                                  for _ in range(kestrune.RawFileReader(str(path)).num_scans)])
    target, ppm = 425.0, 10.0  # a precursor of the demo acquisition
    hits = {(path, scan) for path, scan, mz in expected_rows if mz is not None and abs(mz - target) <= target * ppm * 1e-6}
    assert hits
    if reader == "duckdb":
        import duckdb

        found = duckdb.sql(f"SELECT path, scan_number FROM '{catalog}' WHERE ms_level = 2 AND "
                           f"abs(precursor_mz - {target}) <= {target} * {ppm} * 1e-6").fetchall()
        assert set(found) == hits


# The demo run: scans 12 (MS2, rt 0.8), 13 (MS1), 14 (MS2 without a precursor m/z),
# 15 (MS3, its master scan 14) and 16 (MS2, rt 1.0).
@pytest.mark.parametrize("ms_level, rt_range, require_precursor, written, left_out", [
    (2, (0.8, 1.0), True, [12, 16], [14]),
    (2, (0.8, 1.0), False, [12, 14, 16], []),
    (None, (0.84, 0.96), True, [13, 15], [14]),
    (1, (0.84, 0.86), True, [13], []),
    (7, None, True, [], []),
])
def test_the_scans_an_export_writes(files, ms_level, rt_range, require_precursor, written, left_out):
    import kestrune_tools as kt

    with kt.open_run(write_run(files, "orbitrap", 66)) as run:
        assert run.export_scans(ms_level, rt_range, require_precursor=require_precursor) == (written, left_out)


def _fail_after_first(calls, failure):
    """A stand-in for a run's reading method that reads once, then raises `failure`."""
    def reading(*arguments, **options):
        if calls.append(None) or len(calls) > 1:
            raise failure
        return reading.original(*arguments, **options)
    return reading


def _library_writers():
    from kestrune_tools import mgf, mzml, parquet

    return {
        "mgf": lambda run, out: mgf.write_mgf(run, out),
        "mzml": lambda run, out: mzml.write_mzml(run, out),
        "parquet": lambda run, out: parquet.write_parquet(run, out.with_suffix(".scans"), out),
        "peaks": lambda run, out: parquet.write_peaks(run, out),
    }


@pytest.mark.parametrize("writer", ["mgf", "mzml", "parquet", "peaks"])
@pytest.mark.parametrize("failure", [KeyboardInterrupt(), OSError(5, "Input/output error")], ids=["interrupt", "error"])
def test_a_library_export_that_fails_part_way_leaves_nothing(tmp_path, monkeypatch, writer, failure):
    pytest.importorskip("psims")
    import kestrune_tools as kt
    from kestrune_tools import parquet, runs

    path = write_run(tmp_path / "exports", "orbitrap", 66)
    monkeypatch.setattr(parquet, "PASS_PEAK_BUDGET", 500)  # the peaks in several passes
    calls = []
    for name in ("_spectrum", "scan_pass"):
        reading = _fail_after_first(calls, failure)
        reading.original = getattr(runs.Run, name)
        monkeypatch.setattr(runs.Run, name, reading)
    with kt.open_run(path) as run, pytest.raises(type(failure)):
        _library_writers()[writer](run, path.parent / "out.export")
    assert sorted(p.name for p in path.parent.iterdir()) == [path.name]


@pytest.mark.parametrize("row_group, error", [(2.5, TypeError), (True, TypeError), (0, ValueError), ("9", TypeError)])
def test_bad_writer_arguments_are_refused_before_any_file(tmp_path, row_group, error):
    import kestrune_tools as kt
    from kestrune_tools import parquet

    path = write_run(tmp_path / "exports", "orbitrap", 66)
    with kt.open_run(path) as run, pytest.raises(error):
        parquet.write_peaks(run, path.parent / "out.peaks", row_group=row_group)
    assert sorted(p.name for p in path.parent.iterdir()) == [path.name]
