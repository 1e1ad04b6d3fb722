"""Sparse factors and selected inverses agree with dense linear algebra."""

import numpy as np
import pytest
from scipy import sparse

from corvid.fit import factor
from corvid.fit._cholesky import csc_selected_inverse as selected_inverse

from spd_matrices import bordered, field_precision, random_spd

BACKENDS = factor.available_backends()


MATRICES = {
    "field": field_precision,
    "field with fixed effects": lambda: bordered(field_precision(11)),
    "random": random_spd,
    "diagonal": lambda: sparse.diags(np.arange(1.0, 6.0)).tocsc(),
    "one by one": lambda: sparse.csc_matrix([[4.0]]),
    "dense": lambda: sparse.csc_matrix(random_spd(30, 1.0).toarray()),
}


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("name", MATRICES)
def test_selected_inverse_is_the_dense_inverse_on_the_pattern(name, backend):
    A = MATRICES[name]()
    dense_inverse = np.linalg.inv(A.toarray())
    f = factor.cholesky(A, backend=backend)
    inverse = f.selected_inverse()
    S = inverse.tocsc()
    rows, cols = S.nonzero()
    scale = np.abs(dense_inverse).max()
    assert np.abs(S[rows, cols] - dense_inverse[rows, cols]).max() <= 1e-10 * scale
    np.testing.assert_allclose(inverse.diagonal(), np.diag(dense_inverse), rtol=1e-10)
    # The pattern holds A's: every neighbour pair can be looked up.
    a_rows, a_cols = A.nonzero()
    np.testing.assert_allclose(inverse.lookup(a_rows, a_cols), dense_inverse[a_rows, a_cols],
                               rtol=1e-9, atol=1e-12 * scale)


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("ordering", [None, "natural", "reversed"])
def test_solve_and_log_determinant(backend, ordering):
    A = field_precision(12)
    n = A.shape[0]
    f = factor.cholesky(A, backend=backend,
                        ordering=np.arange(n)[::-1] if ordering == "reversed" else ordering)
    b = np.random.default_rng(0).normal(size=(n, 2))
    x = np.linalg.solve(A.toarray(), b)
    np.testing.assert_allclose(f.solve(b), x, rtol=1e-9, atol=1e-10 * np.abs(x).max())
    assert f.logdet() == pytest.approx(np.linalg.slogdet(A.toarray())[1], rel=1e-12)
    L, d = f.factor()
    P = A[f.perm][:, f.perm].toarray()
    np.testing.assert_allclose((L @ sparse.diags(d) @ L.T).toarray(), P, atol=1e-10 * abs(P).max())
    again = f.refactor(2.0 * A)
    np.testing.assert_array_equal(again.perm, f.perm)
    assert again.logdet() == pytest.approx(f.logdet() + n * np.log(2.0), rel=1e-12)


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("matrix", [np.diag([1.0, -1.0, 2.0]), [[1.0, 2.0], [2.0, 1.0]],
                                    np.zeros((2, 2))])
def test_a_matrix_that_is_not_positive_definite_is_refused(backend, matrix):
    with pytest.raises(factor.NotPositiveDefiniteError, match="not positive definite"):
        factor.cholesky(sparse.csc_matrix(matrix), backend=backend).selected_inverse()


def test_a_pattern_missing_cancelled_entries_is_closed_first():
    # Column 0 reaches rows 1 and 3, so the factor's column 1 must hold row 3; here the
    # entry cancelled and was left out.
    L = sparse.csc_matrix(np.array([[1.0, 0, 0, 0], [0.5, 1, 0, 0], [0, 0.25, 1, 0],
                                    [-0.5, 0, 0.5, 1]]))
    d = np.array([2.0, 1.0, 3.0, 0.5])
    indptr, indices, values = selected_inverse(L.indptr, L.indices, L.data, d)
    assert list(indices[indptr[1]:indptr[2]]) == [1, 2, 3]
    dense_inverse = np.linalg.inv((L @ np.diag(d) @ L.T.toarray()))
    S = sparse.csc_matrix((values, indices, indptr), shape=(4, 4)).toarray()
    np.testing.assert_allclose(S[S != 0], np.tril(dense_inverse)[S != 0], rtol=1e-13)


GOOD = sparse.csc_matrix(np.array([[1.0, 0, 0], [0.5, 1, 0], [0.25, 0.5, 1]]))


@pytest.mark.parametrize("indptr, indices, d, message", [
    ([0, 3, 5, 6], [0, 2, 1, 1, 2, 2], [1, 1, 1], "column 0: row indices must be ascending"),
    ([0, 3, 5, 6], [1, 0, 2, 1, 2, 2], [1, 1, 1], "column 0: the diagonal must be the first"),
    ([0, 3, 5, 6], [0, 1, 7, 1, 2, 2], [1, 1, 1], "column 0: row index 7 is outside"),
    ([0, 3, 3, 6], [0, 1, 2, 1, 2, 2], [1, 1, 1], "column 1: column pointers"),
    ([0, 3, 5, 9], [0, 1, 2, 1, 2, 2], [1, 1, 1], "column 2: column pointers"),
    ([1, 3, 5, 6], [0, 1, 2, 1, 2, 2], [1, 1, 1], "column pointers must start at 0"),
    ([0, 3, 5], [0, 1, 2, 1, 2, 2], [1, 1, 1], "indptr has 3 entries for 3 columns"),
    ([0, 3, 5, 6], [0, 1, 2, 1, 2, 2], [1, 0, 1], "pivot 1 is 0: the matrix is not positive"),
    ([0, 3, 5, 6], [0, 1, 2, 1, 2, 2], [1, np.nan, 1], "pivot 1 is nan"),
    ([0, 3, 5, 6], [0, 1, 2 ** 40, 1, 2, 2], [1, 1, 1], "row index 1099511627776 is outside"),
])
def test_a_malformed_factor_is_refused_with_the_place(indptr, indices, d, message):
    data = np.ones(len(indices))
    with pytest.raises(ValueError, match=message):
        selected_inverse(np.array(indptr), np.array(indices), data, np.array(d, dtype=float))


@pytest.mark.parametrize("argument, value, error", [
    (0, np.array([0.0, 3, 5, 6]), TypeError),
    (1, ["a", "b"], TypeError),
    (2, np.ones((2, 3)), ValueError),
    (3, np.array([1 + 2j, 1, 1]), TypeError),
    (1, np.array([0, 1, 2, 1, 2, 2], dtype=np.uint64) + np.uint64(2 ** 63), ValueError),
])
def test_arguments_of_the_wrong_kind_are_refused(argument, value, error):
    args = [GOOD.indptr, GOOD.indices, GOOD.data, np.ones(3)]
    args[argument] = value
    with pytest.raises(error):
        selected_inverse(*args)


def test_inputs_in_any_memory_layout_give_the_same_answer():
    expected = selected_inverse(GOOD.indptr, GOOD.indices, GOOD.data, np.array([1.0, 2, 4]))
    strided = [np.repeat(a, 2)[::2] for a in (GOOD.indptr.astype(np.int16), GOOD.indices,
                                              GOOD.data, np.array([1.0, 2, 4]))]
    for got, want in zip(selected_inverse(*strided), expected):
        np.testing.assert_array_equal(got, want)
