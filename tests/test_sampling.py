"""Samples of a Gaussian Markov random field have covariance Q⁻¹."""

import numpy as np
import pytest
from scipy import sparse

from corvid.sampling import gmrf_sample


def _precision(n, seed):
    A = sparse.random(n, n, density=0.15, random_state=seed)
    return (A @ A.T + 0.5 * sparse.eye(n)).tocsr()


class _Columns:
    """A stand-in generator whose 'normal draws' are the identity, exposing the transform."""

    def standard_normal(self, shape):
        return np.eye(shape[0], shape[1])


@pytest.mark.parametrize("n, seed", [(1, 0), (5, 1), (40, 2)])
def test_transform_reproduces_the_covariance(n, seed):
    Q = _precision(n, seed)
    T = gmrf_sample(Q, _Columns(), size=n)
    assert np.allclose(T @ T.T, np.linalg.inv(Q.toarray()), rtol=1e-9, atol=1e-12)


def test_seeded_draws_repeat_and_have_the_right_shape():
    Q = _precision(20, 3)
    one = gmrf_sample(Q, np.random.default_rng(7))
    assert one.shape == (20,)
    assert np.array_equal(one, gmrf_sample(Q, np.random.default_rng(7)))
    assert gmrf_sample(Q, np.random.default_rng(7), size=4).shape == (20, 4)


@pytest.mark.parametrize("Q", [sparse.diags([1.0, -1.0]), sparse.csr_matrix((2, 3))])
def test_refuses_matrices_that_are_not_precisions(Q):
    with pytest.raises(ValueError):
        gmrf_sample(Q, np.random.default_rng(0))
