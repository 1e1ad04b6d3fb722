"""The hyperparameters' marginal posteriors, from the log posterior's fall along each one's ridge.

The posteriors of the range and sigma have long tails on the log scale, and together they
bend: where the data say little about the range, sigma grows with it, so the joint
posterior of (log range, log sigma) is a banana. exp(mode ± 1.96 se), from the curvature at
the mode alone, cuts the tails off; so do independent skewed Gaussians along theta's
principal axes, which cannot follow the bend (on North Carolina's SIDS counts they left 10%
of sigma's mass above the upper bound).

Instead, each hyperparameter's marginal is measured along its own ridge. In sd units t of
theta_j (theta_j = centre_j + sd_j t), the posterior is integrated across the ridge, over
the others' two widest conditional directions (u and v, one sd of each, from the precision
at the mode), by Gauss-Hermite's three points along each: the ridge's point p and p ±
sqrt(3) u, weighted 2/3 and 1/6, each value times the Gaussian's exp(s²/2) there, and the
same along v, the two directions' gains over p's value added. Its log, relative to the
same integral at the centre, is the marginal's fall f(t): the profile's fall less the
change in the conditional's width. (With more than three hyperparameters the others'
narrower directions are taken to keep their width and the Gaussian's line.) Two
directions, because where a noise sd can vanish the field's sigma and range trade off
with it at once: on the Meuse zinc data, one direction left 9% of the noise sd's mass
below its lower bound, and the ridge's point p missed the bend across v by a whole sd.
The ridge's point p starts on the line where a Gaussian puts the others (theta = centre +
Cov[:, j] t / sd_j), moved across by where the parabolas through the last distance's
points peaked, grown as t² (the bend's leading term). Where the posterior bends, the
conditional's width grows along the ridge: on North Carolina's SIDS counts, the profile
alone left the upper bound of the range 0.15 sd inside its own posterior's. Where the
ridge bends faster than t², the predicted point lands off it, and the three-point rule
around a point off the ridge misjudges the integral across (on the Meuse zinc data, the
range's fall at 3 sd by a whole nat): where the parabola across peaks a conditional sd or
more from the point, that distance is measured once more around the peak, which becomes
the point. With three hyperparameters, one of them the scale of a continuous response's
scatter (a noise sd, which the field can take over as it vanishes), where the posterior
across is far from Gaussian (a change in some ridge's integral across of LOUD per sd of
theta_j or more at the first distance, against its value at the centre), three points per
direction are not to be trusted anywhere: every ridge, and the centre, is then integrated
across the plane of the other two on a grid that follows the posterior's mass
(`corvid.fit.across_grid`), and its point moves with the mean across. The plane is then
all there is across, so the grid's integral is exact to its resolution. With more, the
others' narrower directions are taken as Gaussian in any case, and a grid for each of 2d
ridges at 20 to 90 evaluations a point would cost more than the whole fit; they keep the
three points. So do fits without such a scatter: no arm has been seen there, and a Laplace
evaluation costs many factorisations.

Each side is measured at the DISTANCES 1.5, 3 and 4.5 sd (4.5 only where the side's tail
is heavy: a scale above LIGHT_TAIL at 3 sd), and each measurement gives that distance's
scale s = |t| / sqrt(2 f(t)), the sd of the Gaussian that falls as much there (1
everywhere for a Gaussian posterior). The marginal is then

    p(t) ∝ exp(-t² / (2 s(t)²)),

s(t) linear between 1 at the mode and the measured scales: the "asymmetric standard
deviations" of the integrated nested Laplace approximation's hyperparameter marginals
(Martins, Simpson, Lindgren and Rue 2013, Computational Statistics & Data Analysis 67,
68-83), measured at three distances and along the ridge rather than one distance on a
straight axis. Beyond the last distance the fall goes on growing as the power of |t| it
grew by between the last two, held between 2 (a Gaussian's tail, as a constant scale
gives) and 1 (an exponential tail, which is how the priors of a sigma, a range or a noise
sd end on the log scale): held at the last scale, log G for G ~ Gamma(0.2) left 7.7%
below its lower bound. Its quantiles and moments on a grid give the reported interval and
sd, in the hyperparameter's own units: exp(theta_j), or another increasing map of theta_j
where its block reports it so (a correlation rho = tanh(theta_j / 2)). Where the upper
tail is heavier than a Gaussian's and exp(2 theta_j)'s mass lies beyond the last distance,
the sd is inf: there it would be what the extrapolation makes it (and a range left to its
prior, falling as range⁻², has no finite variance).

The second direction across is measured beyond 1.5 sd only where its gain's change from
the centre's, or its peak, grown as t² out to 4.5 sd, would reach SECOND_CHANGE or
SECOND_PEAK; elsewhere it keeps its width at the centre and its line.

Cost, per hyperparameter: two evaluations across the centre per direction, and per side
two or three distances of three (two hyperparameters) or five evaluations each: 14 to 20
with two hyperparameters, 20 to 34 each with more (4 to 6 for a model with one
hyperparameter, measured along its line alone); a distance measured again around the
ridge's peak costs its three or five once more. On a grid, each point costs 20 to 90.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Callable, List, Optional, Sequence, Tuple

import numpy as np
from scipy import special

from .across_grid import integrals_across
from .factor import NotPositiveDefiniteError

__all__ = ["DISTANCES", "ridge_scales", "marginal_summary", "hyperparameter_marginals"]

DISTANCES = (1.5, 3.0, 4.5)   # sd of theta_j at which each side is measured
LIGHT_TAIL = 1.2     # a scale at 3 sd up to this puts the 97.5% point well inside: no 4.5
SCALE_LIMITS = (0.2, 5.0)     # a scale relative to the Gaussian's
HERMITE_NODE = math.sqrt(3.0)      # Gauss-Hermite's three points: 0 and ±sqrt(3) sd,
HERMITE_WEIGHTS = (2.0 / 3.0, 1.0 / 6.0)   # weighted 2/3 and 1/6 each
ACROSS = 2           # the others' widest directions integrated across, one at a time;
SECOND_CHANGE = 0.05  # the second is measured further out only where its gain's change from
SECOND_PEAK = 0.25    # the centre's, or its peak in sds, grown as t² to the last distance,
                      # would reach this much
OFF_RIDGE = 1.0      # a peak across this many sds from the point: measured again around it
LOUD = 0.07          # a change across, per sd of theta_j, that puts every ridge on a grid
GRID = 20001         # points of the grid on which the marginal is integrated
FALL_REACHED = 30.0  # the grid reaches where the fall is this on both sides,
REACH_LIMIT = 400.0  # or this many sd of theta_j if that is nearer
PROBABILITIES = (0.025, 0.975)

# evaluate(offset from the centre) -> log posterior relative to the centre's;
# NotPositiveDefiniteError where it cannot be had
Evaluate = Callable[[np.ndarray], float]
# the same at several offsets at once: None in place of a value that cannot be had
EvaluateAll = Callable[[List[np.ndarray]], List[Optional[float]]]


def _one_by_one(evaluate: Evaluate) -> EvaluateAll:
    def evaluate_all(offsets: List[np.ndarray]) -> List[Optional[float]]:
        values: List[Optional[float]] = []
        for offset in offsets:
            try:
                values.append(evaluate(offset))
            except NotPositiveDefiniteError:
                values.append(None)
        return values
    return evaluate_all


def _across(low: Optional[float], middle: float, high: Optional[float]) -> Tuple[float, float]:
    """(log of the posterior's integral across the ridge, relative to a standard
    Gaussian's, from its values at Gauss-Hermite's three points (None where out of
    numerical range: nothing there); where the parabola through them peaks, in sds of the
    direction across)."""
    low = -math.inf if low is None else low
    high = -math.inf if high is None else high
    total = HERMITE_WEIGHTS[0]
    for probe in (low, high):
        if np.isfinite(probe):
            lift = min(probe - middle + 0.5 * HERMITE_NODE**2, 50.0)
            total += HERMITE_WEIGHTS[1] * math.exp(lift)
    curvature = (2.0 * middle - low - high) / HERMITE_NODE**2
    shift = 0.0
    if np.isfinite(curvature) and curvature > 0.0:
        shift = float(np.clip((high - low) / (2.0 * HERMITE_NODE * curvature),
                              -HERMITE_NODE, HERMITE_NODE))
    return middle + math.log(total), shift


@dataclasses.dataclass
class _Walk:
    """One side of one hyperparameter's ridge, measured outwards a distance at a time."""

    j: int
    side: int
    point: np.ndarray      # the ridge's predicted point at the distance being measured
    shift: np.ndarray      # its move across from the Gaussian's line
    offset: np.ndarray     # the last distance's peak across
    last: float = 1.0      # the last distance measured
    scale: float = 1.0     # the scale found there
    across: int = 1        # the directions across measured at the next distance


def _directions_across(cov: np.ndarray) -> List[List[np.ndarray]]:
    """For each hyperparameter j, the others' ACROSS widest conditional directions given
    theta_j, each one conditional sd long (in theta; zero in entry j)."""
    d = cov.shape[0]
    precision = np.linalg.inv(cov)
    out = []
    for j in range(d):
        others = np.array([k for k in range(d) if k != j], dtype=int)
        directions = []
        if others.size:
            variances, vectors = np.linalg.eigh(np.linalg.inv(precision[np.ix_(others, others)]))
            for k in range(min(ACROSS, others.size)):
                u = np.zeros(d)
                u[others] = vectors[:, -1 - k] * math.sqrt(max(variances[-1 - k], 0.0))
                directions.append(u)
        out.append(directions)
    return out


def _nodes(point: np.ndarray, directions: List[np.ndarray]) -> List[np.ndarray]:
    """The ridge's point, then Gauss-Hermite's outer pair along each direction across."""
    return [point] + [point + sign * HERMITE_NODE * u for u in directions for sign in (-1, 1)]


def _gains_across(values: Sequence[Optional[float]], directions: List[np.ndarray]
                  ) -> Tuple[Optional[float], List[float], List[float]]:
    """(the ridge's point's value, or None where it is out of numerical range; each
    direction's gain: the log of the integral along it, relative to a standard Gaussian's,
    less the point's value; where the parabola along it peaks, in its sds), from the
    values at `_nodes`."""
    middle = values[0]
    if middle is None or not np.isfinite(middle):
        return None, [], []
    gains, peaks = [], []
    for k in range(len(directions)):
        value, found = _across(values[1 + 2 * k], middle, values[2 + 2 * k])
        gains.append(value - middle)
        peaks.append(found)
    return middle, gains, peaks


def _measured_across(many: EvaluateAll, measured: list, acrosses: list) -> dict:
    """{id(walk): _gains_across at the walk's point} for the walks measured at one distance,
    their points' nodes evaluated at once. Where the parabola across peaks OFF_RIDGE
    conditional sds or more from the point, the three-point rule around it is not to be
    trusted: such walks are measured once more around that peak, which becomes their
    point (and moves their shift) unless it is out of numerical range."""
    out: dict = {}
    before: dict = {}    # id(walk): (point, shift) before a walk moved to its peak
    pending = list(measured)
    for again in (False, True):
        nodes = [_nodes(walk.point, acrosses[walk.j][:walk.across]) for walk in pending]
        values = many([node for own in nodes for node in own])
        first, off_ridge = 0, []
        for walk, own in zip(pending, nodes):
            directions = acrosses[walk.j][:walk.across]
            found = _gains_across(values[first:first + len(own)], directions)
            first += len(own)
            middle, _, peaks = found
            if again and middle is None:     # the peak is out of range: keep the first
                walk.point, walk.shift = before[id(walk)]
                continue
            out[id(walk)] = found
            if not again and middle is not None and max(map(abs, peaks), default=0.0) >= OFF_RIDGE:
                moved = sum((peak * u for peak, u in zip(peaks, directions)),
                            np.zeros(walk.point.size))
                before[id(walk)] = (walk.point, walk.shift)
                walk.point, walk.shift = walk.point + moved, walk.shift + moved
                off_ridge.append(walk)
        if not off_ridge:
            break
        pending = off_ridge
    return out


def ridge_scales(evaluate: Optional[Evaluate], cov: np.ndarray,
                 evaluate_all: Optional[EvaluateAll] = None, *,
                 scatter: bool = True) -> np.ndarray:
    """(d, 2, len(DISTANCES)): each hyperparameter's scale on its lower and upper side at
    each distance (see the module's note); cov (d, d) theta's covariance at the centre.
    Every side of every hyperparameter is measured a distance at a time together, each
    distance's points handed to `evaluate_all` at once (to `evaluate` one by one without
    it). `scatter`: one of the hyperparameters is the scale of a continuous response's
    scatter, which can vanish (only then are the ridges ever integrated on a grid)."""
    if evaluate_all is None:
        if evaluate is None:
            raise TypeError("ridge_scales needs `evaluate` or `evaluate_all`")
        evaluate_all = _one_by_one(evaluate)
    many = evaluate_all
    d = cov.shape[0]
    scales = np.ones((d, 2, len(DISTANCES)))
    lines = [cov[:, j] / math.sqrt(cov[j, j]) for j in range(d)]
    acrosses = _directions_across(cov)

    # each direction's gain across each ridge at the centre, where the value is 0
    at_centre: List[List[float]] = [[] for _ in range(d)]
    if d > 1:
        values = many([node for j in range(d) for node in _nodes(np.zeros(d), acrosses[j])[1:]])
        width = 2 * len(acrosses[0])
        for j in range(d):
            at_centre[j] = _gains_across([0.0, *values[j * width:(j + 1) * width]],
                                         acrosses[j])[1]

    walks = [_Walk(j, side, np.zeros(d), np.zeros(d), np.zeros(d), across=len(acrosses[j]))
             for j in range(d) for side in (0, 1)]
    on_grid: Optional[List[float]] = None    # each ridge's integral across at the centre
    for i, t in enumerate(DISTANCES):
        measured = []
        for walk in walks:
            if i == 2 and walk.scale <= LIGHT_TAIL:
                scales[walk.j, walk.side, i:] = walk.scale
                continue
            walk.shift = walk.offset * (t / walk.last) ** 2
            walk.point = (2 * walk.side - 1) * t * lines[walk.j] + walk.shift
            measured.append(walk)
        if on_grid is None:
            found_at = _measured_across(many, measured, acrosses)
            if i == 0 and scatter and d == 3 and _loud(found_at, measured, at_centre, t):
                for walk in measured:     # back to the points predicted, off any peak
                    walk.point = (2 * walk.side - 1) * t * lines[walk.j] + walk.shift
                on_grid = []
        if on_grid is not None:
            found_at = _measured_on_grid(many, measured, acrosses, on_grid)
        walks = []
        for walk in measured:
            directions = acrosses[walk.j][:walk.across]
            middle, gains, peaks = found_at[id(walk)]
            if middle is None:
                # Out of numerical range: the tail ends before here; keep the last scale.
                scales[walk.j, walk.side, i:] = walk.scale
                continue
            if on_grid is not None:
                # middle: the integral across; peaks: the mean's offset across, in theta
                walk.offset, walk.last = walk.shift + peaks, t
                fall = on_grid[walk.j] - middle
            else:
                # A direction not measured keeps its width at the centre and its line.
                changes = [gain - centre for gain, centre in zip(gains, at_centre[walk.j])]
                found = sum((peak * u for peak, u in zip(peaks, directions)), np.zeros(d))
                walk.offset, walk.last = walk.shift + found, t
                fall = -middle - sum(changes)
            scale = t / math.sqrt(2.0 * fall) if fall > 0.0 else SCALE_LIMITS[1]
            walk.scale = float(np.clip(scale, *SCALE_LIMITS))
            scales[walk.j, walk.side, i] = walk.scale
            growth = (DISTANCES[-1] / t) ** 2    # a bend's, out to the last distance
            if (on_grid is None and walk.across > 1 and abs(changes[1]) * growth < SECOND_CHANGE
                    and abs(peaks[1]) * growth < SECOND_PEAK):
                walk.across = 1      # the second direction stays as at the centre
            walks.append(walk)
    return scales


def _loud(found_at: dict, measured: list, at_centre: List[List[float]], t: float) -> bool:
    """Whether the posterior across any ridge changes by LOUD per sd of theta_j or more at
    the first distance: then no three-point rule is to be trusted across (see
    `corvid.fit.across_grid`)."""
    for walk in measured:
        middle, gains, _ = found_at[id(walk)]
        if middle is not None and any(abs(gain - centre) >= LOUD * t
                                      for gain, centre in zip(gains, at_centre[walk.j])):
            return True
    return False


def _measured_on_grid(many: EvaluateAll, measured: list, acrosses: list,
                      on_grid: List[float]) -> dict:
    """{id(walk): (the integral across the walk's point over its plane, None where the point
    is out of range; [], the posterior's mean offset across in theta)} for the walks
    measured at one distance; the centre's integrals across each ridge first, into
    `on_grid`, if it is still empty."""
    d = len(acrosses)
    centres = [] if on_grid else [(np.zeros(d), acrosses[j]) for j in range(d)]
    points = centres + [(walk.point, acrosses[walk.j]) for walk in measured]
    found = integrals_across(many, [p for p, _ in points], [(u, v) for _, (u, v) in points])
    if centres:
        on_grid.extend(total if total is not None else 0.0 for total, _ in found[:d])
    return {id(walk): (total, [], mean)
            for walk, (total, mean) in zip(measured, found[len(centres):])}


def _tail_power(scales: np.ndarray) -> float:
    """The power of |t| at which one side's fall grew between its last two distances
    (scales (m,) at DISTANCES), held between 1 (an exponential tail) and 2 (a Gaussian's)."""
    (before, last), (s_before, s_last) = DISTANCES[-2:], scales[-2:]
    # fall t²/(2 s²) at both: its growth's power is 2 + 2 log(s_before/s_last)/log(ratio)
    power = 2.0 + 2.0 * math.log(s_before / s_last) / math.log(last / before)
    return float(np.clip(power, 1.0, 2.0))


def _density(scales: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """(t, density on t's grid, summing to 1) of the marginal with scales (2, m)."""
    last = DISTANCES[-1]
    powers = [_tail_power(scales[side]) for side in (0, 1)]
    falls = [0.5 * (last / scales[side][-1]) ** 2 for side in (0, 1)]
    reach = max(last * (FALL_REACHED / falls[side]) ** (1.0 / powers[side]) for side in (0, 1))
    half_width = min(max(reach, last), REACH_LIMIT)
    t = np.linspace(-half_width, half_width, GRID)
    knots = np.r_[-np.asarray(DISTANCES)[::-1], 0.0, DISTANCES]
    values = np.r_[scales[0][::-1], 1.0, scales[1]]
    fall = 0.5 * (t / np.interp(t, knots, values)) ** 2
    for side, beyond in ((0, t < -last), (1, t > last)):
        fall[beyond] = falls[side] * (np.abs(t[beyond]) / last) ** powers[side]
    # A fall that shrinks outwards would be a second mode the measurements cannot place.
    middle = GRID // 2
    fall[middle:] = np.maximum.accumulate(fall[middle:])
    fall[:middle + 1] = np.maximum.accumulate(fall[:middle + 1][::-1])[::-1]
    density = np.exp(-fall)
    return t, density / density.sum()


def marginal_summary(centre: float, sd: float, scales: Optional[np.ndarray],
                     probabilities: Sequence[float] = PROBABILITIES,
                     natural: Optional[Callable[[np.ndarray], np.ndarray]] = None) -> tuple:
    """(quantiles of exp(theta), sd of exp(theta)) for theta = centre + sd t, t's marginal
    having the scales (2, len(DISTANCES)) on its lower and upper side (None: Gaussian);
    of natural(theta) instead for another increasing map."""
    t, density = _density(np.ones((2, len(DISTANCES))) if scales is None else scales)
    x = sd * t
    cdf = np.cumsum(density) - 0.5 * density
    quantiles = np.interp(probabilities, cdf, x)
    if natural is not None:     # bounded maps: the moments directly
        values = natural(centre + x)
        mean = float(density @ values)
        variance = float(density @ (values - mean) ** 2)
        return natural(centre + quantiles), math.sqrt(max(variance, 0.0))
    # exp(theta)'s moments in logs: the grid may reach hundreds of sds out on a heavy side
    with np.errstate(divide="ignore"):
        log_density = np.log(density)
    if _tail_power((np.ones((2, len(DISTANCES))) if scales is None else scales)[1]) < 2.0 \
            and t[np.argmax(log_density + 2.0 * x)] > DISTANCES[-1]:
        # exp(2 theta)'s mass lies beyond the last distance measured, where the tail is
        # heavier than a Gaussian's: its variance is then what the extrapolation makes it,
        # infinite for an exponential tail falling no faster than exp(2 theta) grows (a
        # range's where the data leave it to its prior, whose density falls as range⁻²).
        return np.exp(centre + quantiles), math.inf
    first = special.logsumexp(log_density + x)
    second = special.logsumexp(log_density + 2.0 * x)
    with np.errstate(over="ignore"):
        spread = float(np.exp(centre + 0.5 * second)) * math.sqrt(max(-math.expm1(2.0 * first - second), 0.0))
    return np.exp(centre + quantiles), spread


def hyperparameter_marginals(theta: np.ndarray, theta_cov: np.ndarray,
                             scales: Optional[np.ndarray],
                             natural: Sequence[Optional[Callable]] = ()) -> np.ndarray:
    """(d, 3): each hyperparameter's 2.5% and 97.5% quantiles and sd, in its own units
    (exp(theta_j), or natural[j](theta_j) where that is given and not None), from the
    marginal the ridge's scales give (a Gaussian when `scales` is None); NaN without a
    finite covariance."""
    d = theta.size
    if not np.all(np.isfinite(theta_cov)):
        return np.full((d, 3), np.nan)
    out = np.empty((d, 3))
    for j in range(d):
        own = natural[j] if j < len(natural) else None
        sd = math.sqrt(max(float(theta_cov[j, j]), 0.0))
        quantiles, spread = marginal_summary(float(theta[j]), sd,
                                             None if scales is None else scales[j], natural=own)
        out[j] = (*quantiles, spread)
    return out
