"""The same per-file tasks on a Dask cluster give the same bytes as a serial run."""

from __future__ import annotations

import pytest

pytest.importorskip("numpy")
pytest.importorskip("pyarrow")
distributed = pytest.importorskip("distributed")

from export_runs import write_run
from kestrune_tools.cli import main


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        yield cluster


def contents(folder):
    """The outputs' bytes, without the hidden records (they name each output's own inode)."""
    return {path.name: path.read_bytes() for path in sorted(folder.iterdir()) if not path.name.startswith(".")}


@pytest.mark.parametrize("format_name", ["parquet", "mgf", "mzml"])
def test_cluster_outputs_are_byte_identical_to_serial_ones(files, cluster, format_name):
    if format_name == "mzml":
        pytest.importorskip("psims")  # its files hold no write time: they compare whole
    names = {"orbitrap": "r{}_orbitrap.raw", "small": "r{}small.RAW", "generic": "r{}.raw"}  # name = profile
    for k, (profile, version) in enumerate([("orbitrap", 66), ("orbitrap", 57), ("small", 66), ("generic", 57)] * 2):
        write_run(files / "in", profile, version, names[profile].format(k))
    arguments = ["convert", str(files / "in"), "--to", format_name, "--no-progress"]
    # The small and generic runs hold no MS2 scan for an MGF: nothing to write, no failure.
    assert main([*arguments, "-o", str(files / "serial"), "-j", "1"]) == 0
    assert main([*arguments, "-o", str(files / "cluster"), "--scheduler", cluster.scheduler_address]) == 0
    assert contents(files / "cluster") == contents(files / "serial")
    assert len(contents(files / "serial")) == {"parquet": 16, "mgf": 4, "mzml": 8}[format_name]


def test_cluster_catalog_is_byte_identical_to_serial_one(files, cluster):
    for k in range(6):
        write_run(files / "in", "orbitrap", 66 if k % 2 else 57, f"r{k}_orbitrap.raw")
    arguments = ["catalog", str(files / "in"), "--no-progress"]
    assert main([*arguments, "-o", str(files / "serial.parquet"), "-j", "1"]) == 0
    assert main([*arguments, "-o", str(files / "cluster.parquet"), "--scheduler", cluster.scheduler_address]) == 0
    assert (files / "cluster.parquet").read_bytes() == (files / "serial.parquet").read_bytes()
