"""The demo's survey step: six years of counts by four vessels over depth, fitted with a
space-time field, a group and a smooth effect, truth against estimates and the picture."""

import numpy as np
import pytest

from corvid.demo import DemoSettings

pytest.importorskip("triangle")


def test_the_survey_step_prints_truth_against_estimates_and_draws_the_years(tmp_path, capsys):
    from corvid.demo import survey

    settings = DemoSettings(out=str(tmp_path), max_edge=2.0, n_obs=200, grid=(30, 20), seed=3)
    path = survey.run(settings, np.random.default_rng(3), str(tmp_path), str, lambda report: None)
    printed = capsys.readouterr().out
    rows = {line.split()[0]: line.split() for line in printed.splitlines() if line.startswith("   ")}
    for name, truth in (("st_range", survey.RANGE), ("st_rho", survey.RHO), ("vessel_sd", survey.VESSEL_SD)):
        assert float(rows[name][1]) == truth and rows[name][-1] in ("yes", "no")
    assert set(survey.VESSELS) <= set(rows)
    assert "depth effect at 15 knots" in printed
    try:
        import matplotlib
    except ImportError:
        assert path is None
    else:
        assert matplotlib and open(path, "rb").read(8) == b"\x89PNG\r\n\x1a\n"
