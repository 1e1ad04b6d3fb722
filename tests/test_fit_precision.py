"""The field's precision assembled from the model files is the model's own."""

import numpy as np
import pytest

from corvid.fit import precision_from_files
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.mesh import MkMesh
from corvid.meshkin_io import read_meshkin_file


@pytest.mark.parametrize("theta", [(np.log(0.3), 0.0), (1.5, -2.0), (-3.0, 4.0)])
def test_precision_from_the_seven_files_is_the_models(tmp_path, theta):
    mesh = MkMesh.disk(radius=2.0, rings=6)
    model = gfield2_pcmatern(mesh, prior_range=(0.5, 0.5), prior_sigma=(1.0, 0.1))
    prefix = model.write_gfield_files(str(tmp_path / "model" / "field"))
    Q = precision_from_files(prefix, theta)
    expected = model.precision(theta)
    assert Q.shape == expected.shape
    assert abs(Q - expected).max() <= 1e-13 * abs(expected).max()


def test_files_whose_rows_differ_are_refused(tmp_path):
    model = gfield2_pcmatern(MkMesh.regular_grid((0, 1), (0, 1), (4, 3)))
    prefix = model.write_gfield_files(str(tmp_path / "m"))
    B1 = read_meshkin_file(prefix + ".B1").copy()
    B1[5, 0] += 1.0
    from corvid.meshkin.gfield import _write_meshkin_file
    _write_meshkin_file(B1, prefix + ".B1")
    with pytest.raises(ValueError, match=r"B1 has rows that differ from its first \(row 5\)"):
        precision_from_files(prefix, (0.0, 0.0))
