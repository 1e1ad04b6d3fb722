"""The PC-Matern field model: construction, priors, precision matrix and texts."""

import math
from types import SimpleNamespace

import numpy as np
import pytest
from scipy import sparse
from scipy.sparse.linalg import spsolve

from corvid.meshkin import gfield
from corvid.meshkin.core import mk_fem
from corvid.meshkin.gfield import GFIELD2PcMatern, gfield2_pcmatern
from corvid.meshkin.mesh import MkMesh

LN2 = math.log(2.0)


@pytest.fixture
def mesh100():
    return MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (10, 10))


def scipy_precision(model, theta):
    """The precision as the plain SciPy expression."""
    kappa, tau = model._compute_kappa_tau(np.exp(theta[0]), np.exp(theta[1]))
    C, G = model.fem.c0, model.fem.g1
    gcinvg = G @ sparse.diags(1.0 / C) @ G
    return (tau**2 * (kappa**4 * sparse.diags(C) + 2.0 * kappa**2 * G + gcinvg)).tocsr()


def assert_same_matrix(ours, theirs):
    """Same stored entries, values within 1e-12 relative; ours has sorted indices."""
    assert isinstance(ours, sparse.csr_matrix) and ours.has_sorted_indices
    theirs = theirs.tocsr().copy()
    theirs.sort_indices()
    np.testing.assert_array_equal(ours.indptr, theirs.indptr)
    np.testing.assert_array_equal(ours.indices, theirs.indices)
    np.testing.assert_allclose(ours.data, theirs.data, rtol=1e-12, atol=0)


def test_defaults(mesh100):
    model = gfield2_pcmatern(mesh100)
    assert model.n_gfield == 100 and model.nu == 1.0 and model._d == 2
    assert model.lambda_range == pytest.approx(LN2) and model.lambda_sigma == pytest.approx(LN2)
    assert isinstance(model.lambda_range, np.float64)
    assert model.fem is not None and model.mesh is mesh100


def test_kappa_and_tau_at_unit_range_and_sigma(mesh100):
    kappa, tau = gfield2_pcmatern(mesh100)._compute_kappa_tau(1, 1)
    assert isinstance(kappa, np.float64) and isinstance(tau, np.float64)
    assert kappa == pytest.approx(math.sqrt(8.0), rel=1e-15)
    assert tau == pytest.approx(math.sqrt(1.0 / (4.0 * math.pi)) / math.sqrt(8.0), rel=1e-15)


def test_prior_rates(mesh100):
    model = gfield2_pcmatern(mesh100, prior_range=(30, 0.05), prior_sigma=[2, 0.01])
    assert model.lambda_range == pytest.approx(-math.log(0.05) / 30) == pytest.approx(0.099858, abs=1e-6)
    assert model.lambda_sigma == pytest.approx(-math.log(0.01) / 2)
    assert model.prior_range == (30.0, 0.05) and model.prior_sigma == (2.0, 0.01)
    theta = np.array([math.log(20.0), math.log(0.5)])
    expected = (math.log(model.lambda_range) - model.lambda_range * 20.0 + theta[0]
                + math.log(model.lambda_sigma) - model.lambda_sigma * 0.5 + theta[1])
    assert model.log_prior(theta) == pytest.approx(expected, rel=1e-14)


def test_factory_converts_its_arguments(mesh100, monkeypatch):
    calls = []

    def recording_mk_fem(mesh, order):
        calls.append(order)
        return mk_fem(mesh, order=order)

    monkeypatch.setattr(gfield, "mk_fem", recording_mk_fem)
    model = gfield2_pcmatern(mesh100, alpha=2, prior_range=np.array([5, 0.5]), fem_order=2.9)
    assert calls == [2] and type(calls[0]) is int
    assert model.alpha == 2.0 and type(model.alpha) is float
    assert type(model.prior_range) is tuple and model.prior_range == (5.0, 0.5)
    assert "alpha: 2.0" in model.summary() and "alpha=2.0" in repr(model)
    gfield2_pcmatern(mesh100, fem_order=True)
    assert calls[-1] == 1


@pytest.mark.parametrize("kwargs, message", [
    ({"prior_range": 3.0}, "Expected a sequence of size 2, got float"),
    ({"prior_sigma": (1.0, 0.5, 0.1)}, "Expected a sequence of size 2, got size 3"),
    ({"prior_range": ("a", 0.5)}, None),
    ({"alpha": "2"}, None),
    ({"fem_order": "2"}, r"Argument 'fem_order' has incorrect type \(expected int, got str\)"),
])
def test_factory_refuses_bad_arguments(mesh100, kwargs, message):
    with pytest.raises(TypeError, match=message):
        gfield2_pcmatern(mesh100, **kwargs)


def test_summary_and_repr(mesh100):
    model = gfield2_pcmatern(mesh100)
    assert model.summary() == "\n".join([
        "GFIELD2PcMatern:",
        "  Mesh vertices (n_gfield): 100",
        "  alpha: 2.0",
        "  nu (smoothness): 1.0",
        "  Prior range: P(range < 1.0) = 0.5",
        "  Prior sigma: P(sigma > 1.0) = 0.5",
        "  lambda_range: 0.6931",
        "  lambda_sigma: 0.6931",
    ])
    assert repr(model) == ("GFIELD2PcMatern(n_gfield=100, alpha=2.0, "
                           "prior_range=(1.0, 0.5), prior_sigma=(1.0, 0.5))")
    direct = GFIELD2PcMatern(mesh100, model.fem, alpha=2)
    assert repr(direct).startswith("GFIELD2PcMatern(n_gfield=100, alpha=2, ")


@pytest.mark.parametrize("alpha, shown", [(1.5, "1.5"), (1.0, "1.0"), (1, "1"), (3, "3")])
def test_only_alpha_2_can_be_constructed(mesh100, alpha, shown):
    fem = mk_fem(mesh100)
    with pytest.raises(NotImplementedError) as error:
        GFIELD2PcMatern(mesh100, fem, alpha=alpha)
    assert str(error.value) == (f"B matrices not implemented for alpha={shown}, d=2. "
                                "Currently only alpha=2, d=2 (nu=1) is supported.")


def test_constructor_unpacks_priors(mesh100):
    with pytest.raises(ValueError, match="not enough values to unpack"):
        GFIELD2PcMatern(mesh100, mk_fem(mesh100), prior_range=(1.0,))
    with pytest.raises(AttributeError):
        GFIELD2PcMatern(object(), None)


@pytest.mark.parametrize("theta", [
    (0.3, -0.2), [0.3, -0.2], np.array([0.3, -0.2]), np.array([0.3, -0.2, 99.0])])
def test_precision_matches_the_scipy_expression(delaunay_mesh, theta):
    model = gfield2_pcmatern(delaunay_mesh)
    Q = model.precision(theta)
    assert Q.shape == (delaunay_mesh.n, delaunay_mesh.n)
    assert_same_matrix(Q, scipy_precision(model, (0.3, -0.2)))
    assert model.precision(theta) is not Q


def test_precision_and_m2_keep_scipys_stored_entries(grid_mesh):
    # The right triangles' stiffness has exact zeros, so entries cancel to exactly 0.
    model = gfield2_pcmatern(grid_mesh)
    assert (model.fem.g1.data == 0).any()
    for theta in [(0.0, 0.0), (math.log(0.05), 2.0), (4.0, -3.0)]:
        assert_same_matrix(model.precision(theta), scipy_precision(model, theta))
    G, C = model.fem.g1, model.fem.c0
    assert_same_matrix(model.M2, G @ sparse.diags(1.0 / C) @ G)


def with_unaligned_indices(G):
    """G with its index arrays as int64 at odd addresses (SciPy's constructor would copy them)."""
    def unaligned(indices):
        copy = np.zeros(indices.size * 8 + 1, np.uint8)[1:].view(np.int64)
        copy[:] = indices
        return copy
    G = G.copy()
    G.indices, G.indptr = unaligned(G.indices), unaligned(G.indptr)
    return G


@pytest.mark.parametrize("convert", [
    lambda G: G.tocsc(), lambda G: G.tocoo(), lambda G: sparse.csr_array(G),
    lambda G: G.astype(np.float32), lambda G: sparse.csr_matrix(
        (G.data, G.indices.astype(np.int64), G.indptr.astype(np.int64)), shape=G.shape),
    with_unaligned_indices])
def test_other_stiffness_forms_give_the_scipy_values(delaunay_mesh, convert):
    model = gfield2_pcmatern(delaunay_mesh)
    G = convert(model.fem.g1)
    model.fem = SimpleNamespace(c0=model.fem.c0, g1=G)
    expected = scipy_precision(model, (0.1, 0.2))
    np.testing.assert_allclose(model.precision((0.1, 0.2)).toarray(), expected.toarray(), rtol=1e-6)


def test_numpy_warnings_and_errors_pass_through(grid_mesh):
    model = gfield2_pcmatern(grid_mesh)
    c0, G = model.fem.c0, model.fem.g1
    with_zero = c0.copy()
    with_zero[3] = 0.0
    model.fem = SimpleNamespace(c0=with_zero, g1=G)
    with pytest.warns(RuntimeWarning, match="divide by zero"):
        model.M2
    model.fem = SimpleNamespace(c0=c0[:-1], g1=G)
    with pytest.raises(ValueError):
        model.precision((0.0, 0.0))
    with pytest.raises(IndexError):
        model.precision([0.0])


MALFORMED_STRUCTURES = {  # (data, indices, indptr) of a 2 x 2 matrix that SciPy accepts unchecked
    "column past the end": ([1.0, 2.0], [0, 7], [0, 1, 2]),
    "negative column": ([1.0, 2.0], [0, -5], [0, 1, 2]),
    "row pointers going back": ([1.0, 2.0, 3.0], [0, 1, 0], [0, 2, 1]),
}


@pytest.mark.parametrize("structure", MALFORMED_STRUCTURES.values(), ids=MALFORMED_STRUCTURES.keys())
@pytest.mark.parametrize("form", [sparse.csr_matrix, sparse.csr_array, sparse.csc_matrix,
                                  lambda arrays, shape: sparse.csr_matrix(arrays, shape=shape, dtype=np.int64)],
                         ids=["csr", "csr_array", "csc", "integer csr"])
@pytest.mark.parametrize("use", [lambda m: m.M2, lambda m: m.precision((0.0, 0.0)),
                                 lambda m: (setattr(m, "alpha", 1), m.precision((0.0, 0.0)))],
                         ids=["M2", "precision", "precision with alpha 1"])
def test_malformed_stiffness_is_an_error(structure, form, use):
    g1 = form(structure, shape=(2, 2))
    model = GFIELD2PcMatern(SimpleNamespace(n=2, loc=np.zeros((2, 2))),
                            SimpleNamespace(c0=np.array([1.0, 2.0]), g1=g1))
    with pytest.raises(ValueError, match="outside its arrays or shape"):
        use(model)


def test_alpha_is_read_at_each_call(mesh100):
    model = gfield2_pcmatern(mesh100)
    Q2 = model.precision((0.0, 0.0))
    model.alpha = 2
    assert_same_matrix(model.precision((0.0, 0.0)), Q2)
    model.alpha = 3
    with pytest.raises(NotImplementedError, match=r"^alpha=3 not implemented\. Use alpha=1 or alpha=2\.$"):
        model.precision((0.0, 0.0))


def test_finite_element_matrices(mesh100):
    model = gfield2_pcmatern(mesh100)
    assert model.M1 is model.fem.g1
    assert model.M0 is not model.M0 and model.M2 is not model.M2
    np.testing.assert_array_equal(model.M0.diagonal(), model.fem.c0)
    assert model.M0.shape == model.M2.shape == (100, 100)


def test_marginal_variance_is_sigma_squared_at_the_centre():
    # On a fine mesh of a square much larger than the range, diag(Q^-1) away from the
    # boundary approaches the stationary variance sigma^2.
    mesh = MkMesh.regular_grid((-4.0, 4.0), (-4.0, 4.0), (121, 121))
    model = gfield2_pcmatern(mesh)
    centre = int(np.argmin(np.sum(mesh.loc ** 2, axis=1)))
    unit = np.zeros(mesh.n)
    unit[centre] = 1.0
    for sigma in (1.0, 2.5):
        Q = model.precision((0.0, math.log(sigma))).tocsc()
        variance = spsolve(Q, unit)[centre]
        assert variance == pytest.approx(sigma ** 2, rel=0.05)
