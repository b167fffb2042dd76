"""mzML export, read back by the field's readers and compared with RawFileReader."""

import hashlib
import os
import re
import warnings

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("psims")
pyteomics_mzml = pytest.importorskip("pyteomics.mzml")
oms = pytest.importorskip("pyopenms")
with warnings.catch_warnings():  # pymzml warns at import about its optional speed-ups and plots
    warnings.filterwarnings("ignore", "(Cython PyNumpress|Plotly)", ImportWarning)
    pymzml = pytest.importorskip("pymzml")

import kestrune  # noqa: E402
import kestrune_tools as kt  # noqa: E402
import kestrune_tools.synthetic as sr  # noqa: E402
from kestrune_tools.mzml import MzmlOptions, psi_ms_vocabulary, write_mzml  # noqa: E402
from psims.validation import validator  # noqa: E402

NAMES = {"orbitrap": "run_orbitrap.raw", "small": "run_small.RAW", "generic": "run_plain.raw"}
RUNS = [("orbitrap", 66, False), ("orbitrap", 57, True), ("small", 57, False), ("small", 66, True),
        ("generic", 57, False), ("generic", 66, False)]  # (profile, version, zlib)


def acquisition(profile, version):
    """Survey scans each followed by three fragment scans, laid out for the profile."""
    if (profile, version) == ("orbitrap", 66):
        return sr.with_demo_texts(sr.demo_file())
    raw, count = sr.RawFile().header(version=version), sr.scan_count(version)
    block, head = (sr.wide_block, 64) if version == 66 else (sr.narrow_block, 190)
    if profile == "orbitrap":
        raw.at_least(sr.orbitrap_minimum_length(version)).orbitrap_index([2600] * count, [0.2 + 0.05 * k for k in range(count)])
        for scan in range(1, count + 1):
            survey = (scan - 1) % 4 == 0
            raw.put(sr.ORBITRAP_FIRST_SCAN_AT + 2600 * (scan - 1) + head, block(*sr.demo_peaks(scan, survey)))
            raw.trailer(scan, sr.Trailer(master_scan=0 if survey else scan - (scan - 1) % 4,
                                         monoisotopic_mz=0.0 if survey else 400.0 + scan, charge=scan % 3))
    elif profile == "small":
        for k, offset in enumerate((0,) + sr.SMALL_SCAN_OFFSETS):  # scans past the tenth start at 0
            raw.put(offset + head if offset else 190, block(*(p[:15] for p in sr.demo_peaks(k, k % 2 == 0))))
        for scan in range(1, count + 1):
            raw.small_retention_time(scan, 0.1 * scan).small_block(scan, 25.0)
    return raw


@pytest.fixture(scope="module", params=RUNS, ids=lambda run: f"{run[0]}-v{run[1]}{'-zlib' if run[2] else ''}")
def exported(request, tmp_path_factory):
    profile, version, zlib = request.param
    path = acquisition(profile, version).write(tmp_path_factory.mktemp("kr") / NAMES[profile])
    with kt.open_run(path) as run:
        write_mzml(run, f"{path}.mzML", MzmlOptions(compression=zlib))
    return path, f"{path}.mzML"


def expected_scans(path):
    """(native ID, MS level, rt in minutes, m/z, intensity, precursor) from the reader."""
    reader = kestrune.RawFileReader(path)
    with kt.open_run(path) as run:
        levels = run.ms_levels().tolist()
    for scan, level in enumerate(levels, 1):
        mz, intensity = reader.get_peaks(scan)
        mz, intensity = (mz[:0], intensity[:0]) if len(mz) == 1 else (mz, intensity)
        monoisotopic, charge = reader.get_monoisotopic_mz(scan), reader.get_charge_state(scan)
        precursor = (monoisotopic, charge or None) if level > 1 and monoisotopic > 0 else None
        yield f"scan={scan}", level, reader.get_rt(scan), mz, intensity, precursor


def pyteomics_reader(path):
    # pyteomics parses the embedded offset index in one read of lxml's; an index shorter
    # than that read (every file here) fails to parse and pyteomics indexes the file
    # itself instead, with this warning. test_embedded_index checks our index.
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "Could not extract the embedded offset index", UserWarning)
        return pyteomics_mzml.PreIndexedMzML(os.fspath(path), cv=psi_ms_vocabulary())


def read_pyteomics(path):
    with pyteomics_reader(path) as reader:
        scans = []
        for s in reader.iterfind("spectrum"):
            start = s["scanList"]["scan"][0]["scan start time"]
            assert start.unit_info == "minute"
            ion = s["precursorList"]["precursor"][0]["selectedIonList"]["selectedIon"][0] if "precursorList" in s else None
            precursor = (ion["selected ion m/z"], ion.get("charge state")) if ion else None
            scans.append((s["id"], s["ms level"], start, s["m/z array"], s["intensity array"], precursor))
        chromatograms = {c["id"]: (c["time array"], c["intensity array"]) for c in reader.iterfind("chromatogram")}
    return scans, chromatograms


def read_pymzml(path):
    # Python 3.12's ElementTree warns where pymzml tests an element's truth; that is
    # pymzml's own code, and the answers it reads are compared below all the same.
    with warnings.catch_warnings(), pymzml.run.Reader(path) as reader:
        warnings.filterwarnings("ignore", "Testing an element's truth value", DeprecationWarning, "pymzml")
        scans = [(f"scan={s.ID}", s.ms_level, s.scan_time_in_minutes(), s.mz, s.i,
                  next(((p["mz"], p.get("charge")) for p in s.selected_precursors), None)) for s in reader]
        chromatograms = {name: pymzml_chromatogram(reader, name) for name in ("TIC", "BPC")}
    return scans, chromatograms


def pymzml_chromatogram(reader, name):
    # A lookup by id opens the file once more and leaves that handle to the collector.
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "unclosed file", ResourceWarning)
        chromatogram = reader[name]
    return chromatogram.time, chromatogram.i


def read_pyopenms(path):
    oms.MzMLFile().load(path, experiment := oms.MSExperiment())
    scans = [(s.getNativeID(), s.getMSLevel(), s.getRT() / 60, *s.get_peaks(),
              next(((p.getMZ(), p.getCharge() or None) for p in s.getPrecursors()), None)) for s in experiment]
    chromatograms = {c.getNativeID(): (c.get_peaks()[0] / 60, c.get_peaks()[1]) for c in experiment.getChromatograms()}
    return scans, chromatograms


@pytest.mark.parametrize("read", [read_pyteomics, read_pymzml, read_pyopenms])
def test_readers_see_what_the_reader_sees(exported, read):
    scans, chromatograms = read(exported[1])
    expected = list(expected_scans(exported[0]))
    assert [s[:2] for s in scans] == [e[:2] for e in expected]
    assert [s[2] for s in scans] == pytest.approx([e[2] for e in expected], rel=1e-15)
    for seen, wanted in zip(scans, expected):
        assert not len(seen[3]) or (seen[3].dtype, seen[4].dtype) == (np.float64, np.float32)
        assert seen[3].tobytes() == wanted[3].tobytes() and seen[4].tobytes() == wanted[4].tobytes()
        assert seen[5] == wanted[5]
    tic, bpc = ([e[4].sum(dtype=np.float64) for e in expected], [e[4].max(initial=0.0) for e in expected])
    for name, values in (("TIC", tic), ("BPC", bpc)):
        rt, intensity = chromatograms[name]
        assert list(rt) == pytest.approx([e[2] for e in expected], rel=1e-7)  # pyopenms keeps float32 seconds
        assert intensity.tolist() == np.array(values, dtype=intensity.dtype).tolist()  # and float32 intensities


def test_schema_and_semantic_validation(exported):
    assert validator.validate(exported[1])[0]
    assert oms.MzMLFile().isSemanticallyValid(exported[1]) == (True, [], [])


def test_embedded_index_and_checksums(exported):
    """The offset index points at each element's start tag; the checksums are the files'."""
    with open(exported[1], "rb") as out, open(exported[0], "rb") as source:
        data, source_bytes = out.read(), source.read()
    index_at = int(re.search(rb"<indexListOffset>(\d+)<", data)[1])
    assert data[index_at:].startswith(b"<indexList ")
    for kind, body in re.findall(rb'<index name="(\w+)">(.*?)</index>', data, re.S):
        for ref, offset in re.findall(rb'<offset idRef="([^"]+)">(\d+)<', body):
            assert re.match(rb"<%s [^>]*id=\"%s\"" % (kind, re.escape(ref)), data[int(offset):])
    file_checksum = re.search(rb"<fileChecksum>(\w+)<", data)
    assert file_checksum[1].decode() == hashlib.sha1(data[: file_checksum.start() + len(b"<fileChecksum>")]).hexdigest()
    assert f'name="SHA-1" value="{hashlib.sha1(source_bytes).hexdigest()}"'.encode() in data
    assert f'name="{os.path.basename(exported[0])}"'.encode() in data


def test_mz_values_in_the_precision_the_file_holds_them(exported):
    """Base peak, lowest and highest m/z of a file whose records hold 32-bit m/z are
    their shortest 32-bit texts; of 64-bit m/z, their shortest 64-bit ones."""
    from kestrune_tools.mzml import float32_text, float64_text

    mz_text = float32_text if kestrune.RawFileReader(os.fspath(exported[0])).version == 57 else float64_text
    with open(exported[1], encoding="utf-8") as out:
        params = re.findall(r'<cvParam [^>]*accession="MS:10005(?:04|27|28)"[^>]*>', out.read())
    values = [re.search(r'value="([^"]+)"', param)[1] for param in params]
    assert all(value == mz_text(float(value)) for value in values)


@pytest.mark.parametrize("options, ms_level", [
    (MzmlOptions(), None),
    (MzmlOptions(polarity="negative", spectrum_type="profile", compression=True), 2),
    (MzmlOptions(polarity="positive"), 1),
])
def test_options_and_ms_level(files, options, ms_level):
    """Only the scans asked for; the options' terms on each; references only to spectra
    in the same file; the same bytes twice; nothing beside the destination."""
    raw = sr.demo_file().write(files / "demo_orbitrap.raw")
    first, second = files / "out" / "first.part", files / "second.part"
    first.parent.mkdir()
    with kt.open_run(raw) as run:
        write_mzml(run, first, options, ms_level=ms_level)
        write_mzml(run, second, options, ms_level=ms_level)
        levels = run.ms_levels().tolist()
    assert os.listdir(first.parent) == ["first.part"] and first.read_bytes() == second.read_bytes()
    with pyteomics_reader(first) as reader:
        spectra, chromatograms = list(reader), list(reader.iterfind("chromatogram"))
    assert [s["id"] for s in spectra] == [f"scan={n}" for n, level in enumerate(levels, 1) if ms_level in (None, level)]
    assert [len(c["time array"]) for c in chromatograms] == [len(spectra)] * 2
    for spectrum in spectra:
        assert ("positive scan" in spectrum, "negative scan" in spectrum) == (options.polarity == "positive", options.polarity == "negative")
        assert f"{options.spectrum_type} spectrum" in spectrum
        for precursor in spectrum.get("precursorList", {}).get("precursor", []):
            assert precursor.get("spectrumRef") == (None if ms_level else f"scan={spectrum['index'] // 4 * 4 + 1}")
            assert {"beam-type collision-induced dissociation", "collision energy"} <= precursor["activation"].keys()


@pytest.mark.parametrize("options", [{"polarity": "neutral"}, {"polarity": "+"}, {"spectrum_type": "Centroid"}])
def test_options_refuse_unknown_words(options):
    with pytest.raises(ValueError, match=next(iter(options))):
        MzmlOptions(**options)


@pytest.mark.parametrize("creation_time, start", [
    (133_444_736_000_000_000, b'startTimeStamp="2023-11-14T22:13:20Z"'),
    (0, None),  # no creation time stored
    (2**64 - 1, None),  # past year 9999: no date, and no failure
])
def test_start_time_from_the_header(files, creation_time, start):
    raw = sr.RawFile().header(version=66, creation_time=creation_time).write(files / "plain.raw")
    with kt.open_run(raw) as run:
        write_mzml(run, files / "plain.mzML")
    data = (files / "plain.mzML").read_bytes()
    assert (start in data) if start else b"startTimeStamp" not in data
    assert validator.validate(str(files / "plain.mzML"))[0]
