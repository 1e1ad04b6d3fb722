"""Joint posterior samples of a fit: hyperparameters, every latent block and the fixed
effects together.

Each sample takes one theta, drawn from the fit's design points by their weights (or the
central point, `theta="mode"`), and then the latent vector from its Gaussian given theta,
re-created from the fit's latent model (`LatentFit._latent_at`). By blocks, as the fit
factors it: beta ~ N(mean_fixed, S⁻¹) from the Cholesky factor of S⁻¹ (k x k), then
x = mean - W (beta - mean_fixed) + e with e ~ N(0, P_xx⁻¹). With P_xx[perm][:, perm] =
R Rᵀ (R the Cholesky root), e[perm] = R⁻ᵀ z for standard normal z: one backward
substitution with the sparse factor per block of samples, all of the block's right-hand
sides at once (`SparseFactor.solve_transposed_root`), never a dense covariance. For the
non-Gaussian families the Gaussian is centred at the skewness-corrected mean, where
`predict` is.

Samples are held as columns, (N, n) and (k, n), so that the linear predictor at m points
is one sparse product A (m x N) times them; the attributes show them as rows.
"""

from __future__ import annotations

import dataclasses
from typing import Any, Dict, Iterator, Optional

import numpy as np
from scipy import linalg

from ... import _memory, _pages

__all__ = ["PosteriorSamples", "draw", "draw_blocks", "design_of_draws"]

# Samples drawn together by one solve: up to BLOCK (wider blocks keep BLAS busier; 256 and
# 512 take the same time on a 5·10⁴-vertex field, 128 half as long again, see
# benchmarks/bench_sample_solve.py), fewer where their work arrays would pass WORK_BYTES.
BLOCK = 256
WORK_BYTES = 256 * 2**20
WORK_COPIES = 2      # (N, block) arrays alive while a block is drawn: z, the solve's own


def _block_size(size: int) -> int:
    """The samples drawn together for a latent vector of `size` values."""
    return int(min(BLOCK, max(16, WORK_BYTES // (WORK_COPIES * 8 * max(size, 1)))))


@dataclasses.dataclass
class PosteriorSamples:
    """n joint posterior samples of a fit (see `corvid.fit.posterior.samples`).

    theta : (n, m) the hyperparameters on their working scale (as `fit.theta`);
    hyperparameters : {name: (n,)} as reported (ranges, sds, rho);
    field : (n, n_vertices) the static field (None without one);
    effects : {name: (n, *shape)} each effect's block in its shape (as `fit.effects`);
    fixed : (n, k) the fixed effects, in the order of `fixed_names`;
    design : (n,) the design point each sample's theta is (0 the centre).

    `predict(loc, covariates, ...)` gives (n, m) samples of the linear predictor or of
    the response mean at new points.
    """

    fit: Any = dataclasses.field(repr=False)
    latent_columns: np.ndarray = dataclasses.field(repr=False)   # (N, n)
    fixed_columns: np.ndarray = dataclasses.field(repr=False)    # (k, n)
    theta: np.ndarray
    design: np.ndarray
    seed: Optional[int] = dataclasses.field(default=None, repr=False)

    def __post_init__(self) -> None:
        s = self.fit._structure
        at_design = np.array([s.natural(t)[0] for t in self.fit.design_theta])
        natural = at_design[self.design].reshape(self.theta.shape)
        self.hyperparameters = {name: natural[:, k] for k, name in enumerate(s.theta_names)}
        self.effects: Dict[str, np.ndarray] = {}
        self.field: Optional[np.ndarray] = None
        for b, block in enumerate(s.blocks):
            values = self.latent_columns[s.offsets[b]:s.offsets[b + 1]].T
            values = values.reshape((self.n,) + tuple(block.shape))
            if b == s.field:
                self.field = values
            else:
                self.effects[block.name] = values
        self.fixed = self.fixed_columns.T
        self._rng = np.random.default_rng(self.seed)

    @property
    def n(self) -> int:
        return self.theta.shape[0]

    @property
    def latent(self) -> np.ndarray:
        """(n, N) the whole latent vector of each sample, in the fit's latent order."""
        return self.latent_columns.T

    @property
    def fixed_names(self) -> list:
        return list(self.fit.fixed_names)

    def __len__(self) -> int:
        return self.n

    def __repr__(self) -> str:
        parts = [f"{self.n} samples", f"theta {self.theta.shape[1]}",
                 f"fixed {self.fixed.shape[1]}"]
        if self.field is not None:
            parts.append(f"field {self.field.shape[-1]}")
        parts += [f"{name} {tuple(v.shape[1:])}" for name, v in self.effects.items()]
        return f"PosteriorSamples({', '.join(parts)})"

    def linear_predictor(self, A, X, unseen=()) -> np.ndarray:
        """(m, n): A x + X beta for every sample, plus a draw of the block's prior for
        values the fit has not seen (`unseen`: (block, mask (m,)))."""
        eta = np.asarray(A @ self.latent_columns)
        if X.shape[1]:
            eta += X @ self.fixed_columns
        return self.add_unseen(eta, unseen)

    def add_unseen(self, eta: np.ndarray, unseen=()) -> np.ndarray:
        """eta (m, n) with a draw from the block's prior added, each sample's own, at the
        rows of values the fit has not seen (`unseen`: (block, mask (m,)))."""
        s = self.fit._structure
        for b, mask in unseen:
            sd = np.sqrt([s.blocks[b].unseen_variance(s.theta_of(t, b)) for t in self.theta])
            eta[mask] += self._rng.standard_normal((int(mask.sum()), self.n)) * sd
        return eta

    def predict(self, loc, covariates=None, *, time=None, effects=None, exposure=None,
                trials=None, scale: str = "link") -> np.ndarray:
        """(n, m) samples at locations `loc` (m, 2), with the arguments of
        `LatentFit.predict`: of the linear predictor (scale="link", without an exposure's
        offset) or of the response mean (scale="response": E g^-1(eta), N g^-1(eta)). A
        group label the fit has not seen draws its value from the group's prior, with
        each sample's sd. Locations outside the mesh get NaN."""
        fit = self.fit
        loc = np.asarray(loc, dtype=np.float64)
        if loc.ndim != 2 or loc.shape[1] != 2:
            raise ValueError(f"loc must have shape (m, 2), got {loc.shape}")
        factor = fit._response_factor(scale, loc.shape[0], exposure, trials)
        A, X, unseen, inside = fit._rows(loc, covariates, time=time, effects=effects)
        out = np.full((self.n, loc.shape[0]), np.nan)
        if inside.any():
            eta = self.linear_predictor(A, X, unseen)
            if scale == "response":
                eta = fit._family.inverse_link(eta) * factor[inside][:, None]
            out[:, inside] = eta.T
        return out


def design_of_draws(fit, n: int, theta: str, rng: np.random.Generator) -> np.ndarray:
    """(n,) the design point of each sample: drawn by the design's weights, or the centre."""
    if theta not in ("integrate", "mode"):
        raise ValueError(f"theta must be 'integrate' or 'mode', got {theta!r}")
    weights = fit.design_weights
    if theta == "mode" or weights.size == 1:
        return np.zeros(n, dtype=np.int64)
    return rng.choice(weights.size, size=n, p=weights / weights.sum())


def _count(n, what: str = "n") -> int:
    if isinstance(n, (bool, np.bool_)) or not isinstance(n, (int, np.integer)) or n < 1:
        raise ValueError(f"{what} must be a whole number of samples, at least 1, got {n!r}")
    return int(n)


def _check_memory(n: int, size: int, k: int, chunk: Optional[int]) -> None:
    held = (chunk or n) * (size + k) * 8
    work = WORK_COPIES * size * min(_block_size(size), chunk or n) * 8
    available = _memory.available_memory()
    if available is not None and held + work > 0.8 * available:
        per_sample = (size + k) * 8
        fits = max(int((0.8 * available - work) // per_sample), 0)
        advice = (f"draw them in blocks with chunk= (e.g. chunk={max(fits // 2, 1)}), "
                  f"or fewer" if chunk is None else "use a smaller chunk")
        raise MemoryError(f"{n if chunk is None else chunk} joint samples of {size + k} latent "
                          f"values need {(held + work) / 2**30:.2f} GiB, and "
                          f"{available / 2**30:.2f} GiB of memory are available: {advice}")


@dataclasses.dataclass
class _Point:
    """One design point's factored posterior, and the Cholesky root of S⁻¹ (k x k)."""

    factored: Any
    fixed_root: np.ndarray

    @classmethod
    def of(cls, factored) -> "_Point":
        S_inv = factored.S_inv
        root = linalg.cholesky(0.5 * (S_inv + S_inv.T), lower=True) if S_inv.size else S_inv
        return cls(factored, root)

    def draw(self, rng: np.random.Generator, latent: np.ndarray, fixed: np.ndarray,
             work: np.ndarray) -> None:
        """Fills latent (N, c) and fixed (k, c), c draws, in place (column blocks of wider
        arrays will do); `work` is a C-contiguous (N, c) float64 array to draw z in."""
        f = self.factored
        k, count = fixed.shape
        if k:
            np.add(f.mean_fixed[:, None], self.fixed_root @ rng.standard_normal((k, count)),
                   out=fixed)
        rng.standard_normal(out=work)
        f.factor.solve_transposed_root(work, out=latent)   # Pᵀ L⁻ᵀ z ~ N(0, P_xx⁻¹)
        if k:   # + mean - W (beta - mean_fixed), in one pass over latent
            np.matmul(f.W, fixed - f.mean_fixed[:, None], out=work)
            latent += np.subtract(f.mean[:, None], work, out=work)
        else:
            latent += f.mean[:, None]


def draw_blocks(fit, n: int, *, seed=None, theta: str = "integrate",
                chunk: Optional[int] = None) -> Iterator[PosteriorSamples]:
    """Blocks of at most `chunk` joint samples (all n in one when chunk is None), design
    point by design point (see `LatentFit.sample`). The arguments and the memory are
    checked at once, before any block is drawn."""
    n = _count(n)
    chunk = None if chunk is None else _count(chunk, "chunk")
    s = fit._structure
    _check_memory(n, s.size, s.k, chunk)
    rng = np.random.default_rng(seed)
    design = design_of_draws(fit, n, theta, rng)
    return _blocks(fit, design, chunk, rng)


def _blocks(fit, design: np.ndarray, chunk: Optional[int], rng) -> Iterator[PosteriorSamples]:
    thetas = fit.design_theta
    last: dict = {}   # the last design point's factored posterior, for the next block
    # Samples come grouped by design point, so that each design point's posterior is
    # re-created once and its draws fill contiguous columns.
    design = np.sort(design, kind="stable")
    step = chunk or design.size
    for start in range(0, design.size, step):
        yield _one_block(fit, design[start:start + step], thetas, rng, last)


def _one_block(fit, design: np.ndarray, thetas: np.ndarray, rng, last: dict) -> PosteriorSamples:
    """Draws for a sorted run of design points."""
    s = fit._structure
    count = design.size
    latent = _pages.empty((s.size, count))   # written once: ordinary pages are faster
    fixed = np.empty((s.k, count))
    block = _block_size(s.size)
    work = _pages.empty(s.size * min(block, count))   # z, then mean - W (beta - mean_fixed)
    points, starts = np.unique(design, return_index=True)
    for point, first, end in zip(points, starts, np.r_[starts[1:], count]):
        if point not in last:
            last.clear()
            last[point] = _Point.of(fit._latent_at(thetas[point]))
        for begin in range(first, end, block):
            columns = slice(begin, min(begin + block, end))
            width = columns.stop - columns.start
            last[point].draw(rng, latent[:, columns], fixed[:, columns],
                             work[:s.size * width].reshape(s.size, width))
    return PosteriorSamples(fit, latent, fixed, thetas[design].reshape(count, -1), design,
                            seed=int(rng.integers(2**63)))


def draw(fit, n: int, *, seed=None, theta: str = "integrate") -> PosteriorSamples:
    """All n samples at once."""
    return next(draw_blocks(fit, n, seed=seed, theta=theta))
