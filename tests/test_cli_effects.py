"""python -m corvid fit with effects: a field per year, an intercept per vessel and a smooth
depth effect from the file's columns, and the maps with a time dimension."""

import numpy as np
import pytest

from corvid.__main__ import main

pytest.importorskip("triangle")


def write_csv(path, header, rows):
    path.write_text(",".join(header) + "\n" + "".join(",".join(map(str, r)) + "\n" for r in rows))
    return str(path)


def survey_rows(n=160, seed=5):
    rng = np.random.default_rng(seed)
    x, y = rng.uniform(0, 4, n), rng.uniform(0, 2, n)
    year = rng.choice([2003, 2004, 2006], n)
    vessel = rng.choice(["Aurora", "Boreas", "Cygnus"], n)
    depth = rng.uniform(20, 200, n)
    count = rng.poisson(np.exp(0.5 + np.sin(x) + 0.2 * (year - 2004) + np.sin(depth / 60)))
    return list(zip(x, y, count, year, vessel, depth))


HEADER = ["x", "y", "count", "year", "vessel", "depth"]
BASE = ["--x", "x", "--y", "y", "--value", "count", "--family", "poisson", "--max-edge", "0.8",
        "--grid", "24", "12", "--quiet", "--no-integrate"]


def test_a_survey_fit_writes_a_map_per_year(tmp_path, capsys):
    pytest.importorskip("rasterio")
    xr = pytest.importorskip("xarray")
    data = write_csv(tmp_path / "survey.csv", HEADER, survey_rows())
    out = tmp_path / "out"
    status = main(["fit", data, *BASE, "--time", "year", "--spacetime", "rw", "--group", "vessel",
                   "--smooth", "depth", "--out", str(out)])
    printed = capsys.readouterr()
    assert status == 0, printed.err
    for words in ("st_range", "vessel_sd", "depth_sigma", "space-time field (rw), 3 steps",
                  "depth at its mean", "population level: no intercept per vessel"):
        assert words in printed.out
    maps = xr.open_dataset(out / "posterior.nc")
    assert maps["response_mean"].dims == ("time", "y", "x")
    assert maps["time"].values.tolist() == [2003, 2004, 2006]
    import rasterio

    with rasterio.open(out / "posterior.tif") as tif:
        assert tif.count == 12 and tif.descriptions[:4] == ("mean 2003", "mean 2004", "mean 2006",
                                                            "sd 2003")
        np.testing.assert_array_equal(tif.read(2), maps["mean"].sel(time=2004).values)
    grid = np.load(out / "posterior_grid.npz")
    assert grid["mean"].shape == (3, 12, 24) and grid["time"].tolist() == [2003, 2004, 2006]
    assert (out / "posterior.png").read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize("rows, options, message", [
    (None, ["--spacetime", "ar1"], "--spacetime needs --time COL"),
    (None, ["--group", "vessel", "--group", "vessel"], "--group vessel is given twice"),
    (None, ["--group", "depth", "--smooth", "depth"], "column 'depth' is given to two of"),
    (None, ["--time", "count"], "column 'count' is given both as labels"),
    ([(1, 1, 2, 2003, "A", 5)] * 6 + [(2, 1, 2, 2004, "A", 6)] * 6, ["--group", "vessel"],
     "survey.csv: --group vessel: group 'vessel' has 1 label(s) ('A')"),
    ([(1, 1, 2, 2003, "A", 5)] * 6 + [(2, 1, 2, 2004, "", 6)] * 6, ["--group", "vessel"],
     "survey.csv line 8, column 'vessel': an empty cell is not a label"),
    ([(i % 5, i % 3, 2, 2003, "A", 5) for i in range(12)], ["--smooth", "depth"],
     "--smooth depth: smooth 'depth': values are all equal (5)"),
    (None, ["--smooth", "vessel"], "column 'vessel': 'Aurora' is not a number"),
    # As text, steps 9, 10, 11 would run 10, 11, 9 and a stray cell after them.
    ([(i % 5, i % 3, 2, 9 + i % 3, "A" if i % 2 else "B", 5) for i in range(11)]
     + [(1, 1, 2, "x", "A", 5)], ["--time", "year"],
     "survey.csv line 13, column 'year': 'x' is not a finite number, though other cells are "
     "numbers (such as '9')"),
    ([(i % 5, i % 3, 2, 2003 + i % 2, "A", 5) for i in range(11)] + [(1, 1, 2, "nan", "A", 5)],
     ["--time", "year"], "survey.csv line 13, column 'year': 'nan' marks a missing value"),
    ([(i % 5, i % 3, 2, 2003, "AB"[i % 2], 5) for i in range(11)] + [(1, 1, 2, 2003, "NaN", 5)],
     ["--group", "vessel"], "survey.csv line 13, column 'vessel': 'NaN' marks a missing value"),
    ([(i % 5, i % 3, 2, "2003-01-15", "AB"[i % 2], 5) for i in range(11)]
     + [(1, 1, 2, "NA", "A", 5)], ["--time", "year"], "line 13, column 'year': 'NA' marks a missing"),
    # As text, 15/01/2003 would come after 03/02/2003, and the AR(1) link them so.
    ([(i % 5, i % 3, 2, ("15/01/2003", "03/02/2003")[i % 2], "A", 5) for i in range(12)],
     ["--time", "year"], "line 2, column 'year': '15/01/2003' is text, whose order need not be"),
])
def test_effect_options_are_refused_in_one_line(tmp_path, capsys, rows, options, message):
    data = write_csv(tmp_path / "survey.csv", HEADER, rows or survey_rows(30))
    status = main(["fit", data, *BASE, "--out", str(tmp_path / "out"), *options])
    err = capsys.readouterr().err.strip().splitlines()
    assert status == 2
    assert err[-1].startswith("python -m corvid fit: error: ") and message in err[-1]
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("cells, kind, expected", [
    (["1.1", "1.10", "1.2"], "--group", "3 labels (1.1, 1.10, 1.2)"),   # numbers would merge two
    (["007", "7", "12"], "--group", "3 labels (007, 12, 7)"),
    (["03/02/2003", "15/01/2003"], "--time", "2 steps (03/02/2003, 15/01/2003)"),  # iid: no order
    (["a", "b"], "--group-st", "st1_range"),   # a column named st keeps its name; the field moves
])
def test_labels_that_numbers_would_merge_stay_apart(tmp_path, capsys, cells, kind, expected):
    rows = [(r[0], r[1], r[2], cells[i % len(cells)], cells[i % len(cells)], r[5])
            for i, r in enumerate(survey_rows(60))]
    data = write_csv(tmp_path / "survey.csv", HEADER, rows)
    column = "year" if kind == "--time" else "vessel"
    extra = ["--spacetime", "iid"] if kind == "--time" else []
    if kind == "--group-st":
        data = write_csv(tmp_path / "survey.csv", [*HEADER[:4], "st", HEADER[5]], rows)
        kind, column, extra = "--group", "st", ["--time", "year", "--spacetime", "iid"]
    status = main(["fit", data, *BASE, "--out", str(tmp_path / "out"), kind, column, *extra])
    printed = capsys.readouterr()
    assert status == 0, printed.err
    assert expected in printed.out


def test_more_hyperparameters_than_integration_supports_are_refused(tmp_path, capsys):
    data = write_csv(tmp_path / "survey.csv", HEADER, survey_rows(30))
    # nbinomial's size makes 13: the static field's 2, the size, the space-time field's 3,
    # the group's 1, the smooth's 2 and two varying coefficients' 4.
    argv = [{"poisson": "nbinomial"}.get(a, a) for a in BASE if a != "--no-integrate"]
    status = main(["fit", data, *argv, "--out", str(tmp_path / "out"), "--time", "year",
                   "--group", "vessel", "--smooth", "depth", "--varying", "x", "--varying", "y"])
    err = capsys.readouterr().err.strip().splitlines()
    assert status == 2 and "make 13 hyperparameters, more than the 12" in err[-1]
    assert "--no-integrate" in err[-1] and not (tmp_path / "out").exists()
