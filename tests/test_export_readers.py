"""The exports as the field's readers and a search engine take them, on every File
profile and version: the per-spectrum values they look for, the vocabulary they
check, and the scans without a precursor m/z or without peaks among the runs."""

from __future__ import annotations

import logging
import re
import warnings
from dataclasses import dataclass

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("psims")

import kestrune_tools as kt  # noqa: E402
from export_runs import CASES, write_run  # noqa: E402
from kestrune_tools.cli import main  # noqa: E402
from kestrune_tools.mgf import NothingToWrite, write_mgf  # noqa: E402
from kestrune_tools.mzml import psi_ms_vocabulary, write_mzml  # noqa: E402

IDS = [f"{profile}-v{version}" for profile, version in CASES]


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    base = tmp_path_factory.mktemp("readers")
    return {case: write_run(base / f"{case[0]}-v{case[1]}", *case) for case in CASES}


@dataclass
class Expected:
    """What a reader should find of one scan, from the run (None: not in the file)."""

    id: str
    tic: float | None
    base_mz: float | None
    base_intensity: np.float32 | None
    low: float | None
    high: float | None
    injection: np.float32 | None
    msn: bool
    precursor_mz: float | None
    ref: str | None
    energy: float | None


def expected_scans(run) -> list[Expected]:
    scans = []
    for s in run:
        peaks = len(s.mz) > 0
        top = int(np.argmax(s.intensity)) if peaks else 0
        energy = run.trailer(s.scan_number).get("Collision Energy")
        scans.append(Expected(
            s.native_id, float(s.intensity.sum(dtype=np.float64)) if peaks else None,
            float(s.mz[top]) if peaks else None, s.intensity[top] if peaks else None,
            float(s.mz.min()) if peaks else None, float(s.mz.max()) if peaks else None,
            np.float32(s.injection_time) if s.injection_time > 0 else None, s.ms_level >= 2,
            s.precursor_mz, f"scan={s.master_scan}" if s.ms_level >= 2 and s.master_scan else None,
            energy if s.ms_level >= 2 else None))
    return scans


@pytest.fixture(scope="module", params=CASES, ids=IDS)
def exported(request, runs):
    path = runs[request.param]
    mzml = path.with_name(path.stem + ".mzML")
    with kt.open_run(path) as run:
        write_mzml(run, mzml)
        return path, mzml, expected_scans(run)


def float32_or_none(value):
    return None if value is None else np.float32(value)


def read_pyteomics(path):
    from pyteomics import mzml

    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "Could not extract the embedded offset index", UserWarning)
        reader = mzml.PreIndexedMzML(str(path), cv=psi_ms_vocabulary())
    with reader:
        for s in reader:
            precursor = s.get("precursorList", {}).get("precursor", [None])[0]
            ions = (precursor or {}).get("selectedIonList", {}).get("selectedIon", [{}])
            yield Expected(
                s["id"], s.get("total ion current"), s.get("base peak m/z"),
                float32_or_none(s.get("base peak intensity")), s.get("lowest observed m/z"),
                s.get("highest observed m/z"), float32_or_none(s["scanList"]["scan"][0].get("ion injection time")),
                precursor is not None, ions[0].get("selected ion m/z"), (precursor or {}).get("spectrumRef"),
                (precursor or {}).get("activation", {}).get("collision energy"))


def read_pymzml(path):
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "(Cython PyNumpress|Plotly)", ImportWarning)
        warnings.filterwarnings("ignore", "Testing an element's truth value", DeprecationWarning)
        import pymzml

        with pymzml.run.Reader(str(path)) as reader:
            for s in reader:
                peaks = s["MS:1000285"] is not None
                ions = s.selected_precursors
                # pymzml tells no precursor element without a selected ion, nor its spectrumRef.
                yield Expected(
                    f"scan={s.ID}", s.TIC if peaks else None, s["MS:1000504"], float32_or_none(s["MS:1000505"]),
                    s["MS:1000528"], s["MS:1000527"], float32_or_none(s["MS:1000927"]), s.ms_level >= 2,
                    ions[0]["mz"] if ions else None, None, s["MS:1000045"])


def read_pyopenms(path):
    oms = pytest.importorskip("pyopenms")
    experiment = oms.MSExperiment()
    oms.MzMLFile().load(str(path), experiment)
    for s in experiment:
        def meta(holder, key):
            return holder.getMetaValue(key) if holder.metaValueExists(key) else None

        precursors, acquisition = s.getPrecursors(), s.getAcquisitionInfo()
        p = precursors[0] if precursors else None
        tic = meta(s, "total ion current")
        if tic is not None and abs(tic) < 1e30:  # junk peaks overflow its float32 sum
            assert s.calculateTIC() == pytest.approx(tic, rel=1e-6)  # its own sum, in float32
        yield Expected(
            s.getNativeID(), tic, meta(s, "base peak m/z"), float32_or_none(meta(s, "base peak intensity")),
            meta(s, "lowest observed m/z"), meta(s, "highest observed m/z"),
            float32_or_none(meta(acquisition[0], "MS:1000927") if acquisition.size() else None), p is not None,
            (p.getMZ() or None) if p else None, meta(p, "spectrum_ref") if p else None,
            (p.getActivationEnergy() or None) if p else None)


@pytest.mark.parametrize("read", [read_pyteomics, read_pymzml, read_pyopenms])
def test_readers_find_the_values_of_every_spectrum(exported, read, caplog):
    """TIC, base peak, observed m/z range (none without peaks), injection time, the
    precursor of every MSn scan (no m/z where the file holds none), its collision
    energy; and no reader logs a term it cannot find."""
    _, mzml, expected = exported
    with caplog.at_level(logging.WARNING):
        seen = list(read(mzml))
    assert not [r.getMessage() for r in caplog.records if "term not found" in r.getMessage()]
    assert [s.id for s in seen] == [e.id for e in expected]
    for got, want in zip(seen, expected):
        if read is read_pymzml:
            got.msn, got.ref = want.msn, want.ref
        assert got == want


FLOAT32_TERMS = ("MS:1000828", "MS:1000829", "MS:1000927", "MS:1000505")  # isolation offsets, injection, base peak
UNIT_VOCABULARIES = {"UO": "UO", "MS": "PSI-MS"}


def test_units_name_their_vocabulary_and_float32_values_print_shortest(exported):
    text = exported[1].read_text()
    units = re.findall(r'unitCvRef="([^"]+)" unitAccession="([A-Z]+):', text)
    assert units and all(ref == UNIT_VOCABULARIES[prefix] for ref, prefix in units)
    values = re.findall(r'accession="(MS:\d+)"[^>]* value="([^"]*)"', text)
    float32 = [value for accession, value in values if accession in FLOAT32_TERMS]
    digits = [len(re.sub(r"e.*|[-.]", "", value).strip("0")) for value in float32]
    assert max(digits, default=0) <= 9  # no float32 needs more to read back exactly


@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_mgf_holds_only_searchable_ms2_entries(runs, case, tmp_path_factory):
    matchms = pytest.importorskip("matchms.importing")
    from pyteomics import mgf

    path = runs[case]
    destination = tmp_path_factory.mktemp("mgf") / "run.mgf"
    with kt.open_run(path) as run:
        searchable = [s.native_id for s in run if s.ms_level == 2 and s.precursor_mz is not None]
        without = sum(s.ms_level == 2 and s.precursor_mz is None for s in run)
        if not searchable:
            with pytest.raises(NothingToWrite):
                write_mgf(run, destination)
            assert not destination.exists()
            return
        assert write_mgf(run, destination) == without
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with mgf.read(str(destination)) as reader:
            assert reader.header["com"].startswith("MS level 2 scans of ")
            assert [s["params"]["title"].split('NativeID:"')[1][:-1] for s in reader] == searchable
    spectra = list(matchms.load_from_mgf(str(destination)))
    assert len(spectra) == len(searchable) and all(s.get("precursor_mz") for s in spectra)


@pytest.mark.parametrize("format_name, flags, left_out", [
    ("mzml", [], 0),  # kept, with what the file holds of its precursor
    ("mzml", ["--require-precursor"], 1),
    ("mgf", [], 1),
])
def test_scans_without_a_precursor_left_out_and_counted(runs, tmp_path_factory, capsys, format_name, flags, left_out):
    path = runs[("orbitrap", 66)]
    outdir = tmp_path_factory.mktemp("out")
    assert main(["convert", str(path), "-o", str(outdir), "--to", format_name, "-j", "1", *flags]) == 0
    summary = capsys.readouterr().err
    assert ("1 MSn scans without a precursor m/z left out" in summary) == bool(left_out)
    output = next(outdir.iterdir()).read_text()
    assert ('"scan=14"' in output) == (not left_out)


def test_scan_frame_keeps_missing_integers(runs):
    with kt.open_run(runs[("orbitrap", 57)]) as run:
        table, frame = run.scan_table(), run.scan_frame()
    for name in ("precursor_charge", "master_scan"):
        assert str(frame[name].dtype).startswith("Int")
        assert [None if v is frame[name].dtype.na_value else int(v) for v in frame[name]] == table[name].to_pylist()
    assert frame["precursor_charge"].isna().any() and not frame["precursor_charge"].isna().all()


@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_a_search_engine_searches_both_exports(runs, case, tmp_path_factory):
    """Sage (sagepy) reads and searches the mzML and MGF of every run without an
    error; from the mzML it takes every MS2 scan holding a precursor m/z."""
    core = pytest.importorskip("sagepy.core")
    from sagepy.core.spectrum import read_processed_spectra

    directory = tmp_path_factory.mktemp("search")
    with kt.open_run(runs[case]) as run:
        searchable = sum(s.ms_level == 2 and s.precursor_mz is not None for s in run)
        write_mzml(run, directory / "run.mzML")
        if searchable:
            write_mgf(run, directory / "run.mgf")
    fasta = ">demo\nMKWVTFISLLLLFSSAYSRGVFRRDTHKSEIAHRFKDLGEEHFKGLVLIAFSQYLQQCPFDEHVK\n"
    enzyme = core.EnzymeBuilder(missed_cleavages=1, min_len=5, max_len=30, cleave_at="KR", restrict="P", c_terminal=True)
    database = core.SageSearchConfiguration(fasta=fasta, enzyme_builder=enzyme, bucket_size=8192).generate_indexed_database()
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "CAUTION! No", UserWarning)
        scorer = core.Scorer(precursor_tolerance=core.Tolerance(da=(-500, 500)), min_matched_peaks=1)
    for export in sorted(directory.iterdir()):
        spectra = read_processed_spectra(str(export))
        scorer.score_collection_psm(database, spectra, num_threads=1)
        assert all(s.precursors and s.precursors[0].mz > 0 for s in spectra)
        if export.suffix == ".mzML":
            assert len(spectra) == searchable
