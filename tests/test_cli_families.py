"""python -m corvid fit --family: counts, trials and positive amounts from a user's CSV file."""

import numpy as np
import pytest

from corvid.__main__ import main
from user_files import write_table

pytest.importorskip("triangle")


@pytest.fixture
def counts(tmp_path):
    rng = np.random.default_rng(8)
    x, y = rng.uniform(0, 4, 200), rng.uniform(0, 2, 200)
    effort = rng.uniform(0.5, 2.0, 200)
    count = rng.poisson(effort * np.exp(0.5 + np.sin(x)))
    return tmp_path, {"x": x, "y": y, "effort": effort, "count": count}


def run(path, out, *more):
    return main(["fit", path, "--x", "x", "--y", "y", "--value", "count", "--out", str(out),
                 "--grid", "30", "20", "--quiet", *more])


def test_counts_with_exposure_map_the_expected_count_per_unit(counts, capsys):
    tmp_path, columns = counts
    path = write_table(tmp_path / "counts.csv", columns)
    assert run(path, tmp_path / "out", "--family", "poisson", "--exposure", "effort") == 0
    printed = capsys.readouterr().out
    assert "Poisson fit (log link)" in printed and "expected count per unit of exposure" in printed
    maps = np.load(tmp_path / "out" / "posterior_grid.npz")
    inside = np.isfinite(maps["response_mean"])
    # The response-scale mean exceeds exp of the link-scale mean (the lognormal's mean).
    assert np.all(maps["response_mean"][inside] > np.exp(maps["mean"][inside]))
    assert 0.5 < np.nanmedian(maps["response_mean"]) < 6.0 and np.all(maps["sd"][inside] > 0)


@pytest.mark.parametrize("change, options, message", [
    (lambda c: c.update(count=np.r_[c["count"][:4], -1, c["count"][5:]]), ["--family", "poisson"],
     "poisson data must be counts (0, 1, 2, ...), and are negative in line 6"),
    (lambda c: c.update(effort=np.r_[0.0, c["effort"][1:]]),
     ["--family", "nbinomial", "--exposure", "effort"], "exposure must be positive, and is not in line 2"),
    (lambda c: None, ["--family", "gaussian", "--exposure", "effort"],
     "--exposure does not apply to the gaussian family"),
    (lambda c: None, ["--family", "poisson", "--trials", "effort"], "--trials does not apply"),
    (lambda c: None, ["--family", "weibullsurv"], "is fitted by the engine"),
    (lambda c: None, ["--family", "os.system"], "unsupported family requested: os.system"),
    (lambda c: None, ["--family", "poisson", "--prior-dispersion", "1", "0.5"],
     "--prior-dispersion does not apply to the poisson family"),
])
def test_bad_family_input_is_one_line_with_status_2(counts, capsys, change, options, message):
    tmp_path, columns = counts
    change(columns)
    path = write_table(tmp_path / "bad.csv", columns)
    assert run(path, tmp_path / "out", *options) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and err[0].startswith("python -m corvid fit: error: ") and message in err[0]
    assert not (tmp_path / "out").exists()


def test_presence_absence_maps_a_probability(counts):
    tmp_path, columns = counts
    columns["count"] = (columns["count"] > 2).astype(int)
    path = write_table(tmp_path / "presence.csv", columns)
    assert run(path, tmp_path / "out", "--family", "binomial") == 0
    mean = np.load(tmp_path / "out" / "posterior_grid.npz")["response_mean"]
    assert np.nanmin(mean) > 0.0 and np.nanmax(mean) < 1.0
