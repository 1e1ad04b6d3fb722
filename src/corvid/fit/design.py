"""Integration over the hyperparameters: a central composite design around the mode.

In standardised coordinates z (theta = mode + Cov^(1/2) z, Cov the inverse of minus the
Hessian), the design has the centre, the 2d axial points at radius r = f sqrt(d), and the
corners of the cube at the same radius: all 2^d of them for d <= 4, and for 5 <= d <= 12 a
two-level fractional factorial of resolution V (no effect or two-factor interaction is
aliased with another), 2^(d-p) corners made from d - p base factors and p generators, each
the product of at least four base factors, such that every word of the defining relation
has five letters or more (the generators are found by a short search, in the run sizes of
the published tables: 16 corners for d = 5, 32, 64, 64, 128, 128, 128 and 256 for d = 12).
Weights: 1 - 1/f² for the centre and 1/f² shared equally by the others. As every corner has
z_i² = f² and the corners' columns and their pairwise products sum to zero, the design
reproduces the mean, the covariance and the zero cross moments of a standard normal z,
with the full or the fractional cube alike. Each point's weight is then multiplied by the ratio of
the true posterior to the Gaussian approximation there, exp(log p(theta) - log p(mode)
+ |z|²/2), and the weights are normalised: the design follows the posterior's skewness.
"""

from __future__ import annotations

import itertools

import numpy as np

__all__ = ["central_composite", "design_weights", "corners", "MAX_DIMENSION"]

STRETCH = 1.1  # f: a little beyond one standard deviation per dimension
MAX_DIMENSION = 12
# Base factors of the smallest fractional factorial of resolution V with d factors.
BASE_FACTORS = {5: 4, 6: 5, 7: 6, 8: 6, 9: 7, 10: 7, 11: 7, 12: 8}


_FOUND: dict[int, tuple[int, ...]] = {}


def _generators(dim: int) -> tuple[int, ...]:
    """Bit masks of base factors, one per generated factor, for resolution V: every product
    of generators J, with its |J| generated letters, has at least five letters."""
    if dim in _FOUND:
        return _FOUND[dim]
    base = BASE_FACTORS[dim]
    wanted = dim - base
    candidates = [m for m in range(1 << base) if bin(m).count("1") >= 4]
    chosen: list[int] = []

    def fits(new: int) -> bool:
        for k in range(len(chosen) + 1):
            for others in itertools.combinations(chosen, k):
                word = new
                for other in others:
                    word ^= other
                if bin(word).count("1") + k + 1 < 5:
                    return False
        return True

    def extend(start: int) -> bool:
        if len(chosen) == wanted:
            return True
        for i in range(start, len(candidates)):
            if fits(candidates[i]):
                chosen.append(candidates[i])
                if extend(i + 1):
                    return True
                chosen.pop()
        return False

    if not extend(0):   # pragma: no cover - the run sizes above admit resolution V
        raise RuntimeError(f"no fractional factorial of resolution V for {dim} factors")
    _FOUND[dim] = tuple(chosen)
    return _FOUND[dim]


def corners(dim: int) -> np.ndarray:
    """The cube's corners (±1) the design uses: all for dim <= 4, else the fraction."""
    if dim <= 4:
        return np.array(list(itertools.product([-1.0, 1.0], repeat=dim))).reshape(-1, dim)
    base = np.array(list(itertools.product([-1.0, 1.0], repeat=BASE_FACTORS[dim])))
    generated = [np.prod(base[:, [b for b in range(base.shape[1]) if mask >> b & 1]], axis=1)
                 for mask in _generators(dim)]
    return np.column_stack([base, *generated])


def central_composite(dim: int, stretch: float = STRETCH) -> tuple[np.ndarray, np.ndarray]:
    """(z, weights): the design points (N, dim), the centre first, and their weights.

    Raises ValueError beyond MAX_DIMENSION dimensions."""
    if not 1 <= dim <= MAX_DIMENSION:
        raise ValueError(f"the central composite design takes 1 to {MAX_DIMENSION} "
                         f"dimensions, got {dim}")
    radius = stretch * np.sqrt(dim)
    axial = np.vstack([radius * np.eye(dim), -radius * np.eye(dim)])
    cube = corners(dim) * radius / np.sqrt(dim)
    z = np.vstack([np.zeros((1, dim)), axial, cube])
    others = z.shape[0] - 1
    weights = np.r_[1.0 - 1.0 / stretch**2, np.full(others, 1.0 / (stretch**2 * others))]
    return z, weights


def design_weights(z: np.ndarray, weights: np.ndarray, log_posterior: np.ndarray) -> np.ndarray:
    """The design weights corrected by the posterior at the points (log_posterior[0] at the
    centre), normalised."""
    log_ratio = log_posterior - log_posterior[0] + 0.5 * np.sum(z**2, axis=1)
    corrected = weights * np.exp(log_ratio - log_ratio.max())
    return corrected / corrected.sum()
