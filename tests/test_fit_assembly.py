"""The first matrix of a fit, summed in the matrices' own order: the dense sum's values on the
pattern the aligned sums of later matrices hold, so that the ordering found on it serves them."""

import numpy as np
import pytest
from scipy import sparse

from corvid.fit.assembly import AlignedSum, natural_sum

N, M = 30, 45


def case(name):
    rng = np.random.default_rng(2)
    base = sparse.random(N, N, density=0.1, random_state=3)
    terms = [sparse.identity(N, format="csr"), base + base.T]
    rows = sparse.random(M, N, density=0.08, random_state=4, format="csr")
    weights, row_weights, structure = [2.0, 0.5], rng.uniform(0.5, 2.0, M), None
    if name == "cancelling terms":
        terms.append(-(base + base.T))
        weights = [2.0, 0.5, 0.5]             # the second and third terms cancel
    if name == "rows with zero weight":
        row_weights[::3] = 0.0
    if name == "pairs outside the terms":
        structure = (np.array([0, 5, 29]), np.array([17, 28, 1]))
    return terms, weights, (None if name == "terms alone" else rows), row_weights, structure


@pytest.mark.parametrize("name", ["terms alone", "terms and rows", "cancelling terms",
                                  "rows with zero weight", "pairs outside the terms"])
def test_the_natural_sum_is_the_dense_sum_on_the_aligned_pattern(name):
    terms, weights, rows, row_weights, structure = case(name)
    made = natural_sum(terms, weights, rows, row_weights if rows is not None else None, structure)
    aligned = AlignedSum(terms, np.arange(N), rows=rows, structure=structure)
    expected = aligned.matrix(weights, row_weights if rows is not None else None)
    np.testing.assert_array_equal(made.indptr, expected.indptr)
    np.testing.assert_array_equal(made.indices, expected.indices)
    dense = sum(w * t.toarray() for w, t in zip(weights, terms))
    if rows is not None:
        dense = dense + rows.T.toarray() @ np.diag(row_weights) @ rows.toarray()
    np.testing.assert_allclose(made.toarray(), dense, rtol=1e-13, atol=1e-13)


@pytest.mark.parametrize("name", ["terms and rows", "cancelling terms", "pairs outside the terms"])
def test_an_aligned_sum_is_the_dense_sum_in_its_order(name):
    terms, weights, rows, row_weights, structure = case(name)
    perm = np.random.default_rng(6).permutation(N)
    made = AlignedSum(terms, perm, rows=rows, structure=structure).matrix(weights, row_weights)
    dense = sum(w * t.toarray() for w, t in zip(weights, terms))
    dense = dense + rows.T.toarray() @ np.diag(row_weights) @ rows.toarray()
    np.testing.assert_allclose(made.toarray(), dense[perm][:, perm], rtol=1e-13, atol=1e-13)
    if structure is not None:      # kept in the pattern, as stored zeros
        where = np.argsort(perm)
        pattern = made.copy()
        pattern.data[:] = 1.0
        assert np.all(pattern.toarray()[where[structure[0]], where[structure[1]]] == 1.0)
