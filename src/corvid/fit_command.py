"""``python -m corvid fit``: fit the PC-Matérn field with Gaussian noise to a user's CSV file.

Reads the coordinates, the observed values and any covariates by column name, builds a
quality mesh with a buffer around the data, fits the model without the engine, prints the
hyperparameter table and writes the posterior maps and the model files for the engine.
"""

from __future__ import annotations

import argparse
import csv
import math
import os
import sys
from typing import Dict, List, Sequence

import numpy as np

from corvid.cli_arguments import count, non_negative_float, positive_float

# Fewer rows leave no room to tell the field from the noise.
MIN_ROWS = 10


class CommandError(Exception):
    """A problem with the user's input, reported as one line with exit status 2."""


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
                     help="locations closer than this share a mesh vertex (default: a 1000th of "
                          "the diameter)")
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
    return fit


def read_columns(path: str, names: Sequence[str]) -> Dict[str, np.ndarray]:
    """The named columns of a CSV file with a header row, as float64 arrays.

    Raises `CommandError` for a missing file, a missing column, a value that is not a finite
    number (saying where), or fewer than `MIN_ROWS` rows.
    """
    try:
        handle = open(path, newline="", encoding="utf-8-sig")
    except FileNotFoundError:
        raise CommandError(f"no such file: {path}") from None
    except OSError as exc:
        raise CommandError(f"cannot read {path}: {exc.strerror or exc}") from None
    with handle:
        reader = csv.reader(handle)
        try:
            header = [cell.strip() for cell in next(reader)]
        except StopIteration:
            raise CommandError(f"{path} is empty") from None
        except (csv.Error, UnicodeDecodeError) as exc:
            raise CommandError(f"{path} is not a readable CSV file: {exc}") from None
        positions = {}
        for name in names:
            if name not in header:
                raise CommandError(f"{path} has no column {name!r} (columns: {', '.join(header)})")
            positions[name] = header.index(name)
        values: Dict[str, List[float]] = {name: [] for name in names}
        try:
            for line, row in enumerate(reader, start=2):
                if not any(cell.strip() for cell in row):
                    continue  # blank lines
                for name, at in positions.items():
                    cell = row[at].strip() if at < len(row) else ""
                    values[name].append(_number(cell, path, line, name))
        except (csv.Error, UnicodeDecodeError) as exc:
            raise CommandError(f"{path} is not a readable CSV file: {exc}") from None
    rows = len(values[names[0]]) if names else 0
    if rows < MIN_ROWS:
        raise CommandError(f"{path} has {rows} data row(s); at least {MIN_ROWS} are needed")
    return {name: np.asarray(column, dtype=np.float64) for name, column in values.items()}


def _number(cell: str, path: str, line: int, name: str) -> float:
    try:
        value = float(cell)
    except ValueError:
        shown = repr(cell) if cell else "an empty cell"
        raise CommandError(f"{path} line {line}, column {name!r}: {shown} is not a number") from None
    if not math.isfinite(value):
        raise CommandError(f"{path} line {line}, column {name!r}: {cell!r} is not a finite number")
    return value


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
    columns = read_columns(args.data, names)
    loc = np.column_stack([columns[args.x], columns[args.y]])
    values = columns[args.value]
    covariates = None
    if args.covariates:
        covariates = _NamedColumns(np.column_stack([columns[c] for c in args.covariates]),
                                   list(args.covariates))

    from corvid.fit import fit_gaussian
    from corvid.meshkin.gfield import gfield2_pcmatern
    from corvid.meshkin.regions import region_mesh

    extent = np.ptp(loc, axis=0)
    diameter = float(np.hypot(*extent))
    if not diameter > 0.0:
        raise CommandError("all locations are the same point")
    spread = float(np.std(values)) or 1.0
    edges = list(args.max_edge or [diameter / 40.0])
    max_edge = (edges[0], edges[1] if len(edges) == 2 else 3.0 * edges[0])
    try:
        mesh = region_mesh(points=loc, max_edge=max_edge,
                           offset=args.offset if args.offset is not None else diameter / 5.0,
                           cutoff=args.cutoff if args.cutoff is not None else diameter / 1000.0)
    except ValueError as exc:
        raise CommandError(f"cannot mesh the locations: {exc}") from None
    print(f"mesh: {mesh.n} vertices, {mesh.tv.shape[0]} triangles "
          f"(max edge {max_edge[0]:.4g} in the data's region, {max_edge[1]:.4g} in the buffer)")

    model = gfield2_pcmatern(mesh, prior_range=tuple(args.prior_range or (diameter / 10.0, 0.5)),
                             prior_sigma=tuple(args.prior_sigma or (3.0 * spread, 0.01)))
    try:
        fit = fit_gaussian(model, loc, values, covariates=covariates,
                           prior_noise=tuple(args.prior_noise or (3.0 * spread, 0.01)),
                           progress=None if args.quiet else True)
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    print(fit.summary())

    os.makedirs(out, exist_ok=True)
    x, y, mean, sd = _maps(fit, mesh, loc, tuple(args.grid))
    grid_path = os.path.join(out, "posterior_grid.npz")
    np.savez(grid_path, x=x, y=y, mean=mean.filled(np.nan), sd=sd.filled(np.nan))
    print(f"posterior mean and sd of intercept plus field on a {len(x)} x {len(y)} grid "
          f"(NaN outside the data's region): {grid_path}")
    prefix = model.write_gfield_files(os.path.join(out, "model", "gfield"))
    print(f"model files for the engine: {prefix}.M0 ... {prefix}.BLC")
    png = _save_maps(x, y, mean, sd, loc, os.path.join(out, "posterior.png"))
    if png:
        print(f"maps: {png}")


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
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.5), constrained_layout=True)
    for ax, image, title in [(axes[0], mean, "posterior mean"), (axes[1], sd, "posterior sd")]:
        shown = ax.imshow(image, origin="lower", extent=extent, cmap="viridis", aspect="equal")
        fig.colorbar(shown, ax=ax, shrink=0.85)
        ax.set_title(title)
        ax.set_xlabel("x")
        ax.set_ylabel("y")
    axes[0].scatter(loc[:, 0], loc[:, 1], s=2, c="white", alpha=0.5, linewidths=0)
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return path


def main(args: argparse.Namespace, out: str) -> int:
    try:
        run(args, out)
    except CommandError as exc:
        print(f"python -m corvid fit: error: {exc}", file=sys.stderr)
        return 2
    except OSError as exc:
        print(f"python -m corvid fit: error: {exc}", file=sys.stderr)
        return 1
    return 0
