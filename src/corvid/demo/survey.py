"""The demo's survey step: counts from a survey repeated over six years by four vessels,
whose catch follows a field that changes from year to year (an AR(1) in time), a vessel's
own catchability and a smooth effect of depth. Fitted with `SpaceTime`, `Group` and
`Smooth`, the truth set against the estimates, and a picture of the yearly fields, true and
estimated, with the depth effect and the vessels'."""

from __future__ import annotations

import os
from typing import Optional

import numpy as np

YEARS = np.arange(2019, 2025)
VESSELS = np.array(["Aurora", "Boreas", "Cygnus", "Draco"])
RANGE, SIGMA, RHO, VESSEL_SD, INTERCEPT = 10.0, 0.6, 0.8, 0.3, 0.5
COARSEST = 1.2   # the survey's mesh has edges of at least this: six fields stay quick to fit


def depth_effect(depth: np.ndarray) -> np.ndarray:
    """The true effect of depth (m) on the log catch: best near 70 m."""
    return 0.6 * np.sin((depth - 10.0) / 40.0)


def run(settings, rng: np.random.Generator, directory: str, show, progress) -> Optional[str]:
    """Simulates, fits and prints the truth against the estimates; returns the picture's
    path (None without matplotlib)."""
    from corvid.fit import Group, Smooth, SpaceTime, fit
    from corvid.meshkin.gfield import gfield2_pcmatern
    from corvid.meshkin.locate import basis_matrix
    from corvid.meshkin.regions import region_mesh
    from corvid.sampling import gmrf_sample

    from .run import LAKE, STUDY_REGION, _planar, _points_in_region

    edge = max(settings.max_edge, COARSEST)
    mesh = region_mesh(STUDY_REGION, holes=[LAKE], max_edge=(edge, 2.5 * edge), offset=settings.offset)
    model = gfield2_pcmatern(mesh, prior_range=settings.prior_range, prior_sigma=settings.prior_sigma)
    Q = model.precision(np.log([RANGE, SIGMA]))
    yearly = [gmrf_sample(Q, rng)]
    for _ in YEARS[1:]:
        yearly.append(RHO * yearly[-1] + np.sqrt(1.0 - RHO ** 2) * gmrf_sample(Q, rng))
    fields = np.array(yearly)
    n = settings.n_obs
    loc = _points_in_region(rng, mesh, n)
    year = rng.choice(YEARS, n)
    vessel = rng.choice(VESSELS, n)
    depth = rng.uniform(10.0, 200.0, n)
    # Drawn from the group's prior and centred: their mean would be the intercept's.
    catchability = VESSEL_SD * rng.standard_normal(VESSELS.size)
    catchability -= catchability.mean()
    B = basis_matrix(mesh, loc)
    field_at = np.asarray(B.multiply(fields[year - YEARS[0]]).sum(axis=1)).ravel()
    eta = (INTERCEPT + field_at + catchability[np.searchsorted(VESSELS, vessel)]
           + depth_effect(depth))
    counts = rng.poisson(np.exp(eta))
    print(f"   {n} hauls over {YEARS[0]}-{YEARS[-1]} by {VESSELS.size} vessels on a mesh of "
          f"{mesh.n} vertices: counts (mean {counts.mean():.3g}) of exp({INTERCEPT:g} + field of the "
          f"year + vessel + f(depth))")
    with _planar():
        survey = fit(model, loc, counts, family="poisson", spatial=False, progress=progress,
                     effects=[SpaceTime(year, "ar1"), Group("vessel", vessel),
                              Smooth("depth", depth, knots=15)])
    print(_truth_table(survey, catchability))
    return _picture(survey, mesh, fields, catchability, settings.grid,
                    os.path.join(directory, "survey.png"))


def _truth_table(survey, catchability: np.ndarray) -> str:
    truth = {"st_range": RANGE, "st_sigma": SIGMA, "st_rho": RHO, "vessel_sd": VESSEL_SD}
    lines = [f"   {'':<12}{'truth':>9}{'estimate':>10}{'95% interval':>22}  covers"]
    for name, true in truth.items():
        h = survey.hyperparameters[name]
        lines.append(f"   {name:<12}{true:>9.4g}{h.estimate:>10.4g}   [{h.lower:>8.4g}, "
                     f"{h.upper:>8.4g}]  {'yes' if h.lower <= true <= h.upper else 'no'}")
    vessels = survey.effects["vessel"]
    for label, true, mean, sd in zip(vessels.index, catchability, vessels.mean, vessels.sd):
        lo, hi = mean - 1.96 * sd, mean + 1.96 * sd
        lines.append(f"   {str(label):<12}{true:>9.4g}{mean:>10.4g}   [{lo:>8.4g}, {hi:>8.4g}]  "
                     f"{'yes' if lo <= true <= hi else 'no'}")
    smooth = survey.effects["depth"]
    # The smooth's level and the intercept share the data's mean: compare shapes.
    shape = smooth.mean - smooth.mean.mean()
    true_shape = depth_effect(smooth.index) - depth_effect(smooth.index).mean()
    lines.append(f"   depth effect at {smooth.index.size} knots: largest error of its shape "
                 f"{np.max(np.abs(shape - true_shape)):.3g}, posterior sd {np.mean(smooth.sd):.3g} "
                 "on average")
    return "\n".join(lines)


def _picture(survey, mesh, fields, catchability, dims, path: str) -> Optional[str]:
    """The yearly fields (truth above, posterior mean below), the depth effect and the
    vessels' effects, truth against estimate."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("   matplotlib is not installed: no picture. Install it with: pip install 'corvid[plot]'")
        return None
    from .run import region_grid

    projector, xlim, ylim, outside = region_grid(mesh, (min(dims[0], 120), min(dims[1], 120)))
    estimate = survey.effects["st"].mean
    low, high = float(fields.min()), float(fields.max())
    fig = plt.figure(figsize=(3.2 * YEARS.size, 10), constrained_layout=True)
    grid = fig.add_gridspec(3, YEARS.size)
    for k, year in enumerate(YEARS):
        for row, values, what in ((0, fields[k], "true field"), (1, estimate[k], "posterior mean")):
            ax = fig.add_subplot(grid[row, k])
            image = np.ma.masked_where(outside, projector.project(values))
            shown = ax.imshow(image, origin="lower", extent=(*xlim, *ylim), cmap="viridis",
                              vmin=low, vmax=high)
            ax.set_title(f"{what}, {year}", fontsize=9)
            ax.set_xticks([])
            ax.set_yticks([])
    fig.colorbar(shown, ax=fig.axes, shrink=0.6, location="right")
    smooth = survey.effects["depth"]
    ax = fig.add_subplot(grid[2, :YEARS.size // 2])
    depths = np.linspace(smooth.index[0], smooth.index[-1], 200)
    level = smooth.mean.mean() - depth_effect(smooth.index).mean()
    ax.plot(depths, depth_effect(depths) + level, color="black", label="truth (shifted to the estimate's level)")
    ax.plot(smooth.index, smooth.mean, "o-", label="posterior mean at the knots")
    ax.fill_between(smooth.index, smooth.mean - 1.96 * smooth.sd, smooth.mean + 1.96 * smooth.sd,
                    alpha=0.3, label="95% interval")
    ax.set_xlabel("depth (m)")
    ax.set_title("effect of depth on the log catch")
    ax.legend(fontsize=8)
    ax = fig.add_subplot(grid[2, YEARS.size // 2:])
    vessels = survey.effects["vessel"]
    at = np.arange(vessels.index.size)
    ax.errorbar(at, vessels.mean, yerr=1.96 * vessels.sd, fmt="o", label="estimate, 95% interval")
    ax.plot(at, catchability, "k*", markersize=10, label="truth")
    ax.set_xticks(at, [str(v) for v in vessels.index])
    ax.set_title("vessels' catchability (log scale)")
    ax.legend(fontsize=8)
    fig.savefig(path, dpi=80)
    plt.close(fig)
    return path
