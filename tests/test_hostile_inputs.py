"""Inputs that lie, and library functions replaced by ones that do.

The kernels size their reads and writes by buffers, so an array whose `shape` attribute lies,
a replaced `numpy.empty` that hands out short arrays, or a caller's object that changes the
stiffness matrix half-way must end in an exception, never in memory outside the arrays.
"""

import gc
import inspect
from types import SimpleNamespace

import numpy as np
import pytest
from scipy import sparse

from corvid.meshkin.gfield import (GFIELD2PcMatern, _find_nearest_vertex, gfield2_pcmatern,
                                   gfield_make_A)
from corvid.meshkin.locate import basis_matrix, find_triangles

TRIANGLE = SimpleNamespace(n=3, loc=np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0]]))
SEGMENT = SimpleNamespace(n=2, loc=np.array([[0.0, 0.0], [1.0, 0.0]]))  # no triangulation


def model_with(g1, c0):
    n = g1.shape[0]
    return GFIELD2PcMatern(SimpleNamespace(n=n, loc=np.zeros((n, 2))), SimpleNamespace(c0=c0, g1=g1))


class Liar(np.ndarray):
    """An array that claims 10**8 rows."""

    shape = property(lambda self: (10**8, 2))


@pytest.mark.parametrize("mesh", [TRIANGLE, SEGMENT], ids=["triangulated", "nearest vertex"])
def test_locations_whose_shape_lies(monkeypatch, mesh):
    loc = np.zeros((4, 2)).view(Liar)
    real = np.asarray
    monkeypatch.setattr(np, "asarray", lambda obj, *a, **k: obj if obj is loc else real(obj, *a, **k))
    with pytest.raises(ValueError, match="buffer does not have the shape"):
        gfield_make_A(mesh, loc)


def test_dtype_without_an_itemsize_is_an_error_not_a_system_error(monkeypatch):
    class Odd(np.ndarray):
        dtype = property(lambda self: SimpleNamespace(kind="f", itemsize=None))
    real = np.asarray
    monkeypatch.setattr(np, "asarray", lambda obj, *a, **k: real(obj, *a, **k).view(Odd))
    with pytest.raises(TypeError):
        _find_nearest_vertex(SEGMENT, np.array([0.9, 0.9]))


@pytest.mark.parametrize("prepare", [
    lambda: model_with(sparse.random(300, 300, density=0.02, format="csr", random_state=0)
                       + sparse.eye(300, format="csr"), np.ones(300)).precision,
    lambda: lambda theta: gfield_make_A(TRIANGLE, np.random.default_rng(0).uniform(0, 0.5, (1000, 2))),
], ids=["stiffness product", "projector"])
def test_replaced_numpy_empty_handing_out_one_element(monkeypatch, prepare):
    use = prepare()
    real = np.empty
    # corvid names its dtypes as text; NumPy and SciPy inside do not
    monkeypatch.setattr(np, "empty", lambda shape, dtype=None:
                        real(1, dtype) if isinstance(dtype, str) else real(shape, dtype))
    with pytest.raises(ValueError, match="buffer does not have the shape|expected an aligned"):
        use((0.0, 0.0))


def test_replaced_numpy_empty_handing_out_a_shared_array(monkeypatch):
    shared = np.empty(10**4, dtype=np.int32)
    real = np.empty
    monkeypatch.setattr(np, "empty", lambda shape, dtype=None: shared if dtype == "int32" else real(shape, dtype))
    with pytest.raises(TypeError, match="did not return a new ndarray"):
        gfield_make_A(TRIANGLE, [[0.2, 0.2]])


def test_replaced_numpy_require_handing_out_narrow_integers(monkeypatch):
    g1 = sparse.identity(50, format="csc")
    g1.indices = g1.indices.astype(np.int16)  # converted before it is checked
    model = model_with(g1, np.ones(50))
    real = np.require
    monkeypatch.setattr(np, "require", lambda obj, dtype=None, requirements=None: real(obj, np.int8))
    with pytest.raises(ValueError, match="outside its arrays or shape"):
        model.M2


@pytest.mark.parametrize("use", [lambda m: m.M2, lambda m: m.precision((0.0, 0.0))], ids=["M2", "precision"])
def test_mass_that_breaks_the_stiffness_while_it_is_used(use):
    # float32 values take the SciPy expression, where 1 / c0 runs the caller's code
    g1 = sparse.identity(100, format="csr", dtype=np.float32)

    class Mass(np.ndarray):
        def __rtruediv__(self, other):
            g1.indices[:] = 10**9
            return np.ones(100)
    with pytest.raises(ValueError, match="outside its arrays or shape"):
        use(model_with(g1, np.ones(100).view(Mass)))


def test_index_object_that_converts_differently_each_time():
    good = np.arange(20, dtype=np.int32)

    class Flip:
        calls = 0

        def __array__(self, dtype=None, copy=None):
            Flip.calls += 1
            return good if Flip.calls == 1 else np.full_like(good, 10**9)
    g1 = sparse.identity(20, format="csr", dtype=np.float32)
    g1.indices = Flip()
    with pytest.raises(TypeError, match="index arrays must be ndarrays, not Flip"):
        model_with(g1, np.ones(20)).M2


def test_coordinate_stiffness_changed_in_place():
    g1 = sparse.coo_matrix(sparse.identity(100))
    g1.row[5] = 10**9
    with pytest.raises(ValueError, match="outside its arrays or shape"):
        model_with(g1, np.ones(100)).M2


def test_signature_while_the_collector_replaces_the_defaults():
    f = gfield2_pcmatern
    saved, threshold = f.__defaults__, gc.get_threshold()

    def replace(phase, info):
        f.__defaults__ = None
    gc.callbacks.append(replace)
    gc.set_threshold(1)
    try:
        assert list(inspect.signature(f).parameters)[0] == "mesh"
    finally:
        gc.callbacks.remove(replace)
        gc.set_threshold(*threshold)
        f.__defaults__ = saved


@pytest.mark.parametrize("replacement, error, message", [
    (lambda real: lambda shape, dtype=None: real(1, dtype), ValueError, "buffer does not have the shape"),
    (lambda real: lambda shape, dtype=None: SHARED, TypeError, "did not return a new ndarray"),
], ids=["one element", "shared"])
@pytest.mark.parametrize("use", [find_triangles, basis_matrix], ids=["triangles", "basis"])
def test_point_location_refuses_a_replaced_numpy_empty(monkeypatch, replacement, error, message, use):
    points = np.random.default_rng(1).uniform(0.0, 0.5, (1000, 2))
    real, replaced = np.empty, replacement(np.empty)
    # corvid names its dtypes as text; NumPy and SciPy inside do not
    monkeypatch.setattr(np, "empty", lambda shape, dtype=None:
                        replaced(shape, dtype) if isinstance(dtype, str) else real(shape, dtype))
    with pytest.raises(error, match=message):
        use(TRIANGLE_MESH, points)


SHARED = np.empty(10**4)
TRIANGLE_MESH = SimpleNamespace(n=3, loc=TRIANGLE.loc, tv=np.array([[0, 1, 2]]))
