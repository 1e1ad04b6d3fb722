"""``python -m corvid fit``: fit the PC-Matérn field with Gaussian noise to a user's CSV file.

Reads the coordinates, the observed values and any covariates by column name, builds a
quality mesh with a buffer around the data, fits the model without the engine, prints the
hyperparameter table and writes the posterior maps and the model files for the engine.
Everything that can be refused without the fit (options, the output directory, sizes, the
file's columns and values) is refused before it; the results appear in the output
directory only when all of them were written.
"""

from __future__ import annotations

import argparse
import math
import os
from typing import List

import numpy as np

from corvid.cli_arguments import count, non_negative_float, positive_float
from corvid.cli_errors import CommandError, run_reporting
from corvid.cli_limits import require_memory
from corvid.cli_mesh import build_mesh, convex_hull, plan_mesh
from corvid.cli_output import OutputDirectory
from corvid.cli_table import MIN_ROWS, read_columns

__all__ = ["add_parser", "main", "run", "CommandError", "MIN_ROWS", "read_columns"]

# What a run writes into its output directory ("/" marks a directory).
OUTPUTS = ("posterior_grid.npz", "posterior.png", "model/")
# Bytes a grid cell takes while the maps are computed and written, measured with a few
# fixed effects (the lattice, the projector, the mean and sd, masks and copies), and per
# fixed effect.
GRID_CELL_BYTES, GRID_CELL_BYTES_PER_EFFECT = 600.0, 40.0
PICTURE_PIXELS, PICTURE_POINTS = 2000, 20_000
# Magnitudes beyond which squares of values or coordinates leave floating-point range.
LARGEST_MAGNITUDE = 1e100


def add_parser(commands) -> argparse.ArgumentParser:
    fit = commands.add_parser(
        "fit", help="fit the PC-Matérn field with Gaussian noise to a CSV file",
        description="Reads a CSV file with a header row, builds a mesh with a buffer around the "
                    "locations, fits the field plus fixed effects with Gaussian noise (exact sparse "
                    "Gaussian computations, hyperparameters at their posterior mode), prints the "
                    "hyperparameter table and writes the posterior mean and sd on a grid (.npz, and "
                    "PNG maps with matplotlib) and the seven model files for the engine.")
    fit.add_argument("data", help="CSV file with a header row")
    fit.add_argument("--x", required=True, metavar="COL", help="column of the x coordinate")
    fit.add_argument("--y", required=True, metavar="COL", help="column of the y coordinate")
    fit.add_argument("--value", required=True, metavar="COL", help="column of the observed values")
    fit.add_argument("--covariates", nargs="+", default=[], metavar="COL",
                     help="columns of covariates (fixed effects besides the intercept)")
    fit.add_argument("--out", help="output directory (default: a new corvid-fit-<time> directory here)")
    fit.add_argument("--max-edge", nargs="+", type=positive_float, metavar="LENGTH",
                     help="longest triangle edge inside the data's region, and optionally in the "
                          "buffer (default: a 40th of the region's diameter, three times that outside)")
    fit.add_argument("--offset", type=positive_float, metavar="WIDTH",
                     help="width of the buffer around the region (default: a fifth of its diameter)")
    fit.add_argument("--cutoff", type=non_negative_float, metavar="DISTANCE",
                     help="make the locations mesh vertices, those closer than this sharing one "
                          "(default: locations are vertices only when there are no more of them "
                          "than the mesh has vertices, then with a 25th of --max-edge)")
    fit.add_argument("--max-vertices", type=count(3), default=1_000_000, metavar="N",
                     help="refuse meshes with more vertices (default 1000000)")
    fit.add_argument("--prior-range", nargs=2, type=float, metavar=("R0", "P"),
                     help="PC prior of the range: P(range < R0) = P (default: a tenth of the "
                          "diameter, 0.5)")
    fit.add_argument("--prior-sigma", nargs=2, type=float, metavar=("S0", "P"),
                     help="PC prior of sigma: P(sigma > S0) = P (default: three times the sd of "
                          "the values, 0.01)")
    fit.add_argument("--prior-noise", nargs=2, type=float, metavar=("U", "A"),
                     help="PC prior of the noise sd: P(noise sd > U) = A (default: three times "
                          "the sd of the values, 0.01)")
    fit.add_argument("--grid", nargs=2, type=count(2), default=(200, 200), metavar=("NX", "NY"),
                     help="pixels of the maps (default 200 200)")
    fit.add_argument("--quiet", action="store_true", help="no progress line per optimiser step")
    fit.add_argument("--overwrite", action="store_true",
                     help="write into an existing output directory that is not empty, replacing "
                          "the files this command writes (others are kept)")
    return fit


class _NamedColumns:
    """Covariate values with their column names, which the fit reports them by."""

    def __init__(self, values: np.ndarray, columns: List[str]) -> None:
        self.values, self.columns = values, columns

    def __array__(self, dtype=None, copy=None):
        return self.values if dtype is None else self.values.astype(dtype)


def run(args: argparse.Namespace, out: str) -> None:
    """Fits and writes everything; raises `CommandError` for problems with the input."""
    names = [args.x, args.y, args.value, *args.covariates]
    if len(set(names)) != len(names):
        raise CommandError(f"a column is named twice among {', '.join(names)}")
    _check_priors(args)
    if args.max_edge is not None and len(args.max_edge) > 2:
        raise CommandError("--max-edge takes one or two lengths")
    nx, ny = args.grid
    require_memory(nx * ny * (GRID_CELL_BYTES + GRID_CELL_BYTES_PER_EFFECT * len(names)),
                   f"maps of {nx:,} x {ny:,} cells", "use a smaller --grid")
    with OutputDirectory(out, args.overwrite, OUTPUTS) as staging:
        _fit_and_write(args, names, staging, out)


def _fit_and_write(args: argparse.Namespace, names: List[str], staging: str, out: str) -> None:
    columns = read_columns(args.data, names)
    loc = np.column_stack([columns[args.x], columns[args.y]])
    values = columns[args.value]
    _check_magnitudes(loc, values, args)
    covariates = None
    if args.covariates:
        covariates = _NamedColumns(np.column_stack([columns[c] for c in args.covariates]),
                                   list(args.covariates))

    from corvid.fit import fit_gaussian
    from corvid.meshkin.gfield import gfield2_pcmatern

    hull = convex_hull(loc)
    plan = plan_mesh(loc, hull, args.max_edge, args.offset, args.cutoff, args.max_vertices)
    mesh = build_mesh(loc, hull, plan, args.max_vertices)
    how = ("the locations are vertices" if plan.points_as_vertices else
           f"the {len(loc):,} locations are located in it, not made vertices")
    print(f"mesh: {mesh.n} vertices, {mesh.tv.shape[0]} triangles (max edge "
          f"{plan.max_edge[0]:.4g} in the data's region, {plan.max_edge[1]:.4g} in the buffer; "
          f"{how})")

    spread = _spread(values)
    model = gfield2_pcmatern(mesh, prior_range=tuple(args.prior_range or (hull.diameter / 10.0, 0.5)),
                             prior_sigma=tuple(args.prior_sigma or (3.0 * spread, 0.01)))
    try:
        fit = fit_gaussian(model, loc, values, covariates=covariates,
                           prior_noise=tuple(args.prior_noise or (3.0 * spread, 0.01)),
                           progress=None if args.quiet else True)
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    print(fit.summary())

    x, y, mean, sd = _maps(fit, mesh, loc, tuple(args.grid))
    np.savez(os.path.join(staging, "posterior_grid.npz"), x=x, y=y, mean=mean.filled(np.nan),
             sd=sd.filled(np.nan))
    model.write_gfield_files(os.path.join(staging, "model", "gfield"))
    png = _save_maps(x, y, mean, sd, loc, os.path.join(staging, "posterior.png"))
    print(f"posterior mean and sd of intercept plus field on a {len(x)} x {len(y)} grid "
          f"(NaN outside the data's region): {os.path.join(out, 'posterior_grid.npz')}")
    print(f"model files for the engine: {os.path.join(out, 'model', 'gfield')}.M0 ... .BLC")
    if png:
        print(f"maps: {os.path.join(out, 'posterior.png')}")


def _check_magnitudes(loc: np.ndarray, values: np.ndarray, args: argparse.Namespace) -> None:
    """Refuses numbers whose squares leave floating-point range, naming the column."""
    for name, column in ((args.x, loc[:, 0]), (args.y, loc[:, 1]), (args.value, values)):
        largest = float(np.max(np.abs(column)))
        if largest > LARGEST_MAGNITUDE:
            raise CommandError(f"column {name!r} holds values up to {largest:.3g} in magnitude, "
                               "beyond what the fit can square in floating point: rescale it "
                               "(e.g. to other units)")
    extent = float(np.max(np.ptp(loc, axis=0)))
    if 0.0 < extent < 1.0 / LARGEST_MAGNITUDE:
        raise CommandError(f"the locations span only {extent:.3g}, too little for the areas of "
                           "a mesh in floating point: rescale the coordinates")


def _spread(values: np.ndarray) -> float:
    """The values' standard deviation, computed without overflow; 1 when they are constant."""
    scale = float(np.max(np.abs(values))) or 1.0
    return float(np.std(values / scale)) * scale or 1.0


def _maps(fit, mesh, loc: np.ndarray, dims):
    """Grid coordinates and the posterior mean and sd images over the data's bounding box,
    masked outside the region the data span (the buffer around it is left out)."""
    from corvid.meshkin.locate import find_triangles

    xlim = (float(loc[:, 0].min()), float(loc[:, 0].max()))
    ylim = (float(loc[:, 1].min()), float(loc[:, 1].max()))
    mean, sd = fit.grid(dims=dims, xlim=xlim, ylim=ylim)
    x, y = np.linspace(*xlim, dims[0]), np.linspace(*ylim, dims[1])
    lattice = np.column_stack([np.tile(x, len(y)), np.repeat(y, len(x))])
    triangle, _ = find_triangles(mesh, lattice)
    region = (triangle >= 0) & np.asarray(mesh.in_region)[np.maximum(triangle, 0)]
    outside = ~region.reshape(len(y), len(x))
    return x, y, np.ma.masked_where(outside, mean), np.ma.masked_where(outside, sd)


def _check_priors(args: argparse.Namespace) -> None:
    for option in ("prior_range", "prior_sigma", "prior_noise"):
        prior = getattr(args, option)
        if prior is None:
            continue
        threshold, probability = prior
        if not (math.isfinite(threshold) and threshold > 0.0 and 0.0 < probability < 1.0):
            flag = "--" + option.replace("_", "-")
            raise CommandError(f"{flag} needs a positive threshold and a probability in (0, 1)")


def _save_maps(x, y, mean, sd, loc: np.ndarray, path: str):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no maps. Install it with: pip install 'corvid[plot]'")
        return None
    extent = (x[0], x[-1], y[0], y[-1])
    # The picture has about a thousand pixels a side: larger images are drawn thinned, and
    # a sample of the locations stands for them all.
    step = max(1, math.ceil(max(len(x), len(y)) / PICTURE_PIXELS))
    shown_loc = loc[::max(1, len(loc) // PICTURE_POINTS)]
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.5), constrained_layout=True)
    for ax, image, title in [(axes[0], mean, "posterior mean"), (axes[1], sd, "posterior sd")]:
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


def main(args: argparse.Namespace, out: str) -> int:
    return run_reporting("python -m corvid fit", lambda: run(args, out))
