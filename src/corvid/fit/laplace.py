"""Non-Gaussian observations at given hyperparameters: the Laplace approximation.

    eta = A u + X beta + offset,   y_i ~ p(y_i | eta_i, psi),
    u ~ N(0, Q(theta)⁻¹),   beta ~ N(0, V),

u the blocks of a `LatentStructure` (the static field, the effects), Q(theta) =
blockdiag(Q_b), psi the family's own hyperparameter (its entry of theta). Given theta, the
latent vector x = (u, beta) has its mode x* found by Newton's method on the sparse system
H = [[Q + Aᵀ W A, Aᵀ W X], [Xᵀ W A, Xᵀ W X + V⁻¹]], W = -d²log p/d eta² (the observed
information, which every family here keeps positive: their log densities are concave in
eta). Each step is factored by blocks as the Gaussian model is: the sparse field block by
the sparse Cholesky factor in one fixed fill-reducing ordering, the dense fixed-effect rows
by their Schur complement. A backtracking line search never lets the log density fall, and
the iteration stops when the Newton decrement gᵀ H⁻¹ g (twice the rise a further step would
bring) is below NEWTON_TOLERANCE (VALUE_TOLERANCE where the value alone is wanted, see
`LaplaceModel.evaluate`); each theta starts from the mode found at the nearest
theta before, and takes steps with an earlier factor while they converge fast (the chord
method, see `LaplaceModel._mode`), so that a theta near one met before costs one
factorisation rather than three or four.

At the mode,

    log p(y | theta) ≈ log p(y | x*) + log p(x* | theta) + ½ log |Q̃| - ½ log |H| + const,

with Q̃ = blockdiag(Q, V⁻¹) (the (2 pi) terms cancel): the Laplace approximation, every
constant of the likelihood included. Its gradient in theta is analytic. The mode moves with
theta, which enters through W: with v_i = Var(eta_i) (the selected inverse of the sparse
block plus the low-rank part of the fixed effects) and z = H⁻¹ Bᵀ (W' ∘ v), B = [A X],

    d/d theta_j = -½ u*ᵀ Q_j u* + ½ tr(Q⁻¹ Q_j) - ½ tr(Cov(u) Q_j) + ½ zᵀ Q_j u*,
    d/d psi     = Σ dl/d psi - ½ vᵀ dW/d psi - ½ (B z)ᵀ d(dl/d eta)/d psi.

The posterior given theta is Gaussian with covariance H⁻¹ (no dense inverse is formed). Its
mean is the mode moved by the first-order correction for the likelihood's skewness,
-½ z = ½ H⁻¹ Bᵀ (l''' ∘ v), the mean part of the simplified Laplace approximation: the
third-order term of the log density at the mode shifts the mean by this much.

Re-creating the posterior at a theta (a design point of a fit): `factored(theta)` runs
Newton's method from the nearest mode and returns the factored H with the corrected mean
(`corvid.fit.latent.Factored`).
"""

from __future__ import annotations

import bisect
import contextlib
import dataclasses
import threading
from typing import Iterator, Optional

import numpy as np
from scipy import linalg

from . import factor
from .expansion import cubic_pairs, pair_rows
from .families import Family, FamilyData
from .latent import Evaluation, Factored, LatentModel, static_structure
from .observations import Observations
from .precision import FieldPrecision
from .schur import fixed_schur
from .structure import LatentStructure

__all__ = ["LaplaceModel", "LaplaceLatent", "NEWTON_TOLERANCE"]

NEWTON_TOLERANCE = 1e-16   # Newton decrement at the mode: the mode within 1e-8 sd
RESOLUTION = 1e-12         # relative: rises of the log density below this are rounding
MAX_NEWTON = 200           # factorisations and chord steps
CHORD_CONTRACTION = 1e-2   # a step with an earlier factor must cut the decrement this much
CHORD_TARGET = 1e-24       # chord steps, costing a solve, take the mode to about 1e-12 sd
# An evaluation wanted for its value alone (a point of the hyperparameters' marginals) needs
# no gradient, whose error is first order in the mode's: the mode within 1e-5 sd moves the
# value by under 1e-6 nats on the region benchmark's 10^5 counts, and saves the second
# factorisation that the tighter tolerance often takes.
VALUE_TOLERANCE = 1e-10
VALUE_CHORD_TARGET = 1e-14
KEPT_MODES = 64            # modes kept as starting points
KEPT_FACTORS = 2           # their factors kept for chord steps, the most recently used
MAX_HALVINGS = 60


@dataclasses.dataclass
class _Block:
    """The factored posterior precision at a point: the sparse block's factor, P_ub, W =
    P_uu⁻¹ P_ub and the Schur complement's Cholesky factor and inverse."""

    fp: factor.SparseFactor
    P_ub: np.ndarray
    W_field: np.ndarray
    S_factor: Optional[tuple]
    S_inv: np.ndarray

    def solve(self, rhs_u: np.ndarray, rhs_b: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """P⁻¹ (rhs_u, rhs_b), by blocks."""
        return self.completed(self.fp.solve(rhs_u), rhs_b)

    def completed(self, a: np.ndarray, rhs_b: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """P⁻¹ (rhs_u, rhs_b) given a = P_uu⁻¹ rhs_u."""
        b = self.S_inv @ (rhs_b - self.P_ub.T @ a) if self.S_factor \
            else np.zeros((0,) + a.shape[1:])
        return a - self.W_field @ b, b

    def logdet(self) -> float:
        schur = 2.0 * float(np.sum(np.log(np.diag(self.S_factor[0])))) if self.S_factor else 0.0
        return self.fp.logdet() + schur


@dataclasses.dataclass
class _State:
    block: _Block
    tokens: Optional[list]
    u: np.ndarray
    b: np.ndarray
    eta: np.ndarray
    third: np.ndarray    # d³ log p / d eta³ at the mode
    skew: Optional[tuple] = None   # LaplaceModel._skew's, once computed


class LaplaceModel(LatentModel):
    """The model of the module's note for one data set and family, evaluated at many theta.

    `start_fixed` (k,) is where the first Newton iteration starts the fixed effects (the
    latent blocks start at zero); later ones start from the last mode. Without
    `mean_correction` the posterior given theta has its mean at the mode.
    """

    def __init__(self, structure: LatentStructure, family_data: FamilyData,
                 backend: Optional[str] = None, start_fixed: Optional[np.ndarray] = None,
                 mean_correction: bool = True) -> None:
        super().__init__(structure, backend)
        self.mean_correction = mean_correction
        self.family, self.family_data = structure.family, family_data
        self.A = structure.A
        self.At = self.A.T.tocsr()
        self.X = structure.X
        self._start = (np.zeros(self.n), np.zeros(self.k) if start_fixed is None
                       else np.asarray(start_fixed, dtype=np.float64).copy())
        self._modes: list[tuple[np.ndarray, np.ndarray, np.ndarray]] = []  # (theta, u, b)
        self._blocks: list[tuple[np.ndarray, _Block]] = []   # (theta, its mode's factor)
        self._pair_rows = pair_rows(self.n_obs)
        self.factorisations = 0  # of the posterior precision
        self.chord_steps = 0     # steps with an earlier point's factor

    def release(self) -> None:
        super().release()
        self._blocks = []
        self._pending: Optional[list] = None   # what evaluations made together found
        self._pending_lock = threading.Lock()

    def __getstate__(self) -> dict:
        state = super().__getstate__()
        del state["_pending_lock"]          # a lock does not pickle: a new one on arrival
        return state

    def __setstate__(self, state: dict) -> None:
        self.__dict__.update(state)
        self._pending_lock = threading.Lock()

    @contextlib.contextmanager
    def together(self) -> Iterator[None]:
        """Evaluations made within start from the modes and factors kept before they began,
        and what they find is kept after all are done, in the order of their theta: each
        is then the same whether they run one after another or at once, in any order."""
        if self._pending is not None:     # already within: one batch
            yield
            return
        self._pending = []
        try:
            yield
        finally:
            found, self._pending = self._pending, None
            for _, theta, u, b, block in found or ():
                self._remember(theta, u, b, block)

    def _found_together(self, theta: np.ndarray, u: np.ndarray, b: np.ndarray,
                        block: _Block) -> None:
        """Keeps what an evaluation made together found, in theta's order; only the factors
        that will be kept after the batch (the last KEPT_FACTORS in that order) stay held
        meanwhile: a batch would otherwise hold one per point."""
        pending = self._pending
        assert pending is not None
        with self._pending_lock:
            key = tuple(theta)
            at = bisect.bisect_right([item[0] for item in pending], key)
            pending.insert(at, (key, theta.copy(), u, b, block))
            for k in range(max(0, len(pending) - KEPT_FACTORS)):
                pending[k] = (*pending[k][:4], None)

    # ---- the mode -------------------------------------------------------------------------

    def _psi(self, theta: np.ndarray) -> Optional[float]:
        return self.structure.psi(theta)

    def _objective(self, c: np.ndarray, psi: Optional[float], u: np.ndarray, b: np.ndarray):
        """(log density of (y, x) up to the prior's constants, eta, Q u, the size of the
        terms summed into it), c the terms' coefficients. The size is what its rounding is
        relative to: where the prior's terms nearly cancel (an AR(1) as rho nears 1) it is
        far larger than the log density."""
        Qu = np.zeros(self.n)
        size = 0.0
        for weight, term in zip(c, self.structure.terms):
            Tu = weight * (term @ u)
            size += abs(float(u @ Tu))
            Qu += Tu
        eta = self.A @ u + self.X @ b + self.family_data.offset
        with np.errstate(over="ignore", invalid="ignore"):
            likelihood = float(np.sum(self.family.log_density(self.family_data, eta, psi)))
            value = likelihood - 0.5 * float(u @ Qu) - 0.5 * float(self.fixed_precision @ b**2)
        if not np.isfinite(value):
            return -np.inf, eta, Qu, 1.0
        return value, eta, Qu, max(1.0, abs(value), abs(likelihood) + 0.5 * size)

    def _block(self, c: np.ndarray, W: np.ndarray, rhs_u: np.ndarray) -> tuple[_Block, np.ndarray]:
        """The factored posterior precision with observation weights W, and P_uu⁻¹ rhs_u
        (solved with the fixed effects' columns, in one pass over the factor)."""
        if self._P is None:
            fp = self._prepare(c, rows=self.A, row_weights=W)
        else:
            assert self._P is not None
            fp = self._last["P"][1].refactor_permuted(self._P.matrix(c, W))
        self._last["P"] = (None, fp)
        WX = W[:, None] * self.X
        P_ub = np.asarray(self.At @ WX).reshape(self.n, self.k)
        solved = fp.solve(np.column_stack([P_ub, rhs_u])).reshape(self.n, self.k + 1)
        W_field, a = np.ascontiguousarray(solved[:, :self.k]), solved[:, self.k]
        S_factor, S_inv = None, np.zeros((0, 0))
        if self.k:
            QW = np.zeros_like(W_field)
            for weight, term in zip(c, self.structure.terms):
                QW += weight * (term @ W_field)
            S = fixed_schur(self.X, W, self.A, W_field, QW, self.fixed_precision)
            try:
                S_factor = linalg.cho_factor(S, lower=True)
            except linalg.LinAlgError as exc:
                raise factor.NotPositiveDefiniteError(
                    "the fixed effects' posterior precision is not positive definite") from exc
            S_inv = linalg.cho_solve(S_factor, np.eye(self.k))
        return _Block(fp, P_ub, W_field, S_factor, S_inv), a

    def _nearest_mode(self, theta: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The mode found at the theta nearest this one (the last at equal distance)."""
        if not self._modes:
            return self._start
        distances = [float(np.sum((theta - t) ** 2)) for t, _, _ in self._modes]
        nearest = len(distances) - 1 - int(np.argmin(distances[::-1]))
        _, u, b = self._modes[nearest]
        return u, b

    def _nearest_block(self, theta: np.ndarray) -> Optional[_Block]:
        """The kept factor made nearest this theta, now the most recently used."""
        if not self._blocks:
            return None
        kept = self._blocks
        nearest = int(np.argmin([float(np.sum((theta - t) ** 2)) for t, _ in kept]))
        block = kept[nearest][1]
        if self._pending is None:    # alone: now the most recently used
            self._blocks = [*kept[:nearest], *kept[nearest + 1:], kept[nearest]]
        return block

    def _remember(self, theta: np.ndarray, u: np.ndarray, b: np.ndarray,
                  block: Optional[_Block]) -> None:
        self._modes = [*self._modes[-(KEPT_MODES - 1):], (theta.copy(), u, b)]
        if block is not None:
            self._blocks = [*self._blocks[-(KEPT_FACTORS - 1):], (theta.copy(), block)]

    def _working_start(self, c: np.ndarray, u: np.ndarray,
                       b: np.ndarray) -> tuple[np.ndarray, Optional[_Block]]:
        """Where to start the first mode: the field that fits the family's working response
        by weighted least squares given b (a GLM's classic start, mu = y + 1/2 for counts),
        and its factor for the first steps; (u, None) where the working response cannot
        give one. From zero, Newton's method took 8 factorisations on the region's 10^5
        counts, the exponential's curvature misleading its first steps."""
        z, sampling = self.family.working(self.family_data)
        with np.errstate(divide="ignore", invalid="ignore"):
            W = 1.0 / np.asarray(sampling, dtype=np.float64)
            rhs = self.At @ (W * (z - self.X @ b))
        if not (np.all(np.isfinite(W)) and np.all(W > 0.0) and np.all(np.isfinite(rhs))):
            return u, None
        try:
            block, fitted = self._block(c, W, rhs)
        except factor.NotPositiveDefiniteError:
            return u, None
        self.factorisations += 1
        return fitted, block

    def _mode(self, theta: np.ndarray, value_only: bool = False) -> tuple[float, _State]:
        """Newton's method from the nearest mode found; (log density at the mode, the state
        there). Where the steps with an earlier factor end without the mode (seen from modes
        far away, far out in theta), it starts again and factors at every step: they never
        lose a mode that the plain method finds."""
        tolerances = (VALUE_TOLERANCE, VALUE_CHORD_TARGET) if value_only \
            else (NEWTON_TOLERANCE, CHORD_TARGET)
        try:
            return self._newton(theta, True, *tolerances)
        except factor.NotPositiveDefiniteError:
            return self._newton(theta, False, *tolerances)

    def _newton(self, theta: np.ndarray, chords: bool, tolerance: float,
                chord_target: float) -> tuple[float, _State]:
        """Newton's method from the nearest mode found, with chord steps if `chords`.

        A factor made at another point (a recent mode, the last Newton step) still gives a
        step toward the mode, for a solve rather than a factorisation: the chord method. Its
        steps are taken while each cuts the decrement at least CHORD_CONTRACTION times
        (from a mode at a theta nearby, the first step is the new mode's first-order
        prediction), down to `chord_target`; then, or as soon as they stop cutting it, the
        point is factored afresh. The mode is accepted only on the decrement of its own
        factor, the factor its log determinant comes from, so the value and its gradient
        are those of a mode to `tolerance` or better, however it was reached."""
        c, psi = self.structure.coefficients(theta), self._psi(theta)
        u, b = (v.copy() for v in self._nearest_mode(theta))
        block = self._nearest_block(theta) if chords else None
        if not self._modes and chords:
            u, block = self._working_start(c, u, b)
        value, eta, Qu, size = self._objective(c, psi, u, b)
        if not np.isfinite(value):
            u, b = (v.copy() for v in self._start)
            value, eta, Qu, size = self._objective(c, psi, u, b)
        before = np.inf        # the decrement of the step that led here
        last_small = np.inf    # that of the last Newton step below the resolution
        for _ in range(MAX_NEWTON):
            d1, d2, _ = self.family.derivatives(self.family_data, eta, psi)
            g_u = self.At @ d1 - Qu
            g_b = self.X.T @ d1 - self.fixed_precision * b
            chord = False
            if chords and block is not None:      # an earlier point's factor
                step_u, step_b = block.solve(g_u, g_b)
                decrement = float(g_u @ step_u + g_b @ step_b)
                chord = chord_target < decrement <= CHORD_CONTRACTION * before
            if chord:
                self.chord_steps += 1
            else:
                block, solved = self._block(c, -d2, g_u)
                step_u, step_b = block.completed(solved, g_b)
                decrement = float(g_u @ step_u + g_b @ step_b)
                self.factorisations += 1
                if decrement <= tolerance:
                    break
            if 0.5 * decrement <= RESOLUTION * size:
                # The rise left is below what the summed log density resolves, so a line
                # search cannot judge the step; this close to the mode Newton's own step is
                # sure, until the decrement stops falling (the rounding of the gradient).
                if not chord:
                    if decrement >= 0.5 * last_small:
                        break
                    last_small = decrement
                u, b = u + step_u, b + step_b
                value, eta, Qu, size = self._objective(c, psi, u, b)
            elif chord:
                trial = self._objective(c, psi, u + step_u, b + step_b)
                if trial[0] < value:     # the earlier factor overshoots: factor here
                    block, before = None, np.inf
                    continue
                u, b = u + step_u, b + step_b
                value, eta, Qu, size = trial
            else:
                for halving in range(MAX_HALVINGS):
                    s = 0.5**halving
                    trial = self._objective(c, psi, u + s * step_u, b + s * step_b)
                    if trial[0] >= value:
                        u, b = u + s * step_u, b + s * step_b
                        value, eta, Qu, size = trial
                        break
                else:
                    raise factor.NotPositiveDefiniteError(
                        f"Newton's method for the latent mode found no higher point (decrement "
                        f"{decrement:.3g}): the log density is not concave here")
            before = decrement
        else:
            raise factor.NotPositiveDefiniteError(
                f"Newton's method for the latent mode did not converge in {MAX_NEWTON} steps")
        assert block is not None
        if self._pending is None:
            self._remember(theta, u, b, block)
        else:
            self._found_together(theta, u, b, block)
        third = self.family.derivatives(self.family_data, eta, psi)[2]
        return value, _State(block, None, u, b, eta, third)

    # ---- one evaluation ---------------------------------------------------------------------

    def evaluate(self, theta, *, gradient: bool = True, keep: bool = False,
                 value_only: bool = False) -> Evaluation:
        """The Laplace approximation of log p(y | theta) and, as asked, its gradient and
        the posterior given theta. `value_only`: the evaluation will never be completed,
        so its mode is found to VALUE_TOLERANCE. Raises factor.NotPositiveDefiniteError
        where the matrices are not numerically positive definite or the mode cannot be
        found."""
        if value_only and (gradient or keep):
            raise ValueError("an evaluation for its value alone has no gradient or posterior")
        return self.complete(self._value(theta, value_only=value_only), gradient=gradient,
                             keep=keep)

    def _value(self, theta, likelihood: bool = True, value_only: bool = False) -> Evaluation:
        theta = np.asarray(theta, dtype=np.float64)
        value, state = self._mode(theta, value_only)
        logdet_Q, state.tokens = self.structure.logdet(theta) if likelihood else (np.nan, None)
        log_likelihood = value + 0.5 * (logdet_Q + float(np.sum(np.log(self.fixed_precision)))
                                        - state.block.logdet())
        out = Evaluation(theta=theta, log_likelihood=float(log_likelihood))
        out._state = state
        return out

    def factored(self, theta) -> Factored:
        """The factored posterior at theta: H at the mode, its mean the corrected one."""
        state = self._value(theta, likelihood=False)._state
        assert state is not None
        _, _, _, _, z_u, z_b = self._skew(state)
        shift = 0.5 if self.mean_correction else 0.0
        block = state.block
        return Factored(block.fp, block.W_field, block.S_inv, state.u - shift * z_u,
                        state.b - shift * z_b)

    def _skew(self, state: _State):
        """(the sparse block's selected inverse at its lower pattern and at the prediction
        pairs, v = Var(eta) (n_obs,), W' ∘ v (n_obs,), z = H⁻¹ Bᵀ (W' ∘ v) as (z_u, z_b))."""
        if state.skew is not None:
            return state.skew
        block = state.block
        sigma_lower, sigma_edges = self._selected(block.fp)
        assert self._P is not None
        R = self.A @ block.W_field - self.X
        variance = self._P.rows_quadratic(sigma_lower) + np.sum((R @ block.S_inv) * R, axis=1)
        weight_slope = -state.third * variance                     # W' ∘ v
        z_u, z_b = block.solve(self.At @ weight_slope, self.X.T @ weight_slope)
        state.skew = (sigma_lower, sigma_edges, variance, weight_slope, z_u, z_b)
        return state.skew

    def expansion(self, out: Evaluation) -> float:
        """The next terms of the Laplace expansion (see `corvid.fit.expansion`) at an
        evaluation that still holds its state (one without gradient or posterior)."""
        state = out._state
        if state is None:
            raise ValueError("the evaluation no longer holds its factors")
        _, _, variance, weight_slope, z_u, z_b = self._skew(state)
        fourth = self.family.fourth(self.family_data, state.eta, self._psi(out.theta))
        block = state.block

        def columns(r: np.ndarray) -> np.ndarray:
            rhs_u = self.A[r].T.toarray()
            solved_u, solved_b = block.solve(rhs_u, self.X[r].T)
            return np.asarray(self.A @ solved_u) + self.X @ solved_b

        pairs = cubic_pairs(state.third, self._pair_rows, columns)
        return (float(fourth @ variance**2) / 8.0
                + float(weight_slope @ (self.A @ z_u + self.X @ z_b)) / 8.0 + pairs / 12.0)

    def complete(self, out: Evaluation, *, gradient: bool = True, keep: bool = False) -> Evaluation:
        """Adds the gradient (if asked) and the posterior given theta (if kept) from the
        factors the evaluation kept."""
        state = out._state
        if state is None or not (gradient or keep):
            return out
        theta, s = out.theta, self.structure
        block = state.block
        sigma_lower, sigma_pairs, variance, weight_slope, z_u, z_b = self._skew(state)
        if gradient and out.gradient is None:
            traces = self._traces(sigma_lower, block.W_field, block.W_field @ block.S_inv)
            quadratic = self._quadratic(state.u, state.u)
            moved = self._quadratic(z_u, state.u)
            d_logdet_Q = s.logdet_gradient(theta, state.tokens)
            grad = 0.5 * d_logdet_Q + s.coefficient_gradient(theta) @ (
                0.5 * (moved - quadratic - traces))
            psi = self._psi(theta)
            if psi is not None:
                dl, d_first, d_second = self.family.hyper_derivatives(self.family_data, state.eta, psi)
                eta_z = self.A @ z_u + self.X @ z_b
                grad[s.family_index] = (float(np.sum(dl)) + 0.5 * float(variance @ d_second)
                                        - 0.5 * float(eta_z @ d_first))
            out.gradient = grad
        if keep and out.conditional is None:
            shift = 0.5 if self.mean_correction else 0.0
            out.conditional = self._conditional(
                theta, out.log_likelihood, block.fp, sigma_lower, sigma_pairs, block.W_field,
                block.S_inv, state.u - shift * z_u, state.b - shift * z_b)
            out.conditional.mode, out.conditional.mode_fixed = state.u, state.b
        if out.conditional is not None and out.gradient is not None:
            out._state = None
        return out


class LaplaceLatent(LaplaceModel):
    """The Laplace model with the static field alone, from its parts: the field's
    precision, the observations, the family and its data, the mesh's edges and the fixed
    effects' prior sds."""

    def __init__(self, field: FieldPrecision, data: Observations, family: Family,
                 family_data: FamilyData, edges, fixed_prior_sd, backend: Optional[str] = None,
                 start_fixed: Optional[np.ndarray] = None, mean_correction: bool = True) -> None:
        super().__init__(static_structure(field, data, edges, fixed_prior_sd, family,
                                          backend=backend),
                         family_data, backend, start_fixed, mean_correction)
