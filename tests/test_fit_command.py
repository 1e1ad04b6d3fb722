"""python -m corvid fit: a user's CSV file in, the fit's table, maps and engine files out."""

import numpy as np
import pytest

from corvid.__main__ import main
from corvid.meshkin_io import read_meshkin_file

pytest.importorskip("triangle")


def write_csv(path, header, rows):
    path.write_text(",".join(header) + "\n" + "".join(",".join(map(str, r)) + "\n" for r in rows))
    return str(path)


@pytest.fixture
def data(tmp_path):
    """300 noisy observations of a smooth surface plus a covariate's effect."""
    rng = np.random.default_rng(4)
    x, y, z = rng.uniform(0, 4, 300), rng.uniform(0, 2, 300), rng.normal(size=300)
    value = np.sin(x) + np.cos(2 * y) + 0.8 * z + 0.1 * rng.normal(size=300)
    return write_csv(tmp_path / "data.csv", ["x", "y", "z", "value"], zip(x, y, z, value))


def test_fit_writes_the_table_maps_and_engine_files(data, tmp_path, capsys):
    out = tmp_path / "out"
    status = main(["fit", data, "--x", "x", "--y", "y", "--value", "value", "--covariates", "z",
                   "--out", str(out), "--grid", "40", "30"])
    printed = capsys.readouterr()
    assert status == 0, printed.err
    assert "noise_sd" in printed.out and "z " in printed.out       # the table names the covariate
    assert "optimise" in printed.err                               # a progress line per step
    grid = np.load(out / "posterior_grid.npz")
    assert grid["mean"].shape == grid["sd"].shape == (30, 40)
    assert grid["x"][[0, -1]].tolist() == pytest.approx([0, 4], abs=0.05)
    inside = np.isfinite(grid["mean"])
    assert inside.mean() > 0.8 and np.all(grid["sd"][inside] > 0)
    # The covariate's effect is recovered, and the mean follows the surface.
    line = next(l for l in printed.out.splitlines() if l.startswith("z "))
    assert float(line.split()[1]) == pytest.approx(0.8, abs=0.05)
    for suffix in ["M0", "M1", "M2", "B0", "B1", "B2", "BLC"]:
        assert read_meshkin_file(str(out / "model" / f"gfield.{suffix}")).shape[0] > 0
    assert (out / "posterior.png").read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize("change, message", [
    (lambda p: str(p.parent / "absent.csv"), "no such file"),
    (lambda p: write_csv(p, ["x", "y"], [(1, 2)] * 20), "has no column 'value'"),
    (lambda p: write_csv(p, ["x", "y", "value"], [(1, 2, 3)] * 12 + [(1, "two", 3)]),
     "line 14, column 'y': 'two' is not a number"),
    (lambda p: write_csv(p, ["x", "y", "value"], [(1, 2, 3)] * 5 + [(1, 2, "")]),
     "line 7, column 'value': an empty cell is not a number"),
    (lambda p: write_csv(p, ["x", "y", "value"], [(1, 2, "inf")] * 12), "not a finite number"),
    (lambda p: write_csv(p, ["x", "y", "value"], [(i, i % 3, i) for i in range(9)]),
     "has 9 data row(s); at least 10 are needed"),
    (lambda p: write_csv(p, ["x", "y", "value"], [(1, 1, i) for i in range(20)]),
     "all locations are the same point"),
])
def test_bad_input_is_one_line_and_status_2(tmp_path, capsys, change, message):
    path = change(tmp_path / "bad.csv")
    status = main(["fit", path, "--x", "x", "--y", "y", "--value", "value", "--out",
                   str(tmp_path / "out")])
    err = capsys.readouterr().err.strip().splitlines()
    assert status == 2
    assert err[-1].startswith("python -m corvid fit: error: ") and message in err[-1]
    assert not (tmp_path / "out").exists()


def exit_status(argv):
    try:
        return main(argv)
    except SystemExit as exc:  # argparse's refusals
        return exc.code


@pytest.mark.parametrize("argv", [
    ["--max-edge", "-1"], ["--max-edge", "1", "2", "3"], ["--grid", "1", "5"],
    ["--prior-range", "1", "2"], ["--covariates", "x"],
])
def test_bad_options_exit_with_status_2(data, tmp_path, capsys, argv):
    status = exit_status(["fit", data, "--x", "x", "--y", "y", "--value", "value",
                          "--out", str(tmp_path / "out"), *argv])
    assert status == 2
    assert capsys.readouterr().err.strip().splitlines()[-1].startswith("python -m corvid fit: error: ")
