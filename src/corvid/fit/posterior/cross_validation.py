"""K-fold and spatially blocked cross-validation: refit without each fold and score the
held-out observations under the refit's posterior predictive distribution.

Folds: k-fold assigns the observations to `folds` folds of equal size at random; blocked
folds assign whole blocks (squares of side `blocks` over the locations, or one label per
observation) to folds at random, each block to the fold with the fewest observations so
far, so that the folds stay about equal. Each fold's refit starts its search for theta at
the full fit's theta. Scores of the held-out observations, from each refit's design:

- log_density: sum_i log p(y_i | training data), p mixed over the design, each
  ∫ p(y_i | eta) N(eta; m, v) by adaptive Gauss–Hermite quadrature (`quadrature`);
- crps: the mean continuous ranked probability score, by `scoringrules.crps_ensemble`
  on draws from the posterior predictive (ENSEMBLE per observation);
- rmse: the root mean square of y_i - E(y_i | training data).
"""

from __future__ import annotations

import inspect
import math
from typing import Any, Callable, Optional

import numpy as np
from scipy import special

from ..assemble import listed_effects
from ..families import FamilyData
from .quadrature import log_marginal

__all__ = ["cross_validate", "fold_assignment"]

ENSEMBLE = 1000        # posterior predictive draws per held-out observation, for the CRPS
ROWS_AT_ONCE = 5000    # held-out observations scored together (ENSEMBLE draws each)
PER_OBSERVATION = ("covariates", "exposure", "trials")


def _count(folds) -> int:
    if isinstance(folds, (bool, np.bool_)) or not isinstance(folds, (int, np.integer)) or folds < 2:
        raise ValueError(f"folds must be a whole number of at least 2, got {folds!r}")
    return int(folds)


def _block_labels(loc: np.ndarray, blocks) -> np.ndarray:
    """One label per observation: its square of side `blocks`, or the labels given."""
    n = loc.shape[0]
    if np.ndim(blocks) == 0:
        try:
            side = float(blocks)
        except (TypeError, ValueError):
            raise ValueError(f"blocks must be a cell size or one label per observation, got "
                             f"{blocks!r}") from None
        if not (math.isfinite(side) and side > 0.0):
            raise ValueError(f"blocks must be a positive cell size, got {blocks!r}")
        cell = np.floor((loc - loc.min(axis=0)) / side).astype(np.int64)
        return cell[:, 0] * (int(cell[:, 1].max()) + 1) + cell[:, 1]
    labels = np.asarray(blocks)
    if labels.shape != (n,):
        raise ValueError(f"blocks must give one label per observation ({n}), got shape "
                         f"{labels.shape}")
    return labels


def fold_assignment(loc: np.ndarray, folds: int, blocks, rng: np.random.Generator) -> np.ndarray:
    """(n,) the fold of each observation (see the module's note)."""
    n = loc.shape[0]
    if folds > n:
        raise ValueError(f"folds={folds} is more than the {n} observations: each fold needs at "
                         "least one")
    if blocks is None:
        out = np.empty(n, dtype=np.int64)
        out[rng.permutation(n)] = np.arange(n) % folds
        return out
    names, block = np.unique(_block_labels(loc, blocks), return_inverse=True)
    if names.size < folds:
        which = f"one value ({names.tolist()[0]!r})" if names.size == 1 else f"{names.size} values"
        raise ValueError(f"blocks have {which}: blocked cross-validation with {folds} folds needs "
                         f"at least {folds} distinct blocks (a smaller cell size, or more labels)")
    sizes = np.bincount(block)
    fold_of_block = np.empty(names.size, dtype=np.int64)
    filled = np.zeros(folds)
    for b in rng.permutation(names.size):
        target = int(np.argmin(filled + 1e-9 * rng.random(folds)))
        fold_of_block[b] = target
        filled[target] += sizes[b]
    return fold_of_block[block]


def _rows(value, rows: np.ndarray, n: int):
    """A per-observation argument's rows (scalars and None pass through)."""
    if value is None or np.ndim(value) == 0:
        return value
    if hasattr(value, "iloc"):
        return value.iloc[rows]
    array = np.asarray(value)
    if array.shape[:1] != (n,):
        return value
    return array[rows]


def _split(arguments: dict, rows: np.ndarray, n: int) -> dict:
    out = dict(arguments)
    for name in PER_OBSERVATION:
        if name in out:
            out[name] = _rows(out[name], rows, n)
    if out.get("effects") is not None:
        effects = out["effects"]
        effects = [effects] if not isinstance(effects, (list, tuple)) else effects
        out["effects"] = [e.subset(rows) for e in effects]
    return out


def _prediction_arguments(arguments: dict, rows: np.ndarray, n: int) -> dict:
    """predict's time= and effects= for held-out rows, from the effects' values there."""
    time, values = None, {}
    effects = arguments.get("effects") or []
    for e in [effects] if not isinstance(effects, (list, tuple)) else effects:
        held = np.asarray(getattr(e, e.observed))[rows]
        if e.given_by == "time":
            time = held
        else:
            values[e.name] = held
    return {"time": time, "effects": values or None}


def _accepts(function: Callable, name: str) -> bool:
    try:
        parameters = inspect.signature(function).parameters
    except (TypeError, ValueError):
        return False
    return name in parameters or any(p.kind is p.VAR_KEYWORD for p in parameters.values())


def _score(fit, loc, y, arguments: dict, rows: np.ndarray, n: int, rng) -> dict:
    """The held-out rows' scores under a fold's fit."""
    from .tables import scoringrules

    family = fit._family
    y_test = y[rows]
    covariates = _rows(arguments.get("covariates"), rows, n)
    exposure = _rows(arguments.get("exposure"), rows, n)
    trials = _rows(arguments.get("trials"), rows, n)
    d = family.data(y_test, exposure, trials)
    where = _prediction_arguments(arguments, rows, n)
    A, X, unseen, _ = fit._rows(loc[rows], covariates, **where)
    means, variances = fit._mixture.linear_parts(A, X, unseen)
    weights = fit._mixture.weights
    psis = [fit._structure.psi(c.theta) for c in fit._mixture.conditionals]
    log_parts, expected = [], np.zeros(rows.size)
    factor = np.exp(d.offset) * d.trials
    for w, psi, m, v in zip(weights, psis, means, variances):
        v = np.maximum(v, 0.0)
        log_parts.append(math.log(w) + log_marginal(family, d, psi, m + d.offset, v))
        expected += w * family.response(m, np.sqrt(v), factor)[0]
    log_density = special.logsumexp(np.array(log_parts), axis=0)
    draws_of = rng.multinomial(ENSEMBLE, weights / weights.sum())
    crps = np.empty(rows.size)
    for start in range(0, rows.size, ROWS_AT_ONCE):
        part = slice(start, start + ROWS_AT_ONCE)
        held = FamilyData(d.y[part][:, None], d.offset[part][:, None], d.trials[part][:, None])
        ensemble = []
        for count, psi, m, v in zip(draws_of, psis, means, variances):
            if count:
                eta = m[part][:, None] + np.sqrt(np.maximum(v[part], 0.0))[:, None] * \
                    rng.standard_normal((held.y.shape[0], count)) + held.offset
                ensemble.append(family.draw(held, eta, psi, rng))
        crps[part] = scoringrules().crps_ensemble(d.y[part], np.hstack(ensemble), m_axis=1)
    return {"n_test": int(rows.size), "log_density": float(np.sum(log_density)),
            "crps": float(np.mean(crps)), "rmse": float(np.sqrt(np.mean((y_test - expected) ** 2))),
            "_squares": float(np.sum((y_test - expected) ** 2)), "_crps_sum": float(np.sum(crps))}


def _run_fold(fit_function, model, loc, y, train, test, arguments, start, seed) -> dict:
    n = y.size
    fold_arguments = _split(arguments, train, n)
    if start is not None and _accepts(fit_function, "theta_start"):
        fold_arguments["theta_start"] = start
    fold_fit = fit_function(model, loc[train], y[train], **fold_arguments)
    return _score(fold_fit, loc, y, arguments, test, n, np.random.default_rng(seed))


def cross_validate(fit_function: Callable, model, loc, y, *, folds: int = 5, blocks=None,
                   seed=None, client: Optional[Any] = None, **fit_arguments):
    """Cross-validated scores of a model: refit without each fold, score the held-out data.

    fit_function : what fits, normally `corvid.fit.fit`, called as
        fit_function(model, loc_train, y_train, **fit_arguments) with the per-observation
        arguments (covariates, exposure, trials, and the effects' values: labels, times,
        covariates) split with the rows, and theta_start= the full fit's theta when it
        takes one (the same search, warm-started).
    folds : the number of folds (2 <= folds <= observations).
    blocks : None for k-fold; a cell size for blocks of squares of that side over the
        locations; or one label per observation (sites, transects, regions). Whole blocks
        go to folds, so that held-out data are not next to training data.
    seed : of the folds' assignment and the CRPS's predictive draws.
    client : a dask.distributed Client: the folds are fitted on it in parallel (the model
        and the data are sent to its workers).

    Returns a pandas DataFrame with one row per fold: fold, n_test, log_density (the sum
    of log p(y_i | training data) over the fold), crps (the mean CRPS, from scoringrules),
    rmse; and in `.attrs` the totals over all observations: log_density (the sum),
    log_score (minus it), crps (mean), rmse, n, folds, and `fold_of` (n,) each
    observation's fold. Higher log_density, lower crps and rmse are better.

    Raises ValueError for folds larger than the data, blocks with fewer distinct values
    than folds (e.g. a blocking column with one value), and whatever the fits refuse.
    """
    from .tables import pandas

    pd = pandas()
    loc = np.asarray(loc, dtype=np.float64)
    values = np.asarray(y, dtype=np.float64)
    if loc.ndim != 2 or loc.shape[1] != 2 or values.ndim != 1 or loc.shape[0] != values.size:
        raise ValueError(f"loc must be (n, 2) and y (n,), got {loc.shape} and {values.shape}")
    k = _count(folds)
    if fit_arguments.get("effects") is not None:    # any iterable, read once: a list for every fold
        fit_arguments["effects"] = listed_effects(fit_arguments["effects"])
    rng = np.random.default_rng(seed)
    fold_of = fold_assignment(loc, k, blocks, rng)
    start = None
    if "theta" not in fit_arguments:
        start = fit_function(model, loc, values, **fit_arguments).theta
    seeds = rng.integers(2**63, size=k)
    jobs = [(fit_function, model, loc, values, np.flatnonzero(fold_of != j),
             np.flatnonzero(fold_of == j), fit_arguments, start, int(seeds[j])) for j in range(k)]
    if client is not None:
        futures = [client.submit(_run_fold, *job, pure=False) for job in jobs]
        results = client.gather(futures)
    else:
        results = [_run_fold(*job) for job in jobs]
    table = pd.DataFrame([{"fold": j, **{key: r[key] for key in ("n_test", "log_density", "crps", "rmse")}}
                          for j, r in enumerate(results)])
    n = values.size
    total = float(sum(r["log_density"] for r in results))
    table.attrs.update(log_density=total, log_score=-total,
                       crps=float(sum(r["_crps_sum"] for r in results) / n),
                       rmse=float(math.sqrt(sum(r["_squares"] for r in results) / n)), n=n,
                       folds=k, fold_of=fold_of)
    return table
