"""x = Pᵀ R⁻ᵀ z through every backend's factor (R the Cholesky root of A[perm][:, perm]),
the transform behind joint posterior samples: against the dense Cholesky factor, on every
shape of matrix corvid factors; where it writes; what it refuses."""

import numpy as np
import pytest
from scipy import linalg, sparse

from corvid.fit import factor
from corvid.fit._cholesky import csc_unit_transposed_solve

from spd_matrices import SHAPES as MATRICES
from spd_matrices import observed_field

BACKENDS = factor.available_backends()

# One right-hand side as a vector, the widths solved by unrolled loops, and wider blocks
# that go to BLAS.
WIDTHS = [None, 1, 3, 4, 7, 130]


def gap(actual, expected):
    """The largest difference, relative to the largest entry of `expected`."""
    return np.max(np.abs(actual - expected)) / np.max(np.abs(expected))


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("name", MATRICES)
def test_the_transform_is_the_dense_triangular_solve_with_the_factor_s_root(name, backend):
    A = MATRICES[name]()
    dense = A.toarray()
    n = dense.shape[0]
    f = factor.cholesky(A, backend=backend)
    L, d = f.factor()
    root = L.toarray() * np.sqrt(d)                       # R = L D^½, R Rᵀ = A[perm][:, perm]
    assert gap(root @ root.T, dense[f.perm][:, f.perm]) <= 1e-12
    # rounding in the solve grows with R's condition number, a fault does not
    tolerance = 1e-14 * np.linalg.cond(root)
    rng = np.random.default_rng(2)
    for width in WIDTHS:
        z = rng.normal(size=(n,) if width is None else (n, width))
        x = f.solve_transposed_root(z)
        expected = np.empty_like(z)
        expected[f.perm] = linalg.solve_triangular(root, z, trans="T", lower=True)
        assert x.shape == z.shape and gap(x, expected) <= tolerance
        # xᵀ A x = zᵀ z, column by column: Cov(x) = A⁻¹ for standard normal z
        quadratic = np.einsum("i...,i...->...", x, dense @ x)
        assert quadratic == pytest.approx(np.einsum("i...,i...->...", z, z), rel=1e-10)


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("name", MATRICES)
def test_the_forward_half_is_the_dense_triangular_solve_and_completes_a_solve(name, backend):
    A = MATRICES[name]()
    dense = A.toarray()
    n = dense.shape[0]
    f = factor.cholesky(A, backend=backend)
    L, d = f.factor()
    root = L.toarray() * np.sqrt(d)
    tolerance = 1e-14 * np.linalg.cond(root)
    rng = np.random.default_rng(4)
    for width in WIDTHS:
        b = rng.normal(size=(n,) if width is None else (n, width))
        y = f.solve_root(b)
        assert y.shape == b.shape
        assert gap(y, linalg.solve_triangular(root, b[f.perm], lower=True)) <= tolerance
        # yᵀ y = bᵀ A⁻¹ b, and the backward half finishes the solve
        assert np.einsum("i...,i...->...", y, y) == pytest.approx(
            np.einsum("i...,i...->...", b, np.linalg.solve(dense, b)), rel=1e-9)
        assert gap(f.solve_transposed_root(y), np.linalg.solve(dense, b)) <= 1e-12 * np.linalg.cond(dense)


@pytest.mark.parametrize("backend", BACKENDS)
def test_out_takes_a_block_of_columns_of_a_wider_array_or_z_itself(backend):
    A = observed_field(10, 150)
    n = A.shape[0]
    f = factor.cholesky(A, backend=backend)
    z = np.random.default_rng(3).normal(size=(n, 40))
    expected = f.solve_transposed_root(z)

    wide = np.full((n, 100), 7.0)
    assert f.solve_transposed_root(z, out=wide[:, 30:70]) is not None
    assert gap(wide[:, 30:70], expected) <= 1e-13
    assert np.all(wide[:, :30] == 7.0) and np.all(wide[:, 70:] == 7.0)

    backwards = np.empty((n, 40))[::-1]                  # rows in reverse memory order
    f.solve_transposed_root(z, out=backwards)
    assert gap(backwards, expected) <= 1e-13

    same = z.copy()
    assert f.solve_transposed_root(same, out=same) is same
    assert gap(same, expected) <= 1e-13

    vector = np.empty(n)
    f.solve_transposed_root(z[:, 0], out=vector)
    assert gap(vector, expected[:, 0]) <= 1e-13
    assert f.solve_transposed_root(np.empty((n, 0))).shape == (n, 0)


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("z, out, error, message", [
    (np.ones(5), None, ValueError, "z has 5 rows for a matrix of order 4"),
    (np.ones((4, 2, 2)), None, ValueError, "z must have one or two dimensions, got 3"),
    (np.ones(4, dtype=complex), None, TypeError, "z must be an array of real numbers"),
    (np.array(["a"] * 4), None, TypeError, "z must be an array of real numbers"),
    (np.array([[0.0, 1], [2, 3], [4, np.nan], [6, 7]]), None, ValueError,
     r"z must be finite: z\[2, 1\] is nan"),
    (np.array([0.0, 1, -np.inf, 3]), None, ValueError, r"z must be finite: z\[2\] is -inf"),
    (np.ones((4, 3)), np.empty((4, 2)), ValueError, r"out must be a writable float64 array of "
     r"the shape of z \(4, 3\)"),
    (np.ones((4, 3)), np.empty((4, 3), dtype=np.float32), ValueError, "out must be"),
    (np.ones((4, 3)), np.empty((3, 4)).T, ValueError, "each row's values contiguous"),
    (np.ones(4), np.empty(4)[:0], ValueError, r"of the shape of z \(4,\)"),
    (np.ones(4), [0.0] * 4, ValueError, "out must be"),
])
def test_bad_input_is_refused_saying_what_and_where(backend, z, out, error, message):
    f = factor.cholesky(sparse.diags([1.0, 2.0, 3.0, 4.0]).tocsc(), backend=backend)
    with pytest.raises(error, match=message):
        f.solve_transposed_root(z, out=out)


@pytest.mark.parametrize("backend", BACKENDS)
def test_a_read_only_out_is_refused(backend):
    f = factor.cholesky(sparse.diags([1.0, 2.0, 3.0]).tocsc(), backend=backend)
    out = np.empty((3, 2))
    out.setflags(write=False)
    with pytest.raises(ValueError):
        f.solve_transposed_root(np.ones((3, 2)), out=out)


def test_the_compressed_column_substitution_is_the_dense_solve():
    rng = np.random.default_rng(0)
    L = np.tril(rng.normal(size=(40, 40)) * (rng.random((40, 40)) < 0.2), -1) + np.eye(40)
    csc = sparse.csc_matrix(L)
    rhs = rng.normal(size=(40, 7))
    solved = rhs.copy()
    csc_unit_transposed_solve(csc.indptr, csc.indices, csc.data, solved)
    assert solved == pytest.approx(np.linalg.solve(L.T, rhs), abs=1e-10)


@pytest.mark.parametrize("indptr, indices, message", [
    ([0, 1, 2], [1, 0], "outside"),                    # an entry above the diagonal
    ([0, 1], [0], "indptr has 2 entries"),
    ([0, 2, 1], [0, 1], "must not decrease"),
    ([0, 1, 5], [0, 1], "exceeds the entries"),
])
def test_the_compressed_column_substitution_refuses_what_is_not_lower_triangular(
        indptr, indices, message):
    with pytest.raises(ValueError, match=message):
        csc_unit_transposed_solve(np.array(indptr), np.array(indices), np.ones(2), np.ones((2, 3)))
