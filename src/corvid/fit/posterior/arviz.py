"""A fit's joint posterior samples as ArviZ (>= 1.0) takes them: an xarray DataTree made by
`arviz_base.from_dict`, one chain of independent draws, with the groups

- posterior: the hyperparameters as reported (range, sigma, ..., rho as itself), the
  fixed effects ("beta", dimension "fixed_effect"), and the effects' small blocks (a
  group's intercepts over "<name>_label", a smooth's values over "<name>_knot"); the
  fields on the mesh are left out (their samples are `fit.sample(n).field`);
- log_likelihood: "y", log p(y_i | eta_i, psi) per draw and observation;
- posterior_predictive: "y", new observations drawn given each draw's eta and psi;
- observed_data: "y".
"""

from __future__ import annotations

from typing import Optional

import numpy as np

from ... import _memory
from .checks import family_data
from .samples import draw

__all__ = ["to_arviz", "arviz_base"]

EXTRA = "pip install 'corvid[arviz]'"


def arviz_base():
    try:
        import arviz_base as module
    except ImportError as exc:
        raise ImportError(f"to_arviz needs ArviZ 1.0 or later (arviz-base; Python 3.12 or "
                          f"later): {EXTRA}") from exc
    return module


def _check_memory(n: int, n_obs: int) -> None:
    needed = 3 * n * n_obs * 8      # eta, the log-likelihood and the predictive draws
    available = _memory.available_memory()
    if available is not None and needed > 0.8 * available:
        raise MemoryError(f"{n} draws of {n_obs} observations' log-likelihood and predictive "
                          f"draws need {needed / 2**30:.2f} GiB, and {available / 2**30:.2f} GiB "
                          "are available: ask for fewer draws (n=)")


def to_arviz(fit, n: int = 1000, seed: Optional[int] = None, theta: str = "integrate"):
    """See `LatentFit.to_arviz`."""
    azb = arviz_base()
    s = fit._structure
    _check_memory(int(n) if isinstance(n, (int, np.integer)) else 1, s.n_obs)
    samples = draw(fit, n, seed=seed, theta=theta)
    rng = np.random.default_rng(None if seed is None else seed + 1)
    d = family_data(fit)
    family = fit._family
    eta = samples.linear_predictor(s.A, s.X).T + d.offset        # (n, n_obs)
    psi = np.array([s.psi(t) if s.family_index.size else np.nan for t in samples.theta])
    log_likelihood = np.empty_like(eta)
    predictive = np.empty_like(eta)
    for value in np.unique(psi):
        rows = np.flatnonzero(psi == value) if np.isfinite(value) else np.flatnonzero(np.isnan(psi))
        p = None if not np.isfinite(value) else float(value)
        log_likelihood[rows] = family.log_density(d, eta[rows], p)
        predictive[rows] = family.draw(d, eta[rows], p, rng)
    posterior = {name: values[None] for name, values in samples.hyperparameters.items()}
    dims: dict = {"y": ["observation"]}
    coords: dict = {"observation": np.arange(s.n_obs)}
    if samples.fixed.shape[1]:
        posterior["beta"] = samples.fixed[None]
        dims["beta"] = ["fixed_effect"]
        coords["fixed_effect"] = list(fit.fixed_names)
    for b, block in enumerate(s.blocks):
        if block.slices or b == s.field:
            continue
        what = "label" if block.optional else "knot"
        dimension = f"{block.name}_{what}"
        posterior[block.name] = samples.effects[block.name][None]
        dims[block.name] = [dimension]
        coords[dimension] = list(block.index)
    tree = azb.from_dict({"posterior": posterior,
                          "log_likelihood": {"y": log_likelihood[None]},
                          "posterior_predictive": {"y": predictive[None]},
                          "observed_data": {"y": d.y}},
                         dims=dims, coords=coords)
    tree.attrs.update(corvid_family=fit.family, corvid_link=fit.link)
    return tree
