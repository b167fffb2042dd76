"""mzPeak archives read back with pyarrow, DuckDB and the JSON Schemas, against the
reader's own answers, on every File profile and version and on a run of awkward scans."""

from __future__ import annotations

import io
import json
import math
import zipfile
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pytest.importorskip("psims")

import kestrune_tools as kt  # noqa: E402
import kestrune_tools.synthetic as sr  # noqa: E402
from export_runs import CASES, reader_scans, write_run  # noqa: E402
from kestrune_tools import mzpeak  # noqa: E402
from kestrune_tools.cli import main  # noqa: E402
from kestrune_tools.mgf import NothingToWrite  # noqa: E402
from test_scan_pass import SEARCH_ROOM, random_block  # noqa: E402

SCHEMAS = Path(__file__).resolve().parents[2] / "shared" / "standards" / "mzpeak" / "schema"
RUNS = [f"{profile}-v{version}" for profile, version in CASES] + ["awkward"]


def awkward_run(directory: Path) -> Path:
    """Scans without peaks, out of m/z order and with NaN m/z and intensities, NaN
    retention times, and MS2 scans without a precursor m/z."""
    rng = np.random.default_rng(11)
    count = sr.scan_count(66)
    kinds = ["empty", "sorted", "unsorted", "nan", "sorted", "empty", "sorted"]
    blocks = [random_block(rng, kinds[k % len(kinds)]) for k in range(count)]
    lengths = [len(block or b"") + SEARCH_ROOM for block in blocks]
    raw = sr.orbitrap_peak_file(lengths).header(version=66, creation_time=133_444_736_000_000_000)
    raw.orbitrap_index(lengths, [math.nan if k % 9 == 4 else 0.1 * k for k in range(count)])
    at = sr.ORBITRAP_FIRST_SCAN_AT
    for scan, (block, length) in enumerate(zip(blocks, lengths), 1):
        if block:
            raw.put(at, block)
        at += length
        survey = scan % 4 == 1
        raw.trailer(scan, sr.Trailer(
            injection_time=0.0 if scan % 5 == 0 else 25.0, master_scan=0 if survey else scan - (scan - 1) % 4,
            monoisotopic_mz=0.0 if survey or scan % 6 == 0 else 300.0 + scan, charge=0 if survey else 2,
            resolution=30_000, ms_order_byte=0 if survey else 1, isolation_width=0.0 if survey else 2.0,
            collision_energy=b"" if survey else b"28.5"))
    directory.mkdir(parents=True, exist_ok=True)
    return Path(raw.write(directory / "awkward_orbitrap.raw"))


@pytest.fixture(scope="module")
def archives(tmp_path_factory):
    """Every run written by the library: (run path, archive path) by id."""
    base = tmp_path_factory.mktemp("mzpeak")
    paths = {f"{p}-v{v}": write_run(base / f"{p}-v{v}", p, v) for p, v in CASES}
    paths["awkward"] = awkward_run(base / "awkward")
    made = {}
    for name, path in paths.items():
        with kt.open_run(path) as run:
            mzpeak.write_mzpeak(run, path.with_suffix(".mzpeak"))
        made[name] = path, path.with_suffix(".mzpeak")
    return made


def members(archive: Path) -> dict[str, pq.ParquetFile]:
    with zipfile.ZipFile(archive) as opened:
        return {name: pq.ParquetFile(io.BytesIO(opened.read(name))) for name in mzpeak.MEMBERS}


def key_values(parquet: pq.ParquetFile) -> dict[str, object]:
    return {key.decode(): json.loads(value) for key, value in parquet.metadata.metadata.items()}


def same_bits(found, expected) -> bool:
    """Equal arrays, NaN included, compared as their bytes."""
    found, expected = np.asarray(found), np.asarray(expected, dtype=np.asarray(found).dtype)
    return found.shape == expected.shape and found.tobytes() == expected.tobytes()


def column(table: pa.Table, group: str, name: str) -> list:
    return [None if row is None else row[name] for row in table[group].to_pylist()]


@pytest.mark.parametrize("name", RUNS)
def test_spectra_read_back_as_the_reader_answers(archives, name):
    path, archive = archives[name]
    scans = reader_scans(path)
    parts = members(archive)
    spectra = parts[mzpeak.SPECTRA_METADATA].read()
    points = parts[mzpeak.SPECTRA_DATA].read()["point"].combine_chunks().flatten()
    assert column(spectra, "spectrum", "index") == list(range(len(scans)))
    assert column(spectra, "spectrum", "id") == [f"scan={scan.number}" for scan in scans]
    assert column(spectra, "spectrum", mzpeak.MS_LEVEL) == [scan.ms_level for scan in scans]
    assert same_bits(column(spectra, "spectrum", "time"), [scan.rt for scan in scans])
    assert same_bits(column(spectra, "scan", mzpeak.SCAN_START_TIME), [scan.rt for scan in scans])
    index, mz, intensity = (points[k].to_numpy() for k in range(3))
    assert np.all(np.diff(index.astype(np.int64)) >= 0)
    for row, scan in enumerate(scans):
        mine = index == row
        order = np.argsort(scan.mz, kind="stable")  # by m/z, NaN last, ties in the file's order
        assert same_bits(mz[mine], scan.mz[order]) and same_bits(intensity[mine], scan.intensity[order])
    metadata = key_values(parts[mzpeak.SPECTRA_METADATA])
    assert metadata["spectrum_count"] == len(scans)
    assert metadata["spectrum_data_point_count"] == len(mz) == sum(len(scan.mz) for scan in scans)


@pytest.mark.parametrize("name", RUNS)
def test_summary_values_are_the_scan_tables(archives, name):
    path, archive = archives[name]
    spectra = members(archive)[mzpeak.SPECTRA_METADATA].read()
    with kt.open_run(path) as run:
        table = run.scan_table()
        injection = table["injection_time"].to_numpy()
    pairs = {mzpeak.DATA_POINTS: "peak_count", mzpeak.TOTAL_ION_CURRENT: "tic",
             mzpeak.BASE_PEAK_MZ: "base_peak_mz", mzpeak.BASE_PEAK_INTENSITY: "base_peak_intensity"}
    for mine, theirs in pairs.items():
        found, expected = pa.array(column(spectra, "spectrum", mine), table[theirs].type), table[theirs]
        assert found.is_null().equals(expected.is_null().combine_chunks()), mine
        assert same_bits(found.fill_null(0).to_numpy(), expected.fill_null(0).to_numpy()), mine
    counts = table["peak_count"].to_numpy()
    lowest, highest = column(spectra, "spectrum", mzpeak.LOWEST_MZ), column(spectra, "spectrum", mzpeak.HIGHEST_MZ)
    assert [value is None for value in lowest] == [value is None for value in highest] == list(counts == 0)
    assert column(spectra, "scan", mzpeak.INJECTION_TIME) == [value if value > 0 else None for value in injection]


@pytest.mark.parametrize("name", RUNS)
def test_precursors_and_selected_ions_are_the_readers(archives, name):
    path, archive = archives[name]
    scans = reader_scans(path)
    spectra = members(archive)[mzpeak.SPECTRA_METADATA].read()
    with kt.open_run(path) as run:
        masters = [run[scan.number].master_scan for scan in scans]
        trailers = [run.trailer(scan.number) for scan in scans]
    msn = [row for row, scan in enumerate(scans) if scan.ms_level >= 2]
    precursors = [row for row in spectra["precursor"].to_pylist() if row is not None]
    assert [p["source_index"] for p in precursors] == msn
    for p in precursors:
        master = masters[p["source_index"]]
        assert p["precursor_id"] == (None if master is None else f"scan={master}")
        assert p["precursor_index"] == (None if master is None else master - 1)
        energy = trailers[p["source_index"]].get("Collision Energy")
        assert p["activation"][mzpeak.COLLISION_ENERGY] == (energy if isinstance(energy, float) else None)
        assert p["activation"]["parameters"], "a dissociation method"
    selected = [row for row in spectra["selected_ion"].to_pylist() if row is not None]
    held = [row for row in msn if scans[row].precursor_mz is not None]
    assert [(s["source_index"], s[mzpeak.SELECTED_ION_MZ], s[mzpeak.CHARGE_STATE]) for s in selected] == [
        (row, scans[row].precursor_mz, scans[row].precursor_charge) for row in held]
    if name == "awkward":
        assert len(held) < len(msn), "MSn scans without a precursor m/z keep their precursor"


@pytest.mark.parametrize("name", RUNS)
def test_chromatograms_are_the_runs_tic_and_bpc(archives, name):
    path, archive = archives[name]
    parts = members(archive)
    points = parts[mzpeak.CHROMATOGRAMS_DATA].read()["point"].combine_chunks().flatten()
    index, time, intensity = (points[k].to_numpy() for k in range(3))
    with kt.open_run(path) as run:
        expected = {0: run.tic(), 1: run.bpc()}
    for row, (rt, values) in expected.items():
        assert same_bits(time[index == row], rt) and same_bits(intensity[index == row], values)
    chromatograms = parts[mzpeak.CHROMATOGRAMS_METADATA].read()
    assert column(chromatograms, "chromatogram", "id") == ["TIC", "BPC"]
    assert chromatograms["precursor"].null_count == chromatograms["selected_ion"].null_count == 2
    metadata = key_values(parts[mzpeak.CHROMATOGRAMS_METADATA])
    assert (metadata["chromatogram_count"], metadata["chromatogram_data_point_count"]) == (2, len(time))


@pytest.mark.parametrize("level", [1, 2, 3])
def test_ms_level_selects_spectra_and_their_chromatograms(archives, tmp_path, level):
    path, _ = archives["orbitrap-v66"]
    with kt.open_run(path) as run:
        mzpeak.write_mzpeak(run, tmp_path / "level.mzpeak", ms_level=level)
        chosen = [s.scan_number for s in run.spectra(ms_level=level)]
        tic = run.tic(ms_level=level)
    parts = members(tmp_path / "level.mzpeak")
    spectra = parts[mzpeak.SPECTRA_METADATA].read()
    assert column(spectra, "spectrum", "id") == [f"scan={scan}" for scan in chosen]
    # A precursor spectrum not written is named, never pointed at.
    precursors = [row for row in spectra["precursor"].to_pylist() if row is not None]
    assert len(precursors) == (len(chosen) if level > 1 else 0)
    assert all(row["precursor_index"] is None and row["precursor_id"] for row in precursors)
    points = parts[mzpeak.CHROMATOGRAMS_DATA].read()["point"].combine_chunks().flatten()
    assert same_bits(points[2].to_numpy()[points[0].to_numpy() == 0], tic[1])


@pytest.mark.parametrize("member", [mzpeak.INDEX_NAME, *mzpeak.MEMBERS])
def test_members_are_stored_uncompressed_with_json_metadata(archives, member):
    _, archive = archives["orbitrap-v66"]
    with zipfile.ZipFile(archive) as opened:
        info = opened.getinfo(member)
        data = opened.read(member)
        index = json.loads(opened.read(mzpeak.INDEX_NAME))
    assert info.compress_type == zipfile.ZIP_STORED
    assert {entry["name"]: (entry["entity_type"], entry["data_kind"]) for entry in index["files"]} == mzpeak.MEMBERS
    if member == mzpeak.INDEX_NAME:
        return
    metadata = pq.ParquetFile(io.BytesIO(data)).metadata.metadata
    assert all(json.loads(value) is not None for value in metadata.values())  # every value JSON, no ARROW:schema
    expected = {"spectra_data.parquet": {"spectrum_array_index"},
                "chromatograms_data.parquet": {"chromatogram_array_index"},
                "spectra_metadata.parquet": {"spectrum_count", "spectrum_data_point_count", *index["metadata"]},
                "chromatograms_metadata.parquet": {"chromatogram_count", "chromatogram_data_point_count",
                                                   *index["metadata"]}}[member]
    assert {key.decode() for key in metadata} == expected


ENCODINGS = [
    (mzpeak.SPECTRA_DATA, "point.spectrum_index", "DELTA_BINARY_PACKED"),
    (mzpeak.SPECTRA_DATA, "point.mz", "BYTE_STREAM_SPLIT"),
    (mzpeak.SPECTRA_DATA, "point.intensity", "BYTE_STREAM_SPLIT"),
    (mzpeak.CHROMATOGRAMS_DATA, "point.chromatogram_index", "DELTA_BINARY_PACKED"),
    (mzpeak.CHROMATOGRAMS_DATA, "point.time", "BYTE_STREAM_SPLIT"),
    (mzpeak.SPECTRA_METADATA, "spectrum.id", None),
]


@pytest.mark.parametrize("member, path, encoding", ENCODINGS)
def test_columns_are_encoded_compressed_and_paged_as_recommended(archives, member, path, encoding):
    _, archive = archives["orbitrap-v66"]
    metadata = members(archive)[member].metadata
    for group in range(metadata.num_row_groups):
        chunk = next(c for c in (metadata.row_group(group).column(k) for k in range(metadata.num_columns))
                     if c.path_in_schema == path)
        assert chunk.compression == "ZSTD"
        assert chunk.has_column_index and chunk.has_offset_index
        assert encoding is None or encoding in chunk.encodings


def schema_registry():
    referencing = pytest.importorskip("referencing")
    if not SCHEMAS.is_dir():
        pytest.skip(f"the format's JSON Schemas are not at {SCHEMAS}")
    documents = {path.name: json.loads(path.read_text()) for path in SCHEMAS.glob("*.json")}
    # The schemas name each other by their published addresses.
    base = "https://raw.githubusercontent.com/mobiusklein/mzpeak_prototyping/refs/heads/main/schema/"
    return documents, referencing.Registry().with_resources(
        (base + name, referencing.Resource.from_contents(document)) for name, document in documents.items())


DOCUMENTS = [("index", "mzpeak_index.json"), ("file_description", "file_description.json"),
             ("instrument_configuration_list", "instrument_configuration.json"),
             ("data_processing_method_list", "data_processing.json"), ("software_list", "software.json"),
             ("sample_list", "sample.json"), ("run", "ms_run.json"),
             ("spectrum_array_index", "array_index.json"), ("chromatogram_array_index", "array_index.json")]


@pytest.mark.parametrize("key, schema", DOCUMENTS)
def test_documents_validate_against_the_schemas(archives, key, schema):
    jsonschema = pytest.importorskip("jsonschema")
    documents, registry = schema_registry()
    _, archive = archives["orbitrap-v66"]
    parts = members(archive)
    with zipfile.ZipFile(archive) as opened:
        index = json.loads(opened.read(mzpeak.INDEX_NAME))
    found = {"index": index, **key_values(parts[mzpeak.SPECTRA_METADATA]),
             **key_values(parts[mzpeak.SPECTRA_DATA]), **key_values(parts[mzpeak.CHROMATOGRAMS_DATA])}
    assert key == "index" or found[key] == index["metadata"].get(key, found[key])
    validator = jsonschema.Draft7Validator(documents[schema], registry=registry,
                                           format_checker=jsonschema.Draft7Validator.FORMAT_CHECKER)
    validator.validate(found[key])
    if key.endswith("array_index"):  # the entries' own definition, which the top level leaves unchecked
        entry = jsonschema.Draft7Validator(documents[schema]["definitions"]["array_index_entry"])
        for item in found[key]["entries"]:
            entry.validate(item)


def test_duckdb_reads_the_extracted_members(archives, tmp_path):
    duckdb = pytest.importorskip("duckdb")
    path, archive = archives["orbitrap-v66"]
    with zipfile.ZipFile(archive) as opened:
        opened.extractall(tmp_path)
    scans = reader_scans(path)
    data, meta = tmp_path / mzpeak.SPECTRA_DATA, tmp_path / mzpeak.SPECTRA_METADATA
    count = duckdb.sql(f"SELECT count(*) FROM '{meta}' WHERE spectrum.index IS NOT NULL").fetchall()[0][0]
    assert count == len(scans)
    mz, intensity = duckdb.sql(f"SELECT list(point.mz ORDER BY point.mz), list(point.intensity ORDER BY point.mz) "
                               f"FROM '{data}' WHERE point.spectrum_index = 6").fetchall()[0]
    assert same_bits(mz, scans[6].mz) and same_bits(np.float32(intensity), scans[6].intensity)
    chromatograms = tmp_path / mzpeak.CHROMATOGRAMS_DATA
    tic = duckdb.sql(f"SELECT point.time, point.intensity FROM '{chromatograms}' "
                     "WHERE point.chromatogram_index = 0").fetchnumpy()
    with kt.open_run(path) as run:
        rt, expected = run.tic()
    assert same_bits(tic["time"], rt) and same_bits(tic["intensity"], expected)


@pytest.mark.parametrize("way", ["library", "command, -j 2"])
def test_archives_are_the_same_bytes_however_written(archives, tmp_path, way):
    path, _ = archives["orbitrap-v57"]
    inputs = [tmp_path / "in" / f"{path.stem}{k}.raw" for k in range(3)]  # three tasks for two workers
    inputs[0].parent.mkdir()
    for copy in inputs:
        copy.write_bytes(path.read_bytes())
    for folder in ("reference", "out"):
        (tmp_path / folder).mkdir()
        if folder == "out" and way != "library":
            arguments = ["convert", str(inputs[0].parent), "-o", str(tmp_path / folder), "--to", "mzpeak"]
            assert main([*arguments, "-j", "2", "--no-progress"]) == 0
            continue
        for copy in inputs:
            with kt.open_run(copy) as run:
                mzpeak.write_mzpeak(run, tmp_path / folder / f"{copy.stem}.mzpeak")
    for copy in inputs:
        name = f"{copy.stem}.mzpeak"
        assert (tmp_path / "out" / name).read_bytes() == (tmp_path / "reference" / name).read_bytes()


@pytest.mark.parametrize("arguments, error", [
    ({"ms_level": 0}, ValueError), ({"ms_level": True}, ValueError), ({"ms_level": 2.0}, ValueError),
    ({"polarity": "up"}, ValueError), ({"spectrum_type": "mixed"}, ValueError), ({"ms_level": 9}, NothingToWrite),
])
def test_bad_arguments_are_refused_before_any_file(archives, tmp_path, arguments, error):
    path, _ = archives["orbitrap-v66"]
    with kt.open_run(path) as run, pytest.raises(error):
        mzpeak.write_mzpeak(run, tmp_path / "out.mzpeak", **arguments)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("before", [None, b"an earlier archive"])
def test_a_failed_write_leaves_the_destination_as_it_was(archives, tmp_path, monkeypatch, before):
    path, _ = archives["orbitrap-v66"]
    destination = tmp_path / "out.mzpeak"
    if before is not None:
        destination.write_bytes(before)

    def failing(run, scans, take_peaks):
        raise OSError(5, "input/output error")
    monkeypatch.setattr(mzpeak, "pass_in_groups", failing)
    with kt.open_run(path) as run, pytest.raises(OSError):
        mzpeak.write_mzpeak(run, destination)
    assert [p.name for p in tmp_path.iterdir()] == ([] if before is None else ["out.mzpeak"])
    assert before is None or destination.read_bytes() == before


@pytest.mark.parametrize("first_peaks", [11, 600])
def test_groups_keep_to_the_peak_budget_whatever_the_first_scan(tmp_path_factory, monkeypatch, first_peaks):
    from kestrune_tools import parquet

    peaks = [first_peaks] + [600] * (sr.scan_count(66) - 1)
    blocks = [sr.wide_block(sr.rising_mz(count, 150.0, 0.25), [1000.0] * count) for count in peaks]
    lengths = [len(block) + SEARCH_ROOM for block in blocks]
    raw = sr.orbitrap_peak_file(lengths)
    at = sr.ORBITRAP_FIRST_SCAN_AT
    for block, length in zip(blocks, lengths):
        raw.put(at, block)
        at += length
    folder = tmp_path_factory.mktemp("budget")
    path = raw.write(folder / "budget_orbitrap.raw")
    budget = 3 * 600
    monkeypatch.setattr(parquet, "PASS_PEAK_BUDGET", budget)
    held = []
    real = parquet.pass_in_groups
    monkeypatch.setattr(mzpeak, "pass_in_groups", lambda run, scans, take: real(
        run, scans, lambda group: (held.append(len(group.mz)), take(group))))
    with kt.open_run(path) as run:
        mzpeak.write_mzpeak(run, folder / "budget.mzpeak")
    assert sum(held) == sum(peaks) and max(held) <= budget
