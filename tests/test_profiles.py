"""The File profile: a run opened with a chosen profile reads its file exactly as the
reader reads a path of that profile, and a run its path gives the generic profile says
so."""

import pickle
import warnings

import pytest

np = pytest.importorskip("numpy")

import kestrune  # noqa: E402
import kestrune_tools as kt  # noqa: E402
from kestrune_tools import _native  # noqa: E402
from kestrune_tools.profiles import GenericProfileWarning, path_profile  # noqa: E402
from test_random_files import rich_file  # noqa: E402

# A name of each profile, and one that selects none.
PROFILE_NAMES = {"small": "run_small.RAW", "orbitrap": "run_orbitrap.raw", "generic": "run.raw"}
NEUTRAL_NAME = "sample01.raw"


def answers(reader):
    """Every member's answers for every scan, one past the last included."""
    scans = range(0, reader.num_scans + 2)
    return {
        "header": (reader.version, reader.num_scans, reader.creation_date),
        "spectra": reader.list_spectra(),
        "per_scan": [(reader.get_rt(s), reader.get_injection_time(s), reader.get_master_scan(s),
                      reader.get_charge_state(s), reader.get_monoisotopic_mz(s), reader.get_trailer_extra(s),
                      reader.native_get_peaks(s), [a.tobytes() for a in reader.get_peaks(s)]) for s in scans],
        "texts": (reader.get_instrument_method(0), reader.get_status_log_labels(), reader.get_error_logs()),
    }


@pytest.mark.parametrize("version", [57, 66, 100])
@pytest.mark.parametrize("profile", sorted(PROFILE_NAMES))
def test_a_chosen_profile_reads_as_a_path_of_that_profile(files, profile, version):
    raw = rich_file(version)
    named = kestrune.RawFileReader(raw.write(files / PROFILE_NAMES[profile]))
    chosen = _native.open_reader(raw.write(files / NEUTRAL_NAME), profile)
    assert type(chosen) is kestrune.RawFileReader
    # pickle keeps every float's bits, NaN included.
    assert pickle.dumps(answers(chosen)) == pickle.dumps(answers(named))
    chosen.initialize_caches()  # a rebuild keeps the chosen profile
    assert pickle.dumps(answers(chosen)) == pickle.dumps(answers(named))
    with kt.open_run(files / NEUTRAL_NAME, profile=profile) as run, \
            kt.open_run(files / PROFILE_NAMES[profile]) as by_name:
        assert run.profile == by_name.profile == profile
        passes = [r.scan_pass(r.scan_numbers, with_peaks=True) for r in (run, by_name)]
        assert pickle.dumps([p.peaks for p in passes]) == pickle.dumps([p.peaks for p in passes[::-1]])


@pytest.mark.parametrize("path, profile", [
    ("a/run_small.RAW", "small"), ("orbitrap/x.raw", "orbitrap"),
    ("a/run_Orbitrap.raw", "generic"), ("a/run_small.raw", "generic"), ("20231114_HeLa_QE_01.raw", "generic"),
])
def test_the_profile_of_a_path_is_the_readers(files, path, profile):
    assert path_profile(path) == profile
    (files / path).parent.mkdir(parents=True, exist_ok=True)
    rich_file(66).write(files / path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with kt.open_run(files / path) as run:
            expected = _native.open_reader(str(files / path), profile)
            assert run.profile == profile
            assert pickle.dumps(answers(run.reader)) == pickle.dumps(answers(expected))


@pytest.mark.parametrize("name, chosen, warned", [
    ("sample01.raw", None, True), ("sample01.raw", "generic", False), ("sample01.raw", "orbitrap", False),
    ("run_orbitrap.raw", None, False),
])
def test_the_run_warns_once_where_its_path_gave_the_generic_profile(files, name, chosen, warned):
    path = rich_file(66).write(files / name)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        kt.open_run(path, profile=chosen).close()
    messages = [str(w.message) for w in caught if issubclass(w.category, GenericProfileWarning)]
    assert len(messages) == int(warned)
    if warned:
        assert messages[0].startswith(f"{path}: read with the generic File profile") and "\n" not in messages[0]


@pytest.mark.parametrize("profile, error", [("Orbitrap", ValueError), ("", ValueError), (3, TypeError)])
def test_an_unknown_profile_is_refused(files, profile, error):
    path = rich_file(66).write(files / NEUTRAL_NAME)
    with pytest.raises(error):
        _native.open_reader(path, profile)
    if isinstance(profile, str):
        with pytest.raises(ValueError, match="unknown File profile"):
            kt.open_run(path, profile=profile)
