"""``python -m corvid fit``: fit the PC-Matérn field to a user's data file.

Reads the coordinates, the observed values and any covariates by column name from a CSV
file (or the points and attributes of a vector file), projects longitude and latitude,
builds a quality mesh with a buffer around the data or a study region from a GIS file, fits
the model without the engine, prints the hyperparameter table and writes the posterior maps
(GeoTIFF, NetCDF, .npz and PNG; with an exceedance layer on request), the model files for the
engine, the leave-one-out checks of every observation (residuals.csv, diagnostics.png) and,
on request, area indices over a file's polygons (index.csv, index.png).
Everything that can be refused without the fit (options, the output directory, sizes, the
file's columns and values) is refused before it; the results appear in the output
directory only when all of them were written.
"""

from __future__ import annotations

import argparse
import dataclasses
import functools
import os
import re
import warnings
from typing import List, Optional

import numpy as np

from corvid.cli.arguments import count, non_negative_float, positive_float
from corvid.cli.errors import CommandError, run_reporting
from corvid.cli import posterior
from corvid.cli.limits import require_memory
from corvid.cli.geography import (Geography, areas_region, check_inside, check_raster_crs,
                                  covariate_rasters, project_locations, read_study_region,
                                  working_geography)
from corvid.cli.maps import DEFAULT_GRID_SIDE, MAP_FILES, grid_cells, posterior_maps, save_maps, write_maps
from corvid.cli.mesh import (build_mesh, convex_hull, plan_mesh, region_outline, remesh_message,
                             remesh_plan)
from corvid.cli.output import OutputDirectory, writing
from corvid.cli.priors import check_pairs, check_scales
from corvid.cli.table import MIN_ROWS, Table, read_table

__all__ = ["add_parser", "main", "run", "CommandError", "MIN_ROWS", "read_table"]

# What a run writes into its output directory ("/" marks a directory).
OUTPUTS = (*MAP_FILES, "model/")
# Bytes a grid cell takes while the maps are computed and written, measured with a few
# fixed effects (the lattice, the projector, the mean and sd, masks and copies), and per
# fixed effect.
GRID_CELL_BYTES, GRID_CELL_BYTES_PER_EFFECT = 600.0, 40.0
# The field's sd on the link scale: P(sigma > 3) = 0.01, a factor e³ either way.
LINK_SIGMA_PRIOR = (3.0, 0.01)
# Magnitudes beyond which squares of values or coordinates leave floating-point range.
LARGEST_MAGNITUDE = 1e100


def add_parser(commands) -> argparse.ArgumentParser:
    fit = commands.add_parser(
        "fit", help="fit the PC-Matérn field to a CSV file: Gaussian values, counts, "
                    "presence/absence or positive amounts",
        description="Reads a CSV file with a header row, builds a mesh with a buffer around the "
                    "locations, fits the field plus fixed effects (Gaussian data exactly, counts, "
                    "trials and positive amounts by the Laplace approximation; integrated over "
                    "the hyperparameters' posterior unless --no-integrate), prints the table of "
                    "fixed effects and hyperparameters and writes the "
                    "posterior maps on a grid (.npz, and PNG maps with matplotlib), the seven "
                    "model files for the engine, and the leave-one-out checks of every "
                    "observation (residuals.csv, diagnostics.png).")
    fit.add_argument("data", help="CSV file with a header row, or a vector file of points "
                                  "(GeoPackage, GeoJSON, shapefile, ...); '-' or /dev/stdin "
                                  "reads a CSV table from standard input")
    fit.add_argument("--layer", metavar="NAME",
                     help="the layer of a vector file that has several (the message lists them)")
    fit.add_argument("--centroids", action="store_true",
                     help="polygons (counts per district, ...): fit each feature's values at a "
                          "point inside it, its representative point; the model treats the data "
                          "as point-referenced")
    fit.add_argument("--x", metavar="COL", help="column of the x coordinate (easting or "
                                                "longitude; a CSV file needs it)")
    fit.add_argument("--y", metavar="COL", help="column of the y coordinate (northing or "
                                                "latitude; a CSV file needs it)")
    fit.add_argument("--crs", metavar="CRS",
                     help="coordinate reference system of the data, e.g. EPSG:4326 for longitude "
                          "and latitude (projected to an equal-area projection centred on the "
                          "data) or a projected CRS (used as it is); a vector file's own CRS by "
                          "default")
    fit.add_argument("--region", metavar="FILE",
                     help="study region from a vector file (GeoPackage, shapefile, GeoJSON): its "
                          "polygons, islands and holes, reprojected, simplified to a quarter of "
                          "--max-edge; by default the locations' convex hull")
    fit.add_argument("--region-layer", metavar="NAME",
                     help="the layer of a --region file that has several")
    fit.add_argument("--covariate-raster", action="append", metavar="NAME=PATH[@CRS]",
                     help="a raster (GeoTIFF) of one of --covariates, --smooth or --varying for "
                          "the maps, which then show the full linear predictor; repeat for "
                          "several. @CRS gives the CRS of a raster whose file names none (e.g. "
                          "elev.tif@EPSG:4326)")
    fit.add_argument("--value", required=True, metavar="COL", help="column of the observed values")
    fit.add_argument("--family", default="gaussian",
                     help="likelihood: gaussian (default), poisson or nbinomial (counts, log link), "
                          "binomial (successes out of trials, logit link), gamma (positive "
                          "amounts, log link)")
    fit.add_argument("--exposure", metavar="COL",
                     help="column of the exposure E > 0 (poisson, nbinomial): the mean count is E "
                          "exp(linear predictor), the maps show it per unit of exposure")
    fit.add_argument("--trials", metavar="COL",
                     help="column of the number of trials N >= 1 (binomial; default 1: presence/"
                          "absence)")
    fit.add_argument("--covariates", nargs="+", default=[], metavar="COL",
                     help="columns of covariates (fixed effects besides the intercept)")
    fit.add_argument("--time", metavar="COL",
                     help="column of each observation's time step (a year, a date, a label): "
                          "adds a field per step (see --spacetime); the maps show every step")
    fit.add_argument("--spacetime", choices=("iid", "ar1", "rw"),
                     help="how the field per --time step changes: iid (independent), ar1 (an "
                          "AR(1) in time, the default) or rw (a random walk)")
    fit.add_argument("--group", action="append", default=[], metavar="COL",
                     help="column of labels (vessel, observer, site): an intercept per label; "
                          "repeat for several")
    fit.add_argument("--smooth", action="append", default=[], metavar="COL",
                     help="numeric column with a smooth, non-linear effect (e.g. depth); repeat "
                          "for several")
    fit.add_argument("--varying", action="append", default=[], metavar="COL",
                     help="numeric column whose coefficient varies in space (a second field); "
                          "repeat for several")
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
                          "the values, 0.01, for gaussian data; 3 0.01 on the link scale for the "
                          "other families)")
    fit.add_argument("--prior-noise", nargs=2, type=float, metavar=("U", "A"),
                     help="gaussian: PC prior of the noise sd: P(noise sd > U) = A (default: three "
                          "times the sd of the values, 0.01)")
    fit.add_argument("--prior-dispersion", nargs=2, type=float, metavar=("U", "A"),
                     help="nbinomial, gamma: prior of the overdispersion d = 1/sqrt(size) or "
                          "1/sqrt(phi): P(d > U) = A (default 1 0.01)")
    fit.add_argument("--grid", nargs=2, type=count(2), metavar=("NX", "NY"),
                     help="cells of the maps (default: square cells, %d along the longer side)"
                          % DEFAULT_GRID_SIDE)
    fit.add_argument("--no-integrate", dest="integrate", action="store_false",
                     help="report the posterior given the hyperparameters' mode, without "
                          "integrating over them (faster; sds and intervals a little narrow)")
    posterior.add_arguments(fit)
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
    names = [args.value, *args.covariates, *(c for c in (args.exposure, args.trials) if c is not None)]
    every = [*(c for c in (args.x, args.y) if c is not None), *names]
    if len(set(every)) != len(every):
        raise CommandError(f"a column is named twice among {', '.join(every)}")
    labels = _check_effect_columns(args, every)
    # A covariate may also be --smooth or --varying: read once.
    names = list(dict.fromkeys([*names, *args.smooth, *args.varying]))
    check_pairs(args)
    family = _family(args)
    _check_integration(args, family)
    if args.max_edge is not None and len(args.max_edge) > 2:
        raise CommandError("--max-edge takes one or two lengths")
    if args.region is not None and not os.path.exists(args.region):
        raise CommandError(f"--region: no such file: {args.region}")
    rasters = covariate_rasters(args.covariate_raster,
                                list(dict.fromkeys([*args.covariates, *args.smooth, *args.varying])))
    posterior.check_arguments(args, family, rasters)
    cells = grid_cells(args.grid)
    require_memory(cells * (GRID_CELL_BYTES + GRID_CELL_BYTES_PER_EFFECT * len(every)),
                   "maps of " + (f"{args.grid[0]:,} x {args.grid[1]:,} cells" if args.grid
                                 else f"{cells:,} cells"), "use a smaller --grid")
    with OutputDirectory(out, args.overwrite, [*OUTPUTS, *posterior.outputs(args)]) as staging:
        _fit_and_write(args, names, labels, family, rasters, staging, out)


def _check_effect_columns(args: argparse.Namespace, numbers: List[str]) -> List[str]:
    """The label columns (--time, --group), after refusing effect options that cannot go
    together: --spacetime without --time, a column given twice or to two effects, or both
    as labels and as numbers."""
    if args.spacetime and not args.time:
        raise CommandError("--spacetime needs --time COL, the column of each observation's step")
    for flag, columns in (("--group", args.group), ("--smooth", args.smooth),
                          ("--varying", args.varying)):
        twice = sorted({c for c in columns if columns.count(c) > 1})
        if twice:
            raise CommandError(f"{flag} {twice[0]} is given twice")
    effect_columns = [*args.group, *args.smooth, *args.varying]
    shared = sorted({c for c in effect_columns if effect_columns.count(c) > 1})
    if shared:
        raise CommandError(f"column {shared[0]!r} is given to two of --group, --smooth and "
                           "--varying: each effect needs its own column")
    labels = [*([args.time] if args.time else []), *args.group]
    numeric = [*numbers, *args.smooth, *args.varying]
    clash = [c for c in labels if c in numeric or labels.count(c) > 1]
    if clash:
        raise CommandError(f"column {clash[0]!r} is given both as labels (--time, --group) and "
                           "as numbers, or twice: give it once")
    return labels


def _check_integration(args: argparse.Namespace, family) -> None:
    """Refuses more hyperparameters than integrating over them supports."""
    from corvid.fit.design import MAX_DIMENSION

    hyperparameters = (2 + bool(family.hyperparameter)
                       + (3 if (args.spacetime or "ar1") == "ar1" else 2) * bool(args.time)
                       + len(args.group) + 2 * len(args.smooth) + 2 * len(args.varying))
    if args.integrate and hyperparameters > MAX_DIMENSION:
        raise CommandError(f"these effects make {hyperparameters} hyperparameters, more than the "
                           f"{MAX_DIMENSION} that integrating over them supports: give "
                           "--no-integrate, or fewer effects")


def _family(args: argparse.Namespace):
    """The family asked for, with its priors; options it does not take are refused."""
    from corvid.fit.fitting import family_for
    from corvid.safety.errors import SafetyError

    try:
        family = family_for(args.family, prior_dispersion=args.prior_dispersion or (1.0, 0.01))
    except (SafetyError, ValueError) as exc:
        raise CommandError(f"--family: {exc}") from None
    for option, given, allowed in (("--exposure", args.exposure, family.exposure),
                                   ("--trials", args.trials, family.trials),
                                   ("--prior-noise", args.prior_noise, family.exact),
                                   ("--prior-dispersion", args.prior_dispersion,
                                    bool(family.hyperparameter) and not family.exact)):
        if given is not None and not allowed:
            raise CommandError(f"{option} does not apply to the {family.name} family")
    return family


@dataclasses.dataclass
class _Data:
    """The user's data as the fit takes them, in the working (planar) coordinates, with
    the table they came from (for messages by the file's lines)."""

    loc: np.ndarray
    values: np.ndarray
    exposure: Optional[np.ndarray]
    trials: Optional[np.ndarray]
    covariates: Optional[_NamedColumns]
    geography: Geography
    table: Table


def _fit_and_write(args: argparse.Namespace, names: List[str], labels: List[str], family, rasters,
                   staging: str, out: str) -> None:
    data = _read_data(args, names, labels, family)
    effects = _effects(args, data)
    check_raster_crs(rasters, data.geography)
    regions = posterior.read_index_regions(args.index, data.geography) if args.index else None
    hull, plan = _region_and_plan(args, data)
    check_scales(args, extent=hull.diameter, spread=_spread(data.values) if family.exact else None,
                 unit=data.geography.unit)
    mesh, model, result = _fit_resolved(args, family, data, hull, plan, effects)
    print(result.summary())

    extent = data.loc if hull.shells is None else np.concatenate(hull.shells)
    held = {name: data.table.columns[name] for name in [*args.smooth, *args.varying]
            if name not in args.covariates}
    maps = posterior_maps(result, mesh, extent, args.grid, rasters, data.covariates, held,
                          args.exceedance)
    if maps.covariates_note:
        print(maps.covariates_note)
    if args.group:
        print(f"the maps show the population level: no intercept per {', '.join(args.group)}")
    write_maps(maps, staging)
    with writing("the model files"):
        model.write_gfield_files(os.path.join(staging, "model", "gfield"))
    png = save_maps(maps, mesh, data.loc, os.path.join(staging, "posterior.png"), data.geography)
    files = ", ".join(os.path.join(out, f) for f in MAP_FILES if not f.endswith(".png"))
    print(f"{maps.description} on a {len(maps.x)} x {len(maps.y)} grid (NaN outside the data's "
          f"region): {files}")
    print(f"model files for the engine: {os.path.join(out, 'model', 'gfield')}.M0 ... .BLC")
    if png:
        print(f"maps: {os.path.join(out, 'posterior.png')}")
    posterior.write_checks(result, data.table.xy, data.loc, data.values,
                           data.table.columns[args.time] if args.time else None, staging, out)
    if regions is not None:
        posterior.write_index(result, regions, rasters, args.index_samples, data.geography.unit,
                              staging, out)


def _region_and_plan(args: argparse.Namespace, data: "_Data"):
    """(the region to mesh, the mesh's plan): the locations' convex hull, the --region
    (data beyond it and its buffer refused), or the polygons of areal data."""
    hull = convex_hull(data.loc)
    edge = (args.max_edge or [hull.diameter / 40.0])[0]
    study = None
    if args.region is not None:
        study, layer = read_study_region(args.region, args.region_layer, data.geography, edge, data.loc)
        hull = region_outline(study.shells, study.holes)
    elif data.table.areas is not None:
        print("the study region: the union of the polygons (--region gives another)", flush=True)
        hull = region_outline(*areas_region(data.table, data.geography, edge, data.loc)[:2])
    plan = plan_mesh(data.loc, hull, args.max_edge, args.offset, args.cutoff, args.max_vertices)
    if study is not None:
        check_inside(study, layer, data.table, data.loc, plan.offset, data.geography, args.data)
    return hull, plan


def _read_data(args: argparse.Namespace, names: List[str], labels: List[str], family) -> _Data:
    """The file's columns, checked, and the locations in the working coordinates."""
    table = read_table(args.data, [*names, *labels], (args.x, args.y), layer=args.layer,
                       centroids=args.centroids, labels=labels,
                       ordered=[args.time] if args.time else [])
    if args.centroids:
        print(f"note: each feature's values are fitted at a point inside its polygon (its "
              f"representative point): the model treats these {table.rows:,} areal values as "
              "point-referenced, each standing for its area's point, not for the whole area",
              flush=True)
    columns = table.columns
    values = columns[args.value]
    geography = working_geography(args.crs, table, args.data)
    loc = project_locations(geography, table, args.data)
    _check_magnitudes(loc, values, args)
    exposure = columns[args.exposure] if args.exposure else None
    trials = columns[args.trials] if args.trials else None
    _check_family_data(family, values, exposure, trials, table, args)
    covariates = None
    if args.covariates:
        covariates = _NamedColumns(np.column_stack([columns[c] for c in args.covariates]),
                                   list(args.covariates))
    if args.time:
        _check_step_order(columns[args.time], table, args)
        steps = np.unique(columns[args.time]).size
        cells = grid_cells(args.grid)
        require_memory(cells * steps * GRID_CELL_BYTES, f"maps of {cells:,} cells for each of "
                       f"{steps} time steps", "use a smaller --grid")
    return _Data(loc, values, exposure, trials, covariates, geography, table)


# ISO 8601 dates and times, zero-padded: their text order is their order in time.
ISO_TIME = re.compile(r"\d{4}-\d{2}(-\d{2}([T ]\d{2}(:\d{2}(:\d{2}(\.\d+)?)?)?)?)?")


def _check_step_order(time: np.ndarray, table, args: argparse.Namespace) -> None:
    """Text time steps are put in text order, which is their order in time only for ISO
    dates; an AR(1) or a random walk links each step to the next, so other text is refused
    for them (15/01/2003 would come after 03/02/2003, and "Week 10" before "Week 2")."""
    if time.dtype.kind != "U" or (args.spacetime or "ar1") == "iid":
        return
    other = np.flatnonzero([ISO_TIME.fullmatch(step) is None for step in time.tolist()])
    if other.size:
        raise CommandError(f"{args.data} {table.where(other[:1])}, column {args.time!r}: "
                           f"{str(time[other[0]])!r} is text, whose order need not be the steps' "
                           f"order in time, which --spacetime {args.spacetime or 'ar1'} links "
                           f"one to the next: give numbers (a year, a day count) or ISO dates "
                           f"(2003-01-15), or --spacetime iid")


def _effects(args: argparse.Namespace, data: _Data) -> list:
    """The effects the options ask for, from the file's columns; their refusals name the
    file, the option and the column."""
    from corvid.fit import Group, Smooth, SpaceTime, Varying

    asked: list = []   # (flag, column, the effect given the column's values)
    if args.time:
        # "st" unless a column's effect has that name: the file's names are not the user's to pick
        taken = {*args.group, *args.smooth, *args.varying}
        name, suffix = "st", 1
        while name in taken:
            name, suffix = f"st{suffix}", suffix + 1
        asked.append(("--time", args.time,
                      functools.partial(SpaceTime, kind=args.spacetime or "ar1", name=name)))
    asked += [("--group", column, functools.partial(Group, column)) for column in args.group]
    asked += [("--smooth", column, functools.partial(Smooth, column)) for column in args.smooth]
    asked += [("--varying", column, functools.partial(Varying, column)) for column in args.varying]
    made = []
    for flag, column, make in asked:
        try:
            made.append(make(data.table.columns[column]))
        except ValueError as exc:
            raise CommandError(f"{args.data}: {flag} {column}: {exc}") from None
    return made


def _fit_resolved(args: argparse.Namespace, family, data: _Data, hull, plan, effects):
    """(mesh, model, fit): meshed by the plan and fitted; meshed again at about range/8
    and fitted once more when the range found is short for the first mesh."""
    from corvid.fit import DegreesWarning, ResolutionWarning, fit
    from corvid.fit.families import RowsError
    from corvid.meshkin.gfield import gfield2_pcmatern

    unit = f" {data.geography.unit}" if data.geography.unit else ""
    spread = _spread(data.values)
    prior_range = tuple(args.prior_range or (hull.diameter / 10.0, 0.5))
    prior_sigma = tuple(args.prior_sigma or ((3.0 * spread, 0.01) if family.exact else LINK_SIGMA_PRIOR))

    def mesh_and_fit(plan, quiet_resolution: bool):
        mesh = build_mesh(data.loc, hull, plan, args.max_vertices, data.geography.crs)
        how = ("the locations are vertices" if plan.points_as_vertices else
               f"the {len(data.loc):,} locations are located in it, not made vertices")
        print(f"mesh: {mesh.n} vertices, {mesh.tv.shape[0]} triangles (max edge "
              f"{plan.max_edge[0]:.4g}{unit} in the data's region, {plan.max_edge[1]:.4g}{unit} in "
              f"the buffer; {how})", flush=True)
        model = gfield2_pcmatern(mesh, prior_range=prior_range, prior_sigma=prior_sigma)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DegreesWarning)  # the command has said its own
                if quiet_resolution:  # the command meshes again instead
                    warnings.simplefilter("ignore", ResolutionWarning)
                result = fit(model, data.loc, data.values, family=family.name, effects=effects,
                             covariates=data.covariates, exposure=data.exposure, trials=data.trials,
                             prior_noise=tuple(args.prior_noise or (3.0 * spread, 0.01)),
                             prior_dispersion=tuple(args.prior_dispersion or (1.0, 0.01)),
                             integrate=args.integrate, progress=None if args.quiet else True)
        except RowsError as exc:
            raise _rows_error(exc, data.table, args) from None
        except ValueError as exc:
            raise CommandError(str(exc)) from None
        return mesh, model, result

    mesh, model, result = mesh_and_fit(plan, quiet_resolution=True)
    found = result.hyperparameters["range"].estimate
    finer = remesh_plan(data.loc, hull, plan, mesh, found, args.max_vertices)
    if finer is None:
        return mesh, model, result
    print(remesh_message(found, finer, unit), flush=True)
    return mesh_and_fit(finer, quiet_resolution=False)


def _rows_error(exc, table: Table, args: argparse.Namespace) -> CommandError:
    """A family's or the fit's refusal of rows, by the file's lines and the column at fault
    (the exposure's or the trials' when the message is about them, else the values')."""
    column = getattr(exc, "column", None)
    if column not in ("exposure", "trials", "value"):
        first = exc.what.split()[0] if exc.what else ""
        column = first if first in ("exposure", "trials") else "value"
    name = {"exposure": args.exposure, "trials": args.trials}.get(column) or args.value
    return CommandError(f"{args.data}, column {name!r}: {exc.what} {table.where(exc.rows)}")


def _check_family_data(family, values, exposure, trials, table: Table, args: argparse.Namespace) -> None:
    """The family's checks of the data, reported by the lines of the file (or features)."""
    from corvid.fit.families import RowsError

    try:
        family.data(values, exposure, trials)
    except RowsError as exc:
        raise _rows_error(exc, table, args) from None
    except ValueError as exc:
        raise CommandError(f"{args.data}: {exc}") from None


def _check_magnitudes(loc: np.ndarray, values: np.ndarray, args: argparse.Namespace) -> None:
    """Refuses numbers whose squares leave floating-point range, naming the column."""
    for name, column in ((args.x or "x", loc[:, 0]), (args.y or "y", loc[:, 1]), (args.value, values)):
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


def main(args: argparse.Namespace, out: str) -> int:
    return run_reporting("python -m corvid fit", lambda: run(args, out))
