"""The fit command's maps: the posterior on a grid over the data's region, as arrays and as
a PNG picture.

Gaussian data are mapped as the posterior mean and sd of intercept plus field. For the
other families the mean is on the response scale (the expected count per unit of exposure,
the probability of a success, the mean amount) and the sd on the link scale, where the
field is Gaussian: together they show the estimate and how sure it is.
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np

# The picture has about this many pixels a side, and shows about this many locations.
PICTURE_PIXELS, PICTURE_POINTS = 2000, 20_000

RESPONSE = {"poisson": "expected count per unit of exposure",
            "nbinomial": "expected count per unit of exposure",
            "binomial": "probability of a success", "gamma": "mean"}


@dataclasses.dataclass
class Maps:
    """x (nx,), y (ny,); mean and sd images (ny, nx), masked outside the data's region,
    with their titles; link_mean and response_sd for the other families."""

    x: np.ndarray
    y: np.ndarray
    mean: np.ma.MaskedArray
    sd: np.ma.MaskedArray
    mean_title: str
    sd_title: str
    description: str
    link_mean: "np.ma.MaskedArray | None" = None
    response_sd: "np.ma.MaskedArray | None" = None

    def arrays(self) -> dict:
        """What the .npz file holds: NaN where the images are masked."""
        out = {"x": self.x, "y": self.y, "mean": self.mean.filled(np.nan),
               "sd": self.sd.filled(np.nan)}
        if self.link_mean is not None and self.response_sd is not None:
            out["link_mean"] = self.link_mean.filled(np.nan)
            out["response_sd"] = self.response_sd.filled(np.nan)
        return out


def posterior_maps(fit, mesh, loc: np.ndarray, dims) -> Maps:
    """The maps over the data's bounding box, masked outside the region the data span (the
    buffer around it is left out)."""
    from corvid.meshkin.locate import find_triangles

    xlim = (float(loc[:, 0].min()), float(loc[:, 0].max()))
    ylim = (float(loc[:, 1].min()), float(loc[:, 1].max()))
    x, y = np.linspace(*xlim, dims[0]), np.linspace(*ylim, dims[1])
    lattice = np.column_stack([np.tile(x, len(y)), np.repeat(y, len(x))])
    triangle, _ = find_triangles(mesh, lattice)
    region = (triangle >= 0) & np.asarray(mesh.in_region)[np.maximum(triangle, 0)]
    outside = ~region.reshape(len(y), len(x))

    def masked(image):
        return np.ma.masked_where(outside, image)

    mean, sd = fit.grid(dims=dims, xlim=xlim, ylim=ylim)
    if fit.family == "gaussian":
        return Maps(x, y, masked(mean), masked(sd), "posterior mean", "posterior sd",
                    "posterior mean and sd of intercept plus field")
    response, response_sd = fit.grid(dims=dims, xlim=xlim, ylim=ylim, scale="response")
    what = RESPONSE[fit.family]
    return Maps(x, y, masked(response), masked(sd), f"posterior mean: {what}",
                f"posterior sd of the linear predictor ({fit.link} scale)",
                f"posterior mean of the {what} (covariates at zero) and sd of intercept plus "
                f"field on the {fit.link} scale", masked(mean), masked(response_sd))


def save_maps(maps: Maps, loc: np.ndarray, path: str):
    """The two maps side by side as a PNG, the locations over the first; None (saying so)
    without matplotlib."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no maps. Install it with: pip install 'corvid[plot]'")
        return None
    x, y = maps.x, maps.y
    extent = (x[0], x[-1], y[0], y[-1])
    # Larger images are drawn thinned, and a sample of the locations stands for them all.
    step = max(1, math.ceil(max(len(x), len(y)) / PICTURE_PIXELS))
    shown_loc = loc[::max(1, len(loc) // PICTURE_POINTS)]
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.5), constrained_layout=True)
    for ax, image, title in [(axes[0], maps.mean, maps.mean_title), (axes[1], maps.sd, maps.sd_title)]:
        shown = ax.imshow(image[::step, ::step], origin="lower", extent=extent, cmap="viridis",
                          aspect="equal")
        fig.colorbar(shown, ax=ax, shrink=0.85)
        ax.set_title(title)
        ax.set_xlabel("x")
        ax.set_ylabel("y")
    axes[0].scatter(shown_loc[:, 0], shown_loc[:, 1], s=2, c="white", alpha=0.5, linewidths=0)
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return path
