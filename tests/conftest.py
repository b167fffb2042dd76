import pytest

import kestrune
from kestrune_tools.synthetic import RawFile


@pytest.fixture
def files(tmp_path_factory):
    """A directory whose path selects no File profile by itself.

    pytest's tmp_path holds the test's name, and a test name with "orbitrap" in it
    would silently turn every file written there into an orbitrap-profile file.
    """
    return tmp_path_factory.mktemp("kr")


@pytest.fixture
def open_raw(files):
    """Writes a RawFile under the given file name and opens a reader on it."""

    def open_raw(raw: RawFile, name: str = "plain.raw"):
        return kestrune.RawFileReader(raw.write(files / name))

    return open_raw
