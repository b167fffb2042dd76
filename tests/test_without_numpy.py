"""The reader without NumPy installed: everything but get_peaks works."""

import importlib.util

import pytest

from kestrune_tools.synthetic import demo_file

if importlib.util.find_spec("numpy") is not None:
    pytest.skip("NumPy is installed; this file checks the reader without it", allow_module_level=True)

import kestrune  # noqa: E402
from helpers import panics  # noqa: E402


def test_everything_but_get_peaks_works_without_numpy(files):
    import sys

    reader = kestrune.RawFileReader(demo_file().write(files / "demo_orbitrap.raw"))
    mz, intensity = reader.native_get_peaks(1)
    assert len(mz) == len(intensity) > 0
    assert len(reader.list_spectra()) == 145
    assert reader.get_trailer_extra(2)["MS Order"] == 2
    for attempt in range(2):
        error = panics(lambda: reader.get_peaks(1))
        assert str(error).startswith("Failed to access NumPy array API capsule")
    assert "numpy" not in sys.modules


@pytest.mark.parametrize("arguments", [["--help"], ["info", "--help"], ["convert", "--help"], ["serve", "--help"]])
def test_the_command_line_explains_itself_without_numpy(arguments, capsys):
    from kestrune_tools.cli import main

    with pytest.raises(SystemExit) as done:
        main(arguments)
    assert done.value.code == 0 and "usage: kestrune" in capsys.readouterr().out


@pytest.mark.parametrize("arguments", [["info", "{run}"], ["convert", "{run}", "-o", "{out}", "--to", "mgf"],
                                       ["catalog", "{run}", "-o", "{out}/catalog.parquet"]])
def test_the_commands_name_the_extra_they_need(files, capsys, arguments):
    from kestrune_tools.cli import main

    run = demo_file().write(files / "run_orbitrap.raw")
    assert main([word.format(run=run, out=files / "out") for word in arguments]) == 2
    assert capsys.readouterr().err == f"kestrune {arguments[0]}: error: {arguments[0]} needs NumPy and pyarrow: " \
                                      "pip install 'kestrune[tools]'\n"
