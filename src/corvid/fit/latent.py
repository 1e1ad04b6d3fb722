"""The Gaussian model at given hyperparameters, exactly: the posterior of the latent vector
and the fixed effects, the log marginal likelihood and its gradient.

    y = A x + X beta + e,   x ~ N(0, Q(theta)⁻¹),   beta ~ N(0, V),   e ~ N(0, s² I),

with x the blocks of a `LatentStructure` (the static field, the effects), Q(theta) =
blockdiag(Q_b) and s the family's noise sd. The latent vector (x, beta) has the posterior
precision P = [[Q + t AᵀA, t AᵀX], [t XᵀA, t XᵀX + V⁻¹]] with t = s⁻². It is factored by
blocks, which is the factor of P with the fixed effects ordered last: the sparse block
P_xx = Q + t AᵀA by the sparse Cholesky (every block of x in one factorisation), the few
dense fixed-effect rows by their Schur complement S = P_bb - P_bx P_xx⁻¹ P_xb. The fixed
effects' dense rows never enter the sparse factor, where they would slow SuperLU down
several times.

The gradient's trace terms tr(P⁻¹ dP) come from the selected inverse of P_xx (plus the
low-rank part the fixed effects add), read on the pattern of the blocks' terms M_bk; the
blocks give log |Q_b| and its derivatives by their own structure (see
`corvid.fit.effects`).

Re-creating the posterior at a theta (e.g. a design point of a fit): `evaluate(theta,
keep=True)` gives its `Conditional`; the factored posterior itself (for joint samples:
mean plus the factor's L⁻ᵀ z, by blocks as above) is `Evaluation._state` of an evaluation
made without `keep`, or `LatentModel.factored(theta)`.
"""

from __future__ import annotations

import contextlib
import dataclasses
from typing import Any, Callable, Iterator, Optional

import numpy as np
from scipy import linalg, sparse

from . import factor, workers
from .assembly import AlignedSum, natural_sum, sorted_unique
from .effects.matern import FieldBlock, has_k_structure
from .observations import Observations
from .selected import SelectedReader
from .structure import LatentStructure

__all__ = ["LatentModel", "ExactModel", "LatentGaussian", "Evaluation", "Conditional",
           "Factored", "mesh_edges", "static_structure"]

LOG_2PI = float(np.log(2.0 * np.pi))
_has_k_structure = has_k_structure   # the name the reference benchmarks import


@dataclasses.dataclass
class Conditional:
    """The posterior of (x, beta) given theta, x in the structure's latent order.

    mean (N,), var (N,): each latent value's mean and variance; pair_cov (pairs,): the
    covariance at the structure's `pairs`; mean_fixed (k,), cov_fixed (k, k); cross (N, d):
    Cov(x, x_D) for D = the compact blocks' values (the structure's `compact`, c of them)
    then the fixed effects; dense_cov (d, d) = Cov(x_D). mode, mode_fixed: the mode where
    the mean is not the mode (Laplace).
    """

    theta: np.ndarray
    log_likelihood: float
    mean: np.ndarray
    var: np.ndarray
    pair_cov: np.ndarray
    mean_fixed: np.ndarray
    cov_fixed: np.ndarray
    cross: np.ndarray
    dense_cov: np.ndarray
    mode: Optional[np.ndarray] = None
    mode_fixed: Optional[np.ndarray] = None


@dataclasses.dataclass
class Factored:
    """The Gaussian posterior of (x, beta) at a theta, factored by blocks: `factor` of
    P_xx (sparse, its own ordering), W = P_xx⁻¹ P_xb (N, k), S_inv = S⁻¹ (k, k) with S the
    Schur complement, and the means. Then beta ~ N(mean_fixed, S⁻¹) and x | beta ~
    N(mean - W (beta - mean_fixed), P_xx⁻¹): a joint draw is beta from S's Cholesky factor,
    then x from the sparse factor (L⁻ᵀ z in its order)."""

    factor: factor.SparseFactor
    W: np.ndarray
    S_inv: np.ndarray
    mean: np.ndarray
    mean_fixed: np.ndarray


@dataclasses.dataclass
class Evaluation:
    """log p(y | theta), its gradient by theta (None unless asked), and the posterior given
    theta (None unless asked); `LatentModel.complete` adds them later."""

    theta: np.ndarray
    log_likelihood: float
    gradient: Optional[np.ndarray] = None
    conditional: Optional[Conditional] = None
    _state: Optional[Any] = dataclasses.field(default=None, repr=False)  # the model's own


def mesh_edges(tv: np.ndarray, n: int) -> tuple[np.ndarray, np.ndarray]:
    """The (i, j) pairs with i > j of vertices sharing a triangle, sorted by i n + j."""
    tv = np.asarray(tv, dtype=np.int64)
    a = np.concatenate([tv[:, 0], tv[:, 1], tv[:, 2]])
    b = np.concatenate([tv[:, 1], tv[:, 2], tv[:, 0]])
    keys = sorted_unique(np.maximum(a, b) * n + np.minimum(a, b))
    return keys // n, keys % n


def static_structure(field, data: Observations, edges, fixed_prior_sd, family,
                     prior=None, backend: Optional[str] = None) -> LatentStructure:
    """The structure of a model with the static field alone."""
    return LatentStructure(
        blocks=[FieldBlock(field, prior, data.A, backend)], family=family, X=data.X,
        fixed_names=list(data.names),
        fixed_precision=1.0 / np.asarray(fixed_prior_sd, dtype=np.float64) ** 2,
        n_mesh=field.n, edges=edges, field=0)


class LatentModel:
    """What the latent models share, assembled once for one data set and evaluated at many
    theta: the structure's precision, the factor cache, selected inverses read on the
    factor's pattern and at the prediction pairs, log |Q| and its gradient, and the
    posterior given theta from a factor by blocks (the sparse block of x, the dense
    fixed-effect rows by their Schur complement)."""

    def __init__(self, structure: LatentStructure, backend: Optional[str] = None) -> None:
        self.structure = structure
        self.n, self.k, self.n_obs = structure.size, structure.k, structure.n_obs
        self.fixed_precision = structure.fixed_precision
        self.backend = backend
        self._ordering: Optional[np.ndarray] = None  # the factor's, found on first use
        self.release()

    def release(self) -> None:
        """Lets go of every factor and cache; the next evaluation factors afresh, in the
        fill-reducing ordering found on the first (which the pattern alone decides)."""
        self._P: Optional[AlignedSum] = None
        self._last: dict[str, tuple] = {}  # name -> (key, the factor at that key)
        self._reader: Optional[SelectedReader] = None
        self.structure.release()

    def __getstate__(self) -> dict:
        self.release()   # factors do not pickle; they are made again on demand
        return dict(self.__dict__)

    @property
    def via_k(self) -> bool:
        """Whether the static field's log |Q| goes through K (see `effects.matern`)."""
        assert self.structure.field is not None
        return self.structure.blocks[self.structure.field].via_k

    @via_k.setter
    def via_k(self, value: bool) -> None:
        assert self.structure.field is not None
        self.structure.blocks[self.structure.field].via_k = value

    # ---- set-up on the first evaluation ----------------------------------------------------

    def _prepare(self, weights: np.ndarray, extra=(), rows=None,
                 row_weights: Optional[np.ndarray] = None) -> factor.SparseFactor:
        """The first factor, in a fill-reducing ordering of the full pattern (the blocks'
        terms, `extra` terms, AᵀA for `rows` A, the prediction pairs); the terms aligned in
        its order, and the entries where the selected inverse is read: the lower pattern,
        then the prediction pairs."""
        s = self.structure
        terms = [*s.terms, *extra]
        first = factor.cholesky(natural_sum(terms, weights, rows, row_weights, s.pairs),
                                ordering=self._ordering, backend=self.backend)
        perm = self._ordering = first.perm
        self._P = AlignedSum(terms, perm, rows=rows, structure=s.pairs)
        rows_, cols, lower_weights = self._P.lower()
        self._diagonal_in_lower = np.flatnonzero(rows_ == cols)  # in column order
        where = np.empty(self.n, dtype=np.int64)
        where[perm] = np.arange(self.n)
        r, c = where[s.pairs[0]], where[s.pairs[1]]
        self._reader = SelectedReader(np.r_[rows_, np.maximum(r, c)], np.r_[cols, np.minimum(r, c)])
        self._lower_weights = sparse.csr_matrix(lower_weights[:len(s.terms)])
        self._n_lower = rows_.size
        return first

    @property
    def backend_used(self) -> str:
        """The Cholesky backend of the factors."""
        return self._last["P"][1].backend

    def working_bytes(self) -> int:
        """The memory one more evaluation needs at once (a factor and its selected inverse),
        or 0 where evaluations must not run in threads: before the first factor, and with a
        backend other than corvid's own (see `corvid.fit.workers`)."""
        last = self._last.get("P")
        sizes = getattr(getattr(last[1], "_analysis", None), "sizes", None) if last else None
        if not sizes:
            return 0
        return int(sizes["factor_bytes"]) + int(sizes["inverse_bytes"])

    @contextlib.contextmanager
    def together(self) -> Iterator[None]:
        """Evaluations made within run at once, in threads, and none depends on another's
        (the exact model's evaluations never do)."""
        yield

    def _factor(self, name: str, key, matrix: Callable[[], sparse.csc_matrix]) -> factor.SparseFactor:
        """The factor of matrix() (in its aligned order), the last one again when `key` is
        the last key."""
        last_key, last = self._last[name]
        if last_key != key:
            last = last.refactor_permuted(matrix())
            self._last[name] = (key, last)
        return last

    def evaluate(self, theta, *, gradient: bool = True, keep: bool = False,
                 value_only: bool = False) -> Evaluation:
        """log p(y | theta) and, as asked, its gradient and the posterior given theta.
        `value_only`: the evaluation will never be completed, which a model that finds
        its latent mode by iteration may take for a looser tolerance."""
        return self.complete(self._value(theta), gradient=gradient, keep=keep)

    def _value(self, theta, likelihood: bool = True) -> Evaluation:
        """The evaluation at theta with its state; without `likelihood`, the state alone
        (log_likelihood NaN: the prior's log-determinant is not computed)."""
        raise NotImplementedError

    def complete(self, out: Evaluation, *, gradient: bool = True, keep: bool = False) -> Evaluation:
        """Adds the gradient and the posterior given theta to an evaluation, as asked."""
        raise NotImplementedError

    def factored(self, theta) -> Factored:
        """The factored posterior at theta (see `Factored`)."""
        state = self._value(theta, likelihood=False)._state
        assert state is not None
        return Factored(state.fp, state.W_field, state.S_inv, state.mean_field, state.mean_fixed)

    # ---- the posterior given theta -------------------------------------------------------

    def _selected(self, fp: factor.SparseFactor) -> tuple[np.ndarray, np.ndarray]:
        """The selected inverse of the x block at its lower pattern, and at the pairs."""
        assert self._reader is not None
        read = self._reader(fp)
        return read[:self._n_lower], read[self._n_lower:]

    def _traces(self, sigma_lower: np.ndarray, W: np.ndarray, WS: np.ndarray) -> np.ndarray:
        """tr(Cov(x) M_k) for every term, with Cov(x) = P_xx⁻¹ + W S⁻¹ Wᵀ."""
        low_rank = np.array([float(np.sum((M @ W) * WS)) for M in self.structure.terms])
        return self._lower_weights @ sigma_lower + low_rank

    def _quadratic(self, a: np.ndarray, b: np.ndarray) -> np.ndarray:
        """aᵀ M_k b for every term."""
        return np.array([float(a @ (M @ b)) for M in self.structure.terms])

    def _conditional(self, theta: np.ndarray, log_likelihood: float, fp: factor.SparseFactor,
                     sigma_lower: np.ndarray, sigma_pairs: np.ndarray, W: np.ndarray,
                     S_inv: np.ndarray, mean: np.ndarray, mean_fixed: np.ndarray) -> Conditional:
        """The posterior given theta from the block factor: W = P_xx⁻¹ P_xb, S the Schur
        complement; Cov(x) = P_xx⁻¹ + W S⁻¹ Wᵀ, Cov(x, beta) = -W S⁻¹, Cov(beta) = S⁻¹; the
        compact blocks' columns of Cov(x) by solves."""
        assert self._P is not None
        s = self.structure
        WS = W @ S_inv
        diagonal = np.empty(self.n)
        diagonal[self._P.perm] = sigma_lower[self._diagonal_in_lower]
        i, j = s.pairs
        compact = s.compact
        columns = np.zeros((self.n, compact.size))
        if compact.size:
            unit = np.zeros((self.n, compact.size))
            unit[compact, np.arange(compact.size)] = 1.0
            columns = fp.solve(unit).reshape(self.n, compact.size) + WS @ W[compact].T
        cross = np.hstack([columns, -WS])
        dense = np.block([[columns[compact], -WS[compact]], [-WS[compact].T, S_inv]])
        return Conditional(
            theta=theta, log_likelihood=log_likelihood, mean=mean,
            var=diagonal + np.sum(WS * W, axis=1),
            pair_cov=sigma_pairs + np.sum(WS[i] * W[j], axis=1),
            mean_fixed=mean_fixed, cov_fixed=S_inv, cross=cross, dense_cov=0.5 * (dense + dense.T))


@dataclasses.dataclass
class _State:
    """What an evaluation keeps for its gradient and posterior: the factors, and the solves'
    forward half, `root` = R⁻¹ P t [Aᵀy, AᵀX] (n, 1 + k), from which the value needs only
    inner products; the backward half, for the posterior mean and W = P_xx⁻¹ P_xb, is
    taken when they are first asked for."""

    fp: factor.SparseFactor
    tokens: Optional[list]   # None where the evaluation skipped log |Q|
    root: np.ndarray
    S_inv: np.ndarray
    mean_fixed: np.ndarray
    _solved: Optional[tuple[np.ndarray, np.ndarray]] = None

    def _finished(self) -> tuple[np.ndarray, np.ndarray]:
        if self._solved is None:
            solved = self.fp.solve_transposed_root(self.root)
            z, W_field = solved[:, 0], np.ascontiguousarray(solved[:, 1:])
            self._solved = (W_field, z - W_field @ self.mean_fixed)
        return self._solved

    @property
    def W_field(self) -> np.ndarray:
        return self._finished()[0]

    @property
    def mean_field(self) -> np.ndarray:
        return self._finished()[1]


class ExactModel(LatentModel):
    """The model of the module's note for one data set: assembled once, evaluated at many
    theta."""

    def __init__(self, structure: LatentStructure, y: np.ndarray,
                 backend: Optional[str] = None) -> None:
        super().__init__(structure, backend)
        A, X = structure.A, structure.X
        self.y = np.asarray(y, dtype=np.float64)
        self.AtA = (A.T @ A).tocsr()
        self.AtX = np.asarray(A.T @ X).reshape(self.n, self.k)
        self.Aty = np.asarray(A.T @ self.y).ravel()
        self.XtX, self.Xty, self.yty = X.T @ X, X.T @ self.y, float(self.y @ self.y)

    def _noise(self, theta: np.ndarray) -> float:
        psi = self.structure.psi(theta)
        assert psi is not None, "the exact model needs the noise sd's entry of theta"
        return float(np.exp(-2.0 * psi))

    # ---- one evaluation ----------------------------------------------------------------------

    def evaluate(self, theta, *, gradient: bool = True, keep: bool = False,
                 value_only: bool = False) -> Evaluation:
        """log p(y | theta) and, as asked, its gradient and the posterior given theta
        (exact: `value_only` changes nothing).

        Raises factor.NotPositiveDefiniteError where the matrices are not numerically
        positive definite (hyperparameters far out of scale).
        """
        return self.complete(self._value(theta), gradient=gradient, keep=keep)

    def _value(self, theta, likelihood: bool = True) -> Evaluation:
        theta = np.asarray(theta, dtype=np.float64)
        s = self.structure
        weights = np.r_[s.coefficients(theta), self._noise(theta)]
        t = weights[-1]
        if self._P is None:
            self._last["P"] = (tuple(theta), self._prepare(weights, extra=[self.AtA]))
        assert self._P is not None
        P = self._P
        fp = self._factor("P", tuple(theta), lambda: P.matrix(weights))
        if workers.has_spare_core():   # the gradient will want it: start it beside the rest
            assert self._reader is not None
            self._reader.start(fp)

        # Only inner products of P_xx⁻¹ with Aᵀy and AᵀX enter the value: with root =
        # R⁻¹ P t [Aᵀy, AᵀX], t aᵀ P_xx⁻¹ t b = (R⁻¹ P t a)ᵀ (R⁻¹ P t b), half a solve.
        root = fp.solve_root(t * np.column_stack([self.Aty, self.AtX]))
        y_root, X_root = root[:, 0], root[:, 1:]
        S = t * self.XtX + np.diag(self.fixed_precision) - X_root.T @ X_root
        S = 0.5 * (S + S.T)
        try:
            S_factor = linalg.cho_factor(S, lower=True) if self.k else None
        except linalg.LinAlgError as exc:
            raise factor.NotPositiveDefiniteError(
                "the fixed effects' posterior precision is not positive definite") from exc
        S_inv = linalg.cho_solve(S_factor, np.eye(self.k)) if S_factor else np.zeros((0, 0))
        cross = X_root.T @ y_root                     # t AᵀX P_xx⁻¹ t Aᵀy
        mean_fixed = S_inv @ (t * self.Xty - cross)
        logdet_S = 2.0 * float(np.sum(np.log(np.diag(S_factor[0])))) if S_factor else 0.0
        # bᵀ mean: t Aᵀy · mean_field + t Xᵀy · mean_fixed, mean_field = z - W mean_fixed
        b_mean = float(y_root @ y_root) + float((t * self.Xty - cross) @ mean_fixed)
        logdet_Q, tokens = s.logdet(theta) if likelihood else (np.nan, None)
        log_likelihood = 0.5 * (logdet_Q + float(np.sum(np.log(self.fixed_precision)))
                                + self.n_obs * np.log(t) - fp.logdet() - logdet_S
                                - t * self.yty + b_mean - self.n_obs * LOG_2PI)
        out = Evaluation(theta=theta, log_likelihood=float(log_likelihood))
        out._state = _State(fp, tokens, root, S_inv, mean_fixed)
        return out

    def complete(self, out: Evaluation, *, gradient: bool = True, keep: bool = False) -> Evaluation:
        """Adds to an evaluation its gradient (if asked) and the posterior given theta (if
        kept), from the factors it kept: no matrix is factored again."""
        state = out._state
        if state is None or not (gradient or keep):
            return out
        theta, s = out.theta, self.structure
        t = self._noise(theta)
        wanted = gradient and out.gradient is None
        if wanted:   # first: the prior's factors' part, while fp's selected inverse may be under way
            assert state.tokens is not None, "a gradient needs the evaluation's log |Q|"
            d_logdet_Q = s.logdet_gradient(theta, state.tokens)
        sigma_lower, sigma_pairs = self._selected(state.fp)
        W_field, S_inv = state.W_field, state.S_inv
        mean_field, mean_fixed = state.mean_field, state.mean_fixed
        if wanted:
            traces = self._traces(sigma_lower, W_field, W_field @ S_inv)  # tr(Cov(x) M_k)
            quadratic = self._quadratic(mean_field, mean_field)
            residual = self.y - s.A @ mean_field - s.X @ mean_fixed
            grad = 0.5 * d_logdet_Q - 0.5 * s.coefficient_gradient(theta) @ (traces + quadratic)
            trace_prior = float(s.coefficients(theta) @ traces) \
                + float(np.diag(S_inv) @ self.fixed_precision)
            grad[s.family_index] = (-self.n_obs + (self.n + self.k) - trace_prior
                                    + t * float(residual @ residual))
            out.gradient = grad
        if keep and out.conditional is None:
            out.conditional = self._conditional(theta, out.log_likelihood, state.fp, sigma_lower,
                                                sigma_pairs, W_field, S_inv, mean_field, mean_fixed)
        if out.conditional is not None and out.gradient is not None:
            out._state = None  # nothing left to compute: let the factors go
        return out


class LatentGaussian(ExactModel):
    """The Gaussian model with the static field alone, from its parts: the field's
    precision, the observations, the mesh's edges and the fixed effects' prior sds."""

    def __init__(self, field, data: Observations, edges, fixed_prior_sd,
                 backend: Optional[str] = None) -> None:
        from .families import Gaussian

        super().__init__(static_structure(field, data, edges, fixed_prior_sd, Gaussian(),
                                          backend=backend), data.y, backend)
