"""The exports as the field's readers and a search engine take them, on every File
profile and version, with MSn scans without a precursor m/z and scans without peaks."""

import logging
import re
import sys
import warnings

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("psims")

import kestrune_tools as kt  # noqa: E402
from export_runs import CASES, write_run  # noqa: E402
from kestrune_tools.cli import main  # noqa: E402
from kestrune_tools.mgf import NothingToWrite, write_mgf  # noqa: E402
from kestrune_tools._reference import lane_sum  # noqa: E402
from kestrune_tools.mzml import float32_text, psi_ms_vocabulary, write_mzml  # noqa: E402

IDS = [f"{profile}-v{version}" for profile, version in CASES]


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    base = tmp_path_factory.mktemp("readers")
    return {case: write_run(base / f"{case[0]}-v{case[1]}", *case) for case in CASES}


def expected_scans(run):
    """Per scan: its peaks' TIC (summed in the run's defined order), base peak, lowest and highest m/z; the injection time;
    every MSn scan's precursor m/z, master spectrum and collision energy (None: none held)."""
    # An m/z the file holds as a 32-bit float is written as one: a reader reads back its shortest text.
    as_written = (lambda mz: float(float32_text(mz))) if run.narrow_mz else (lambda mz: mz)
    for s in run:
        top = int(np.argmax(s.intensity)) if len(s.mz) else None
        peaks = None if top is None else (lane_sum(s.intensity), as_written(s.mz[top]), s.intensity[top],
                                          as_written(s.mz.min()), as_written(s.mz.max()))
        yield {"id": s.native_id, "injection": np.float32(s.injection_time) if s.injection_time > 0 else None,
               "peaks": peaks,
               "precursor": (s.precursor_mz, f"scan={s.master_scan}", run.trailer(s.scan_number).get("Collision Energy"))
               if s.ms_level >= 2 else None}


@pytest.fixture(scope="module", params=CASES, ids=IDS)
def exported(request, runs):
    path = runs[request.param]
    with kt.open_run(path) as run:
        write_mzml(run, path.with_name("run.mzML"))
        return path.with_name("run.mzML"), list(expected_scans(run))


def peak_values(get, *keys):
    values = [get(key) for key in keys]
    return None if values[0] is None else (*values[:2], np.float32(values[2]), *values[3:])


def f32(value):
    return None if value is None else np.float32(value)


def read_pyteomics(path):
    mzml = pytest.importorskip("pyteomics.mzml")

    with warnings.catch_warnings():  # its one-read parse of a short offset index fails; it indexes itself
        warnings.filterwarnings("ignore", "Could not extract the embedded offset index", UserWarning)
        reader = mzml.PreIndexedMzML(str(path), cv=psi_ms_vocabulary())
    with reader:
        for s in reader:
            p = s.get("precursorList", {}).get("precursor", [None])[0]
            ion = p.get("selectedIonList", {}).get("selectedIon", [{}])[0] if p else {}
            yield {"id": s["id"], "injection": f32(s["scanList"]["scan"][0].get("ion injection time")),
                   "peaks": peak_values(s.get, "total ion current", "base peak m/z", "base peak intensity",
                                        "lowest observed m/z", "highest observed m/z"),
                   "precursor": (ion.get("selected ion m/z"), p.get("spectrumRef"), p["activation"].get("collision energy"))
                   if p else None}


def read_pymzml(path):
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "(Cython PyNumpress|Plotly)", ImportWarning)
        warnings.filterwarnings("ignore", "Testing an element's truth value", DeprecationWarning)
        pymzml = pytest.importorskip("pymzml")

        with pymzml.run.Reader(str(path)) as reader:  # it tells no precursor without a selected ion
            for s in reader:
                values = peak_values(s.get, "MS:1000285", "MS:1000504", "MS:1000505", "MS:1000528", "MS:1000527")
                assert values is None or s.TIC == values[0]
                yield {"id": f"scan={s.ID}", "injection": f32(s["MS:1000927"]), "peaks": values}


def read_pyopenms(path):
    oms = pytest.importorskip("pyopenms")
    oms.MzMLFile().load(str(path), experiment := oms.MSExperiment())
    for s in experiment:
        acquisition, p = s.getAcquisitionInfo()[0], next(iter(s.getPrecursors()), None)
        values = peak_values(lambda key: s.getMetaValue(key) if s.metaValueExists(key) else None, "total ion current",
                             "base peak m/z", "base peak intensity", "lowest observed m/z", "highest observed m/z")
        assert values is None or abs(values[0]) > 1e30 or s.calculateTIC() == pytest.approx(values[0], rel=1e-6)
        yield {"id": s.getNativeID(), "peaks": values,
               "injection": f32(acquisition.getMetaValue("MS:1000927") if acquisition.metaValueExists("MS:1000927") else None),
               "precursor": (p.getMZ() or None, p.getMetaValue("spectrum_ref"), p.getActivationEnergy() or None) if p else None}


@pytest.mark.parametrize("read", [read_pyteomics, read_pymzml, read_pyopenms])
def test_readers_find_the_values_of_every_spectrum(exported, read, caplog):
    mzml, expected = exported
    with caplog.at_level(logging.WARNING):
        seen = list(read(mzml))
    assert not [r for r in caplog.records if "term not found" in r.getMessage()]
    assert [{key: e[key] for key in s} for e, s in zip(expected, seen)] == seen and len(seen) == len(expected)


FLOAT32_TERMS = ("MS:1000828", "MS:1000829", "MS:1000927", "MS:1000505")  # isolation offsets, injection, base peak
UNIT_VOCABULARIES = {"UO": "UO", "MS": "PSI-MS"}


def test_units_name_their_vocabulary_and_float32_values_print_shortest(exported):
    from psims.validation import validator

    oms = pytest.importorskip("pyopenms")
    assert validator.validate(str(exported[0]))[0]  # precursors without a selected ion among them
    assert oms.MzMLFile().isSemanticallyValid(str(exported[0])) == (True, [], [])
    text = exported[0].read_text()
    units = re.findall(r'unitCvRef="([^"]+)" unitAccession="([A-Z]+):', text)
    assert units and all(ref == UNIT_VOCABULARIES[prefix] for ref, prefix in units)
    values = re.findall(r'accession="(MS:\d+)"[^>]* value="([^"]*)"', text)
    digits = [len(re.sub(r"e.*|[-.]", "", value).strip("0")) for term, value in values if term in FLOAT32_TERMS]
    assert max(digits, default=0) <= 9  # no float32 needs more to read back exactly


@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_mgf_holds_only_searchable_ms2_entries(runs, case, tmp_path_factory):
    matchms = pytest.importorskip("matchms.importing")
    mgf = pytest.importorskip("pyteomics.mgf")

    destination = tmp_path_factory.mktemp("mgf") / "run.mgf"
    with kt.open_run(runs[case]) as run:
        searchable = [s.native_id for s in run if s.ms_level == 2 and s.precursor_mz is not None]
        without = sum(s.ms_level == 2 and s.precursor_mz is None for s in run)
        if not searchable:
            pytest.raises(NothingToWrite, write_mgf, run, destination)
            assert not destination.exists()
            return
        assert write_mgf(run, destination) == without
    with warnings.catch_warnings(), mgf.read(str(destination)) as reader:
        warnings.simplefilter("error")
        assert reader.header["com"] == "MS level 2 scans, File profile orbitrap, written by kestrune"
        assert [s["params"]["title"].split('NativeID:"')[1][:-1] for s in reader] == searchable
    spectra = list(matchms.load_from_mgf(str(destination)))
    assert len(spectra) == len(searchable) and all(s.get("precursor_mz") for s in spectra)


@pytest.mark.parametrize("format_name, flags, left_out", [
    ("mzml", [], False),  # kept, with what the file holds of its precursor
    ("mzml", ["--require-precursor"], True),
    ("mgf", [], True),
])
def test_scans_without_a_precursor_left_out_and_counted(runs, tmp_path_factory, capsys, format_name, flags, left_out):
    outdir = tmp_path_factory.mktemp("out")
    assert main(["convert", str(runs[("orbitrap", 66)]), "-o", str(outdir), "--to", format_name, "-j", "1", *flags]) == 0
    assert ("1 MSn scans without a precursor m/z left out" in capsys.readouterr().err) == left_out
    (output,) = (path for path in outdir.iterdir() if not path.name.startswith("."))
    assert ('"scan=14"' in output.read_text()) != left_out


def test_scan_frame_keeps_missing_integers(runs, monkeypatch):
    pytest.importorskip("pandas")
    with kt.open_run(runs[("orbitrap", 57)]) as run:
        table, frame = run.scan_table(), run.scan_frame()
        monkeypatch.setitem(sys.modules, "pandas", None)
        with pytest.raises(ImportError, match="pip install pandas"):
            run.scan_frame()
    for name in ("precursor_charge", "master_scan"):
        assert frame[name].dtype.name.startswith("Int") and frame[name].isna().any()
        assert [None if v is frame[name].dtype.na_value else v for v in frame[name]] == table[name].to_pylist()


@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_a_search_engine_searches_both_exports(runs, case, tmp_path_factory):
    """sagepy reads and searches both exports; from the mzML, every MS2 scan with a precursor m/z."""
    core = pytest.importorskip("sagepy.core")
    from sagepy.core.spectrum import read_processed_spectra

    directory = tmp_path_factory.mktemp("search")
    with kt.open_run(runs[case]) as run:
        searchable = sum(s.ms_level == 2 and s.precursor_mz is not None for s in run)
        write_mzml(run, directory / "run.mzML")
        if searchable:
            write_mgf(run, directory / "run.mgf")
    enzyme = core.EnzymeBuilder(missed_cleavages=1, min_len=5, max_len=30, cleave_at="KR", restrict="P", c_terminal=True)
    fasta = ">demo\nMKWVTFISLLLLFSSAYSRGVFRRDTHKSEIAHRFKDLGEEHFKGLVLIAFSQYLQQCPFDEHVK\n"
    database = core.SageSearchConfiguration(fasta=fasta, enzyme_builder=enzyme).generate_indexed_database()
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "CAUTION! No", UserWarning)
        scorer = core.Scorer(precursor_tolerance=core.Tolerance(da=(-500, 500)), min_matched_peaks=1)
    for export in sorted(directory.iterdir()):
        spectra = read_processed_spectra(str(export))
        scorer.score_collection_psm(database, spectra, num_threads=1)
        assert all(s.precursors[0].mz > 0 for s in spectra)
        assert export.suffix != ".mzML" or len(spectra) == searchable
