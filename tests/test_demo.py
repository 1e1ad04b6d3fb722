"""The demo job end to end, at small sizes."""

import os
import re
import subprocess
import sys

import numpy as np
import pytest

from corvid.__main__ import main
from corvid.meshkin_io import read_meshkin_file

SMALL = ["--max-edge", "2", "--n-obs", "200", "--grid", "30", "20", "--seed", "3"]


def test_demo_writes_model_files_fits_the_simulated_data_and_draws(tmp_path, capsys, monkeypatch):
    monkeypatch.delenv("QUILL_BIN", raising=False)
    out = tmp_path / "run"
    assert main(["demo", "--out", str(out), *SMALL]) == 0
    captured = capsys.readouterr()
    printed = captured.out
    assert "longitude and latitude" not in captured.err   # its region is planar
    n = int(re.search(r"study region with a lake, buffer 4 wide: (\d+) vertices", printed).group(1))
    assert 100 < n < 1000
    for suffix in ["M0", "M1", "M2", "B0", "B1", "B2", "BLC"]:
        matrix = read_meshkin_file(str(out / "model" / f"gfield.{suffix}"))
        assert matrix.shape[0] == (6 if suffix == "BLC" else n)
    assert np.load(out / "field_sample.npy").shape == (n,)
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert "pip install 'corvid[plot]'" in printed
    else:
        assert (out / "fit.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "Time per step" in printed and "engine" in printed
    # Truth against estimate, one row per hyperparameter and the intercept.
    table = {line.split()[0]: line.split() for line in printed.splitlines()
             if line.strip().split(" ")[0] in ("range", "sigma", "noise_sd", "intercept")}
    assert set(table) == {"range", "sigma", "noise_sd", "intercept"}
    assert float(table["noise_sd"][1]) == 0.3 and table["noise_sd"][-1] in ("yes", "no")


@pytest.mark.parametrize("argv", [
    ["demo", "--n-obs", "-1"],
    ["demo", "--noise-sd", "0"],
    ["demo", "--prior-range", "3", "1.5"],
    ["demo", "--max-edge", "zero"],
    ["demo", "--offset", "-1"],
    ["demo", "--grid", "1", "10"],
])
def test_bad_arguments_exit_with_status_2_and_one_line(argv):
    result = subprocess.run([sys.executable, "-m", "corvid", *argv], capture_output=True, text=True)
    assert result.returncode == 2
    assert result.stderr.strip().splitlines()[-1].startswith("python -m corvid demo: error: argument")


def test_help_describes_the_demo():
    result = subprocess.run([sys.executable, "-m", "corvid", "demo", "--help"], capture_output=True, text=True)
    assert result.returncode == 0 and "--n-obs" in result.stdout and "PNG" in result.stdout


def test_output_directory_that_is_a_file_is_a_one_line_error(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    result = subprocess.run([sys.executable, "-m", "corvid", "demo", "--out", str(blocker), *SMALL],
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 2  # refused before any work, as bad input
    assert result.stderr.strip().startswith("python -m corvid demo: error:")
    assert os.path.isfile(blocker)


def test_observation_locations_lie_in_the_region_and_not_in_the_lake():
    pytest.importorskip("triangle")
    Path = pytest.importorskip("matplotlib.path").Path

    from corvid.demo import LAKE, STUDY_REGION, DemoSettings, _points_in_region
    from corvid.meshkin.regions import region_mesh

    defaults = DemoSettings(out="unused")
    mesh = region_mesh(STUDY_REGION, holes=[LAKE], max_edge=(defaults.max_edge, 2.5 * defaults.max_edge),
                       offset=defaults.offset)
    assert 2500 < mesh.n < 3500
    points = _points_in_region(np.random.default_rng(0), mesh, 2000)
    assert Path(STUDY_REGION).contains_points(points).all()
    assert not Path(LAKE).contains_points(points).any()
