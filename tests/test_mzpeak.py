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
from kestrune_tools.outputs import NothingToWrite  # noqa: E402
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
    """Every run converted by the command: (run path, archive path) by id."""
    base = tmp_path_factory.mktemp("mzpeak")
    paths = {f"{p}-v{v}": write_run(base / f"{p}-v{v}", p, v) for p, v in CASES}
    paths["awkward"] = awkward_run(base / "awkward")
    for path in paths.values():
        assert main(["convert", str(path), "-o", str(path.parent), "--to", "mzpeak", "-j", "1", "--no-progress"]) == 0
    return {name: (path, path.with_suffix(".mzpeak")) for name, path in paths.items()}


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
    """A column of a packed table's group (`*`: its rows, without the null rows below)."""
    rows = table[group].to_pylist()
    return [row for row in rows if row is not None] if name == "*" else [row and row[name] for row in rows]


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
    precursors = column(spectra, "precursor", "*")
    assert [p["source_index"] for p in precursors] == msn
    for p in precursors:
        master = masters[p["source_index"]]
        assert p["precursor_id"] == (None if master is None else f"scan={master}")
        assert p["precursor_index"] == (None if master is None else master - 1)
        energy = trailers[p["source_index"]].get("Collision Energy")
        assert p["activation"][mzpeak.COLLISION_ENERGY] == (energy if isinstance(energy, float) else None)
        assert p["activation"]["parameters"], "a dissociation method"
    selected = column(spectra, "selected_ion", "*")
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


@pytest.mark.parametrize("selection", [{"ms_level": 1}, {"ms_level": 2}, {"ms_level": 3}, {"require_precursor": True}])
def test_the_selection_chooses_spectra_and_chromatograms(archives, tmp_path, selection):
    path, _ = archives["orbitrap-v66"]
    level, required = selection.get("ms_level"), selection.get("require_precursor", False)
    with kt.open_run(path) as run:
        left_out = mzpeak.write_mzpeak(run, tmp_path / "chosen.mzpeak", **selection)
        of_level = list(run.spectra(ms_level=level))
        tic = run.tic(ms_level=level or 1)
    chosen = [s.scan_number for s in of_level if not (required and s.ms_level >= 2 and s.precursor_mz is None)]
    assert left_out == len(of_level) - len(chosen)
    parts = members(tmp_path / "chosen.mzpeak")
    spectra = parts[mzpeak.SPECTRA_METADATA].read()
    assert column(spectra, "spectrum", "id") == [f"scan={scan}" for scan in chosen]
    # A precursor spectrum not written is named, never pointed at.
    precursors = [(row["precursor_index"], row["precursor_id"]) for row in column(spectra, "precursor", "*")]
    position = {f"scan={scan}": row for row, scan in enumerate(chosen)}
    assert precursors and all(at == position.get(name) for at, name in precursors) or level == 1
    points = parts[mzpeak.CHROMATOGRAMS_DATA].read()["point"].combine_chunks().flatten()
    assert same_bits(points[2].to_numpy()[points[0].to_numpy() == 0], tic[1])


# Each Parquet member: its key-value metadata keys beyond the file-level documents,
# and its columns delta-encoded (D) or byte-stream-split (B).
WRITTEN = {
    mzpeak.SPECTRA_DATA: ({"spectrum_array_index"}, {"point.spectrum_index": "D", "point.mz": "B",
                                                     "point.intensity": "B"}),
    mzpeak.SPECTRA_METADATA: ({"spectrum_count", "spectrum_data_point_count"}, {}),
    mzpeak.CHROMATOGRAMS_METADATA: ({"chromatogram_count", "chromatogram_data_point_count"}, {}),
    mzpeak.CHROMATOGRAMS_DATA: ({"chromatogram_array_index"}, {"point.chromatogram_index": "D",
                                                               "point.time": "B", "point.intensity": "B"}),
}


@pytest.mark.parametrize("member", list(WRITTEN))
def test_members_are_stored_and_written_as_the_format_recommends(archives, member):
    _, archive = archives["orbitrap-v66"]
    with zipfile.ZipFile(archive) as opened:
        assert {info.compress_type for info in opened.infolist()} == {zipfile.ZIP_STORED}
        index = json.loads(opened.read(mzpeak.INDEX_NAME))
    assert {entry["name"]: (entry["entity_type"], entry["data_kind"]) for entry in index["files"]} == mzpeak.MEMBERS
    keys, encodings = WRITTEN[member]
    metadata = members(archive)[member].metadata
    documents = set(index["metadata"]) if member.endswith("metadata.parquet") else set()
    assert set(key_values(members(archive)[member])) == keys | documents  # every value JSON, no ARROW:schema
    chunks = [metadata.row_group(g).column(k) for g in range(metadata.num_row_groups) for k in range(metadata.num_columns)]
    assert all(c.compression == "ZSTD" and c.has_column_index and c.has_offset_index for c in chunks)
    for chunk in chunks:
        wanted = {"D": "DELTA_BINARY_PACKED", "B": "BYTE_STREAM_SPLIT"}.get(encodings.get(chunk.path_in_schema, ""))
        assert wanted is None or wanted in chunk.encodings, chunk.path_in_schema


# Each JSON document of the archive and its schema.
DOCUMENTS = {"index": "mzpeak_index", "file_description": "file_description", "run": "ms_run",
             "instrument_configuration_list": "instrument_configuration", "software_list": "software",
             "data_processing_method_list": "data_processing", "sample_list": "sample",
             "spectrum_array_index": "array_index", "chromatogram_array_index": "array_index"}


@pytest.mark.parametrize("key", list(DOCUMENTS))
def test_documents_validate_against_the_schemas(archives, key):
    jsonschema, referencing = pytest.importorskip("jsonschema"), pytest.importorskip("referencing")
    if not SCHEMAS.is_dir():
        pytest.skip(f"the format's JSON Schemas are not at {SCHEMAS}")
    schemas = {path.stem: json.loads(path.read_text()) for path in SCHEMAS.glob("*.json")}
    # The schemas name each other by their published addresses.
    base = "https://raw.githubusercontent.com/mobiusklein/mzpeak_prototyping/refs/heads/main/schema/"
    registry = referencing.Registry().with_resources(
        (f"{base}{name}.json", referencing.Resource.from_contents(schema)) for name, schema in schemas.items())
    _, archive = archives["orbitrap-v66"]
    with zipfile.ZipFile(archive) as opened:
        index = json.loads(opened.read(mzpeak.INDEX_NAME))
    found = {"index": index}
    for parquet in members(archive).values():
        found.update(key_values(parquet))
    assert found[key] == index["metadata"].get(key, found[key])  # the index holds the same documents
    schema = schemas[DOCUMENTS[key]]
    jsonschema.Draft7Validator(schema, registry=registry, format_checker=jsonschema.Draft7Validator.FORMAT_CHECKER
                               ).validate(found[key])
    for entry in found[key].get("entries", []) if key.endswith("array_index") else []:
        jsonschema.Draft7Validator(schema["definitions"]["array_index_entry"]).validate(entry)  # unchecked above


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
    written = {}
    for folder in ("reference", "out"):
        (tmp_path / folder).mkdir()
        if folder == "out" and way != "library":
            command = ["convert", str(inputs[0].parent), "-o", str(tmp_path / folder), "--to", "mzpeak", "-j", "2"]
            assert main([*command, "--no-progress"]) == 0
        for copy in inputs if folder == "reference" or way == "library" else []:
            with kt.open_run(copy) as run:
                mzpeak.write_mzpeak(run, tmp_path / folder / f"{copy.stem}.mzpeak")
        written[folder] = {p.name: p.read_bytes() for p in (tmp_path / folder).iterdir() if p.suffix == ".mzpeak"}
    assert written["out"] == written["reference"] and len(written["out"]) == 3


@pytest.mark.parametrize("arguments", [{"ms_level": 0}, {"ms_level": True}, {"ms_level": 2.0}, {"polarity": "up"},
                                       {"spectrum_type": "mixed"}, {"ms_level": 9}, {"reading": "fails"}])
@pytest.mark.parametrize("before", [None, b"an earlier archive"])
def test_a_failed_write_leaves_the_destination_as_it_was(archives, tmp_path, monkeypatch, arguments, before):
    path, _ = archives["orbitrap-v66"]
    destination = tmp_path / "out.mzpeak"
    if before is not None:
        destination.write_bytes(before)
    arguments = dict(arguments)  # shared by the cases
    if arguments.pop("reading", None):
        monkeypatch.setattr(mzpeak.points, "pass_in_groups", lambda *_: open(tmp_path / "missing"))
    with kt.open_run(path) as run, pytest.raises(FileNotFoundError if not arguments else
                                                 NothingToWrite if arguments == {"ms_level": 9} else ValueError):
        mzpeak.write_mzpeak(run, destination, **arguments)
    assert [p.name for p in tmp_path.iterdir()] == ([] if before is None else ["out.mzpeak"])
    assert before is None or destination.read_bytes() == before
