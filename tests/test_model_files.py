"""The parameterisation matrices of the PC-Matern model and the seven model files."""

import math
import os

import numpy as np
import pytest

from corvid.meshkin import gfield
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin_io import read_meshkin_entries, read_meshkin_file, read_meshkin_header

B0_CONST = -0.5 * math.log(32.0 * math.pi)
SUFFIXES = [".M0", ".M1", ".M2", ".B0", ".B1", ".B2", ".BLC"]


@pytest.fixture
def model(grid_mesh):
    return gfield2_pcmatern(grid_mesh, prior_range=(0.3, 0.5))


def test_parameterisation_matrices(model):
    n = model.n_gfield
    assert model.n_theta == 2
    for B in (model.B0, model.B1, model.B2):
        assert B.shape == (n, 3) and B.dtype == np.float64
    np.testing.assert_array_equal(model.B0, np.tile([-2.3052328943245635, 1.0, -1.0], (n, 1)))
    np.testing.assert_array_equal(model.B1, np.tile([2.0794415416798357, -2.0, 0.0], (n, 1)))
    np.testing.assert_array_equal(model.B2, np.tile([1.0, 0.0, 0.0], (n, 1)))
    np.testing.assert_array_equal(model.BLC, [
        [0.0, 1.0, 0.0], [0.0, 0.0, 1.0], [-2.3052328943245635, 1.0, -1.0],
        [0.5 * math.log(8.0), -1.0, 0.0], [0.0, 0.0, 2.0], [0.0, 1.0, 0.0]])


def test_b_matrices_give_log_tau_and_log_kappa_squared(model):
    theta = np.array([math.log(0.5), math.log(1.0)])
    phi0 = model.B0[0] @ np.r_[1.0, theta]
    phi1 = model.B1[0] @ np.r_[1.0, theta]
    kappa, tau = model._compute_kappa_tau(0.5, 1.0)
    assert phi0 == pytest.approx(-2.99838, abs=1e-6) and phi0 == pytest.approx(math.log(tau))
    assert phi1 == pytest.approx(math.log(kappa**2))


def test_properties_hand_out_the_stored_arrays(model, tmp_path):
    assert model.B0 is model.B0 and model.BLC is model._BLC
    model.B2[:, 0] = 7.0
    model.write_gfield_files(str(tmp_path / "m"))
    assert (read_meshkin_file(str(tmp_path / "m.B2"))[:, 0] == 7.0).all()


def test_b_matrices_are_recomputed_on_request(model):
    old = model.B0
    model._compute_b_matrices()
    assert model.B0 is not old and np.array_equal(model.B0, old)
    model.alpha = 1.0
    with pytest.raises(NotImplementedError, match="alpha=1.0, d=2"):
        model._compute_b_matrices()
    assert model.B1 is not None and model.B0 is not old


def test_writes_the_seven_files(model, tmp_path):
    prefix = str(tmp_path / "out" / "a" / "b" / "model")
    assert model.write_gfield_files(prefix) is prefix
    assert sorted(os.listdir(tmp_path / "out" / "a" / "b")) == sorted("model" + s for s in SUFFIXES)
    n = model.n_gfield
    assert os.path.getsize(prefix + ".BLC") == 180
    assert os.path.getsize(prefix + ".B0") == 36 + 24 * n
    blc = np.fromfile(prefix + ".BLC", dtype=np.float64, offset=36)
    np.testing.assert_array_equal(blc, model.BLC.ravel(order="F"))
    assert read_meshkin_header(prefix + ".M0")[4:7] == (1, 1, 0)
    np.testing.assert_array_equal(read_meshkin_file(prefix + ".M0").toarray(), model.M0.toarray())
    header, rows, cols, values = read_meshkin_entries(prefix + ".M1")
    G = model.fem.g1.tocoo()
    assert header.elems == G.nnz and (values == 0).any()  # stored zeros are kept
    order = np.lexsort((G.row, G.col))
    np.testing.assert_array_equal(values, G.data[order])
    np.testing.assert_allclose(read_meshkin_file(prefix + ".M2").toarray(), model.M2.toarray())


def test_prefix_without_directory_writes_into_the_working_directory(model, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert model.write_gfield_files("model") == "model"
    assert sorted(os.listdir(tmp_path)) == sorted("model" + s for s in SUFFIXES)


def test_prefix_ending_in_a_separator_names_hidden_files(model, tmp_path):
    model.write_gfield_files(str(tmp_path / "out") + os.sep)
    assert sorted(os.listdir(tmp_path / "out")) == sorted(SUFFIXES)


@pytest.mark.parametrize("prefix, got", [(b"model", "bytes"), (None, "NoneType")])
def test_prefix_must_be_a_str(model, prefix, got):
    with pytest.raises(TypeError, match=fr"Argument 'prefix' has incorrect type \(expected str, got {got}\)"):
        model.write_gfield_files(prefix)


def test_directory_that_cannot_be_made_writes_nothing(model, tmp_path):
    (tmp_path / "file").write_text("in the way")
    with pytest.raises(OSError):
        model.write_gfield_files(str(tmp_path / "file" / "sub" / "model"))
    assert os.listdir(tmp_path) == ["file"]


def test_files_go_through_the_module_writer(model, tmp_path, monkeypatch):
    written = []
    monkeypatch.setattr(gfield, "_write_meshkin_file",
                        lambda A, filename: written.append((filename, type(A).__name__)))
    model.write_gfield_files(str(tmp_path / "m"))
    assert [name[len(str(tmp_path / "m")):] for name, _ in written] == SUFFIXES
    assert [kind for _, kind in written][3:] == ["ndarray"] * 4


def test_refused_matrix_stops_the_set_and_keeps_earlier_files(model, tmp_path):
    model._B1 = [[1.0, 2.0, 3.0]]
    with pytest.raises(TypeError, match="Unsupported type: <class 'list'>"):
        model.write_gfield_files(str(tmp_path / "m"))
    assert sorted(os.listdir(tmp_path)) == ["m.B0", "m.M0", "m.M1", "m.M2"]
