"""corvid's own supernodal Cholesky (the default backend) against dense linear algebra on
every shape of matrix corvid factors; what it refuses; its use from threads; and fits that
agree with the SuperLU backend."""

import concurrent.futures
import contextlib
import sys
import warnings

import numpy as np
import pytest
from scipy import sparse
from threadpoolctl import threadpool_limits

from corvid import _memory
from corvid.fit import factor, fit, supernodal
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.mesh import MkMesh

from spd_matrices import SHAPES as MATRICES
from spd_matrices import dense_block, field_precision, observed_field, space_time


def gap(actual, expected):
    """The largest difference, relative to the largest entry of `expected`."""
    actual, expected = np.asarray(actual), np.asarray(expected)
    return np.max(np.abs(actual - expected)) / np.max(np.abs(expected))


@pytest.mark.parametrize("name", MATRICES)
def test_factor_solves_log_determinant_and_inverse_are_those_of_dense_algebra(name):
    A = MATRICES[name]()
    dense = A.toarray()
    n = dense.shape[0]
    inverse = np.linalg.inv(dense)
    f = factor.cholesky(A)
    assert f.backend == "supernodal" and sorted(f.perm) == list(range(n))

    L, d = f.factor()
    permuted = dense[f.perm][:, f.perm]
    assert np.all(L.diagonal() == 1.0) and np.all(d > 0)
    assert gap((L @ sparse.diags(d) @ L.T).toarray(), permuted) <= 1e-10

    rng = np.random.default_rng(1)
    for shape in [(n,), (n, 3), (n, 40)]:
        b = rng.normal(size=shape)
        x = f.solve(b)
        assert x.shape == shape and gap(x, np.linalg.solve(dense, b)) <= 1e-10
    assert f.logdet() == pytest.approx(np.linalg.slogdet(dense)[1], rel=1e-10, abs=1e-10)

    selected = f.selected_inverse()
    S = selected.tocsc()
    rows, cols = S.nonzero()
    assert np.max(np.abs(S[rows, cols] - inverse[rows, cols])) <= 1e-10 * np.max(np.abs(inverse))
    assert gap(selected.diagonal(), np.diag(inverse)) <= 1e-10
    a_rows, a_cols = A.nonzero()  # the factor's pattern holds the matrix's
    assert gap(selected.lookup(a_rows, a_cols), inverse[a_rows, a_cols]) <= 1e-10


@pytest.mark.parametrize("ordering", ["natural", "reversed", "random"])
def test_a_given_ordering_is_kept_and_changes_nothing_but_rounding(ordering):
    A = observed_field()
    n = A.shape[0]
    perm = {"natural": np.arange(n), "reversed": np.arange(n)[::-1],
            "random": np.random.default_rng(2).permutation(n)}[ordering]
    f = factor.cholesky(A, ordering="natural" if ordering == "natural" else perm)
    np.testing.assert_array_equal(f.perm, perm)
    b = np.random.default_rng(3).normal(size=(n, 2))
    assert gap(f.solve(b), factor.cholesky(A).solve(b)) <= 1e-10
    assert gap(f.selected_inverse().diagonal(), factor.cholesky(A).selected_inverse().diagonal()) <= 1e-10


def test_without_pymetis_the_factor_orders_by_minimum_degree(monkeypatch):
    monkeypatch.setitem(sys.modules, "pymetis", None)  # as where it has no wheel
    A = observed_field()
    f = factor.cholesky(A)
    b = np.random.default_rng(6).normal(size=A.shape[0])
    assert gap(f.solve(b), np.linalg.solve(A.toarray(), b)) <= 1e-10


def test_refactoring_reuses_the_ordering_for_any_matrix_of_the_pattern_or_beyond_it():
    A = observed_field()
    n = A.shape[0]
    f = factor.cholesky(A)
    again = f.refactor(2.0 * A)
    np.testing.assert_array_equal(again.perm, f.perm)
    assert again.logdet() == pytest.approx(f.logdet() + n * np.log(2.0), rel=1e-12)
    # In the factor's order, with entries the first pattern's factor lacks.
    rng = np.random.default_rng(4)
    i, j = rng.integers(0, n, 40), rng.integers(0, n, 40)
    extra = sparse.coo_matrix((np.full(40, 0.01), (i, j)), shape=(n, n))
    B = (A + extra + extra.T).tocsc()
    permuted = B[f.perm][:, f.perm].tocsc()
    g = f.refactor_permuted(permuted)
    np.testing.assert_array_equal(g.perm, f.perm)
    b = rng.normal(size=n)
    assert gap(g.solve(b), np.linalg.solve(B.toarray(), b)) <= 1e-10
    assert gap(g.selected_inverse().diagonal(), np.diag(np.linalg.inv(B.toarray()))) <= 1e-10


def asymmetric_values():
    A = sparse.csc_matrix(np.array([[4.0, 1.0, 0.0], [2.0, 4.0, 0.0], [0.0, 0.0, 4.0]]))
    return A


def asymmetric_pattern():
    return sparse.csc_matrix(np.array([[4.0, 0.0, 0.0], [0.0, 4.0, 0.0], [1.0, 0.0, 4.0]]))


def with_value(row, col, value):
    A = field_precision(6).tolil()
    A[row, col] = value
    return A.tocsc()


@pytest.mark.parametrize("matrix, error, message", [
    (lambda: sparse.csc_matrix((2, 3)), ValueError, r"square, got shape \(2, 3\)"),
    (lambda: sparse.csc_matrix((0, 0)), ValueError, "empty"),
    (asymmetric_values, ValueError, r"not symmetric: entry \(0, 1\) is 1.0 but \(1, 0\) is 2.0"),
    (asymmetric_pattern, ValueError,
     r"pattern is not symmetric: entry \(2, 0\) is stored but \(0, 2\) is not"),
    (lambda: with_value(3, 3, np.nan), ValueError, r"entry \(3, 3\) of the matrix is nan"),
    (lambda: with_value(0, 0, np.inf), ValueError, r"entry \(0, 0\) of the matrix is inf"),
    (lambda: sparse.csc_matrix(np.eye(3) * (1 + 1j)), TypeError, "real numbers"),
    (lambda: np.array([["a", "b"], ["c", "d"]]), TypeError, "real numbers"),
])
def test_matrices_that_cannot_be_factored_are_refused_saying_why(matrix, error, message):
    with pytest.raises(error, match=message):
        factor.cholesky(matrix())


@pytest.mark.parametrize("matrix, column", [
    (np.diag([1.0, -1.0, 2.0]), 1),
    (np.array([[1.0, 2.0], [2.0, 1.0]]), 1),
    (np.zeros((2, 2)), 0),
])
def test_a_matrix_that_is_not_positive_definite_names_the_column(matrix, column):
    with pytest.raises(factor.NotPositiveDefiniteError, match=f"breaks down at column {column}") as e:
        factor.cholesky(sparse.csc_matrix(matrix))
    assert e.value.column == column and isinstance(e.value, ValueError)


def test_the_column_at_fault_is_in_the_matrix_s_own_order():
    A = field_precision(10).tolil()
    A[37, 37] = -100.0  # no leading block without column 37 fails
    with pytest.raises(factor.NotPositiveDefiniteError) as e:
        factor.cholesky(A.tocsc())
    assert e.value.column == 37


@pytest.mark.parametrize("backend, variable, message", [
    ("cholesky", None, "unknown Cholesky backend 'cholesky' .the backend argument.; use "
                       "'supernodal', 'cholmod', 'superlu'"),
    (None, "bogus", "unknown Cholesky backend 'bogus' .CORVID_CHOLESKY."),
])
def test_an_unknown_backend_is_named_with_the_choices(monkeypatch, backend, variable, message):
    if variable:
        monkeypatch.setenv("CORVID_CHOLESKY", variable)
    with pytest.raises(ValueError, match=message):
        factor.cholesky(sparse.eye(3).tocsc(), backend=backend)


def test_a_factor_that_would_not_fit_in_memory_is_refused_before_it_is_made(monkeypatch):
    A = field_precision(60)  # L of about 10^5 entries: about a megabyte
    monkeypatch.setattr(_memory, "available_memory", lambda: 200_000)
    with pytest.raises(MemoryError, match=r"the Cholesky factor needs \d.\d MiB but only "
                                          r"0.2 MiB of memory are available"):
        factor.cholesky(A)
    monkeypatch.setattr(_memory, "available_memory", lambda: 1000)
    with pytest.raises(MemoryError, match=r"analysis needs 0.\d MiB but only 0.0 MiB"):
        factor.cholesky(A)
    monkeypatch.setattr(_memory, "available_memory", lambda: None)  # unknown: no limit
    f = factor.cholesky(A)
    monkeypatch.setattr(_memory, "available_memory", lambda: 200_000)
    with pytest.raises(MemoryError, match="the selected inverse needs"):
        f.selected_inverse()


def work(A, b, ordering=None):
    f = factor.cholesky(A, ordering=ordering)
    return f.solve(b), f.logdet(), f.selected_inverse().diagonal(), f.refactor(A * 3.0).logdet()


def test_two_factors_used_from_two_threads_at_once_give_the_results_of_one_thread():
    matrices = [observed_field(), space_time()]
    rhs = [np.random.default_rng(k).normal(size=(A.shape[0], 5)) for k, A in enumerate(matrices)]
    alone = [work(A, b) for A, b in zip(matrices, rhs)]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for _ in range(10):
            together = list(pool.map(work, matrices, rhs))
            for got, want in zip(together, alone):
                for a, b in zip(got, want):
                    assert gap(a, b) <= 1e-13


def test_results_do_not_depend_on_the_number_of_blas_threads(monkeypatch):
    A = dense_block(250)  # blocks large enough for BLAS to share out
    b = np.random.default_rng(5).normal(size=(A.shape[0], 8))
    one = work(A, b, "natural")
    monkeypatch.setattr(supernodal, "_blas_threads", contextlib.nullcontext)
    with threadpool_limits(limits=2, user_api="blas"):
        two = work(A, b, "natural")
    for a, c in zip(one, two):
        assert gap(a, c) <= 1e-12


# ---- fits: the same with either backend ------------------------------------------------------

MESH = MkMesh.from_points(np.vstack([[[0, 0], [1.5, 0], [1.5, 1], [0, 1]],
                                     np.random.default_rng(5).uniform([0.05, 0.05], [1.45, 0.95],
                                                                      (140, 2))]))
MODEL = gfield2_pcmatern(MESH, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))


def fit_data(family, n=250, seed=4):
    rng = np.random.default_rng(seed)
    loc = rng.uniform([0.01, 0.01], [1.49, 0.99], (n, 2))
    x = rng.normal(size=n)
    eta = 0.5 + 0.3 * x + np.sin(3.0 * loc[:, 0])
    if family == "poisson":
        y = rng.poisson(np.exp(eta)).astype(float)
    elif family == "binomial":
        y = rng.binomial(1, 1.0 / (1.0 + np.exp(-eta))).astype(float)
    else:
        y = eta + 0.3 * rng.normal(size=n)
    return loc, y, x


def fitted(monkeypatch, backend, family, **options):
    monkeypatch.setenv("CORVID_CHOLESKY", backend)
    loc, y, x = fit_data(family)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fit(MODEL, loc, y, family=family, covariates=x, **options)


@pytest.mark.parametrize("family, options", [
    ("gaussian", {}), ("gaussian", {"integrate": True}), ("poisson", {}), ("binomial", {}),
    ("poisson", {"theta": np.log([0.4, 0.8])}),
])
def test_fits_agree_between_the_supernodal_and_superlu_backends(monkeypatch, family, options):
    ours = fitted(monkeypatch, "supernodal", family, **options)
    superlu = fitted(monkeypatch, "superlu", family, **options)
    assert (ours.backend, superlu.backend) == ("supernodal", "superlu")
    assert gap(ours.theta, superlu.theta) <= 1e-9
    assert ours.log_posterior == pytest.approx(superlu.log_posterior, rel=1e-9)
    # The curvature at the mode comes from differences of gradients, which magnify the
    # backends' rounding (1e-13 in the log posterior) some ten thousand times; the
    # integration design, and with it the integrated sds, follow that curvature.
    by_curvature = 1e-8 if options.get("integrate") else 1e-9
    if np.all(np.isfinite(ours.theta_cov)):
        assert gap(ours.theta_cov, superlu.theta_cov) <= 1e-8
    for name in ("field_mean", "field_sd", "fixed_mean", "fixed_sd"):
        assert gap(getattr(ours, name), getattr(superlu, name)) <= by_curvature, name
