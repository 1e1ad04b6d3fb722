"""The demo job: a PC-Matérn field on a mesh of a study region with a lake and a buffer, its
engine files, noisy observations of a simulated field with known truth, the fit of the model
to them without the engine, counts from the same field fitted with the Poisson likelihood,
a picture of truth, data and posterior, a survey over six years with vessels and depth
fitted with a space-time field, a group and a smooth effect (and their picture), and
stations in longitude and latitude fitted in a projection with an elevation raster, their
map written as a GeoTIFF."""

from __future__ import annotations

import dataclasses
import os
import time
import warnings
from contextlib import contextmanager
from typing import Iterator, Optional, Tuple

import numpy as np


@dataclasses.dataclass
class DemoSettings:
    out: str
    max_edge: float = 0.4
    offset: float = 4.0
    prior_range: Tuple[float, float] = (3.0, 0.5)
    prior_sigma: Tuple[float, float] = (1.0, 0.01)
    field_range: float = 4.0
    field_sigma: float = 1.0
    intercept: float = 2.0
    count_intercept: float = 0.5
    noise_sd: float = 0.3
    n_obs: int = 1000
    grid: Tuple[int, int] = (300, 300)
    seed: int = 1


class _Steps:
    """Prints each step's result and how long it took."""

    def __init__(self) -> None:
        self.times: list[tuple[str, float]] = []

    @contextmanager
    def step(self, title: str) -> Iterator[None]:
        print(f"\n== {title}")
        start = time.perf_counter()
        yield
        seconds = time.perf_counter() - start
        self.times.append((title, seconds))
        print(f"   ({seconds:.3f} s)")


# What the demo writes into its output directory ("/" marks a directory).
OUTPUTS = ("model/", "field_sample.npy", "fit.png", "survey.png", "geography/")
# Bytes an observation and a picture cell take at the most while the demo runs.
OBSERVATION_BYTES, CELL_BYTES = 400.0, 1000.0


def memory_needed(settings: DemoSettings) -> float:
    """About the most memory the demo's observations and picture take, in bytes."""
    return settings.n_obs * OBSERVATION_BYTES + settings.grid[0] * settings.grid[1] * CELL_BYTES


def run(settings: DemoSettings, directory: Optional[str] = None) -> dict:
    """Runs every step; returns the paths of what it wrote. Files go into `directory` (by
    default `settings.out`, made if missing); messages name them under `settings.out`, where
    the caller moves them once the run succeeded."""
    from corvid.meshkin.gfield import gfield2_pcmatern, gfield_make_A
    from corvid.meshkin.regions import region_mesh

    steps = _Steps()
    rng = np.random.default_rng(settings.seed)
    directory = directory or settings.out
    os.makedirs(directory, exist_ok=True)
    written: dict = {"out": settings.out}

    def shown(path: str) -> str:
        return os.path.join(settings.out, os.path.relpath(path, directory))

    with steps.step("Mesh"):
        # Triangles in the buffer are 2.5 times longer: it only keeps the boundary's
        # variance inflation away from the region.
        mesh = region_mesh(STUDY_REGION, holes=[LAKE], max_edge=(settings.max_edge, 2.5 * settings.max_edge),
                           offset=settings.offset)
        quality = mesh.quality()
        print(f"   study region with a lake, buffer {settings.offset:g} wide: {mesh.n} vertices, "
              f"{mesh.tv.shape[0]} triangles ({quality.region_triangles} in the region), "
              f"smallest angle {quality.min_angle:.1f} deg")

    with steps.step("PC-Matérn model"):
        model = gfield2_pcmatern(mesh, prior_range=settings.prior_range, prior_sigma=settings.prior_sigma)
        print("   " + model.summary().replace("\n", "\n   "))

    with steps.step("Model files for the engine"):
        prefix = model.write_gfield_files(os.path.join(directory, "model", "gfield"))
        _check_model_files(model, prefix)
        written["prefix"] = shown(prefix)
        print(f"   wrote and read back {written['prefix']}.M0 ... .BLC")

    with steps.step("Simulated field and observations"):
        from corvid.meshkin.locate import basis_matrix
        from corvid.sampling import gmrf_sample

        truth = Truth(settings.field_range, settings.field_sigma, settings.noise_sd, settings.intercept)
        field = gmrf_sample(model.precision(truth.theta[:2]), rng)
        obs = _points_in_region(rng, mesh, settings.n_obs)
        B = basis_matrix(mesh, obs)  # the field of the finite-element model at the locations
        y = truth.intercept + B @ field + truth.noise_sd * rng.standard_normal(settings.n_obs)
        np.save(os.path.join(directory, "field_sample.npy"), field)
        A = gfield_make_A(mesh, obs)  # the engine's observation matrix
        print(f"   field with range {truth.range:g} and sigma {truth.sigma:g}, sample sd "
              f"{field.std():.3f}")
        print(f"   {settings.n_obs} observations in the region: intercept {truth.intercept:g} + field "
              f"+ noise of sd {truth.noise_sd:g}")
        print(f"   the engine's observation matrix A is {A.shape[0]} x {A.shape[1]}, {A.nnz} stored weights")

    with steps.step("Fit without the engine"):
        from corvid.fit import fit_gaussian

        with _planar():
            fit = fit_gaussian(model, obs, y, prior_noise=(1.0, 0.01), progress=_progress_line)
        print(_truth_table(truth, fit))

    with steps.step("Counts: a Poisson fit of the same field"):
        from corvid.fit import fit as fit_family

        # Counts at the same places over exposures (e.g. survey effort) from 0.5 to 2: the
        # intensity exp(count intercept + field) per unit of exposure.
        exposure = rng.uniform(0.5, 2.0, settings.n_obs)
        counts = rng.poisson(exposure * np.exp(settings.count_intercept + B @ field))
        count_truth = Truth(settings.field_range, settings.field_sigma, float("nan"),
                            settings.count_intercept)
        with _planar():
            counts_fit = fit_family(model, obs, counts, family="poisson", exposure=exposure,
                                    progress=_progress_line)
        print(f"   {settings.n_obs} counts (mean {counts.mean():.3g}, largest {counts.max()}) "
              f"over exposures 0.5 to 2")
        print(_truth_table(count_truth, counts_fit))

    with steps.step("Picture"):
        intensity = np.exp(settings.count_intercept + field)
        png = _save_picture(fit, counts_fit, mesh, field + truth.intercept, intensity, obs, y,
                            settings.grid, os.path.join(directory, "fit.png"))
        written["png"] = png and shown(png)
        if png:
            print(f"   saved {written['png']}")

    with steps.step("A survey over six years: a field per year, vessels and depth"):
        from corvid.demo import survey

        survey_png = survey.run(settings, rng, directory, shown, _progress_line)
        written["survey"] = survey_png and shown(survey_png)
        if survey_png:
            print(f"   saved {written['survey']}")

    with steps.step("Geography: longitude and latitude, a coast and an elevation raster"):
        try:
            from corvid.demo import geography as demo_geography
            import rasterio  # noqa: F401
        except ImportError:
            print("   the geo extra is not installed: no geography step. Install it with: "
                  "pip install 'corvid[geo]'")
        else:
            written["geography"] = demo_geography.run(directory, rng, shown)

    with steps.step("Input checks and engine"):
        _vet_and_show_engine()

    print("\nWhere everything went:")
    print(f"   model files:  {written['prefix']}.*")
    print(f"   true field:   {os.path.join(settings.out, 'field_sample.npy')}")
    if written["png"]:
        print(f"   picture:      {written['png']}")
    if written.get("survey"):
        print(f"   survey:       {written['survey']}")
    if written.get("geography"):
        print(f"   geography:    {written['geography']['posterior.tif']} (and coast.gpkg, "
              "elevation.tif beside it)")
    print("Time per step: " + ", ".join(f"{t} {s:.2f} s" for t, s in steps.times))
    return written


# A coast with a bay (non-convex), about 20 across like the field's range of 4 allows.
STUDY_REGION = np.array([[-10.0, -6.0], [-2.0, -8.0], [6.0, -7.0], [10.0, -2.0], [8.0, 4.0],
                         [2.0, 3.0], [-1.0, 8.0], [-7.0, 7.0], [-10.0, 2.0]])
LAKE = np.array([[-5.0, -1.0], [-3.0, -2.0], [-1.5, -0.5], [-2.0, 1.5], [-4.5, 1.5]])


@contextmanager
def _planar() -> Iterator[None]:
    """The study region is planar, about 20 units across, so its coordinates fall where
    longitudes and latitudes could: no warning that they might be degrees."""
    from corvid.fit import DegreesWarning

    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", category=DegreesWarning)
        yield


def _points_in_region(rng: np.random.Generator, mesh, n: int) -> np.ndarray:
    """Uniform in the study region: a region triangle drawn by area, then a point in it."""
    corners = mesh.loc[mesh.tv[mesh.in_region]]
    a, b = corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0]
    area = np.abs(a[:, 0] * b[:, 1] - a[:, 1] * b[:, 0])
    k = rng.choice(len(corners), size=n, p=area / area.sum())
    u, v = rng.random(n), rng.random(n)
    flip = u + v > 1.0  # fold the square's far half back onto the triangle
    u[flip], v[flip] = 1.0 - u[flip], 1.0 - v[flip]
    return corners[k, 0] + u[:, None] * a[k] + v[:, None] * b[k]


def _check_model_files(model, prefix: str) -> None:
    """Reads the seven files back and compares them with the model's matrices."""
    from scipy import sparse

    from corvid.meshkin_io import read_meshkin_file

    for suffix, expected in [(".M0", model.M0), (".M1", model.M1), (".M2", model.M2), (".B0", model.B0),
                             (".B1", model.B1), (".B2", model.B2), (".BLC", model.BLC)]:
        got = read_meshkin_file(prefix + suffix)
        if got.ndim == 1:  # a diagonal matrix is read back as its diagonal
            got = sparse.diags(got)
        if sparse.issparse(got) or sparse.issparse(expected):
            same = got.shape == expected.shape and (
                sparse.csr_matrix(got) != sparse.csr_matrix(expected)).nnz == 0
        else:
            same = np.array_equal(got, expected)
        if not same:
            raise RuntimeError(f"{prefix}{suffix} does not hold the model's matrix")


@dataclasses.dataclass
class Truth:
    """The values the data were simulated with."""

    range: float
    sigma: float
    noise_sd: float
    intercept: float

    @property
    def theta(self) -> np.ndarray:
        return np.log([self.range, self.sigma, self.noise_sd])


def _progress_line(report) -> None:
    print("   " + report.line())


def _truth_table(truth: Truth, fit) -> str:
    """Truth against estimate, with the 95% intervals and whether they hold the truth."""
    rows = [(name, getattr(truth, name), h.estimate, h.lower, h.upper)
            for name, h in fit.hyperparameters.items() if hasattr(truth, name)]
    half = 1.959963984540054 * fit.fixed_sd[0]
    rows.append(("intercept", truth.intercept, fit.fixed_mean[0], fit.fixed_mean[0] - half,
                 fit.fixed_mean[0] + half))
    lines = [f"   {'':<10}{'truth':>9}{'estimate':>10}{'95% interval':>22}  covers",
             *(f"   {name:<10}{true:>9.4g}{est:>10.4g}   [{lo:>8.4g}, {hi:>8.4g}]  "
               f"{'yes' if lo <= true <= hi else 'no'}" for name, true, est, lo, hi in rows)]
    return "\n".join(lines)


def region_grid(mesh, dims):
    """(projector, xlim, ylim, outside): a grid of dims = (nx, ny) cells over the study
    region's bounding box, and the cells outside the region (in the buffer, a lake), (ny, nx)."""
    from corvid.meshkin.locate import MeshGridProjector, find_triangles

    region = mesh.loc[mesh.tv[mesh.in_region]]
    xlim = (float(region[..., 0].min()), float(region[..., 0].max()))
    ylim = (float(region[..., 1].min()), float(region[..., 1].max()))
    projector = MeshGridProjector(mesh, dims=dims, xlim=xlim, ylim=ylim)
    triangle, _ = find_triangles(mesh, projector.lattice)
    outside = ~((triangle >= 0) & mesh.in_region[np.maximum(triangle, 0)]).reshape(dims[1], dims[0])
    return projector, xlim, ylim, outside


def _save_picture(fit, counts_fit, mesh, truth_field, intensity, obs, y, dims, path: str):
    """Six panels over the study region: the true field, the observations, the posterior
    mean and sd of the Gaussian fit; the true intensity of the counts and the Poisson fit's
    estimate of it (the posterior mean of exp(intercept + field))."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.collections import LineCollection
    except ImportError:
        print("   matplotlib is not installed: no picture. Install it with: pip install 'corvid[plot]'")
        return None
    projector, xlim, ylim, outside = region_grid(mesh, dims)

    def masked(image):
        return np.ma.masked_where(outside, image)

    mean, sd = fit.grid(dims=dims, xlim=xlim, ylim=ylim)
    rate, _ = counts_fit.grid(dims=dims, xlim=xlim, ylim=ylim, scale="response")
    truth_image = masked(projector.project(truth_field))
    true_rate = masked(projector.project(intensity))
    low, high = float(truth_image.min()), float(truth_image.max())
    rate_scale = {"vmin": 0.0, "vmax": float(true_rate.max())}
    panels = [(truth_image, "true field (with the intercept)", {"vmin": low, "vmax": high}),
              (None, f"{len(y)} observations", {}),
              (masked(mean), "posterior mean", {"vmin": low, "vmax": high}),
              (masked(sd), "posterior sd", {}),
              (true_rate, "true intensity of the counts", rate_scale),
              (masked(rate), "estimated intensity (Poisson fit)", rate_scale)]

    fig, axes = plt.subplots(3, 2, figsize=(11, 13), constrained_layout=True)
    for ax, (image, title, scale) in zip(axes.ravel(), panels):
        if image is None:
            shown = ax.scatter(obs[:, 0], obs[:, 1], c=y, s=6, cmap="viridis", vmin=low, vmax=high)
            ax.set_xlim(xlim)
            ax.set_ylim(ylim)
        else:
            shown = ax.imshow(image, origin="lower", extent=(*xlim, *ylim), cmap="viridis", **scale)
        fig.colorbar(shown, ax=ax, shrink=0.85)
        ax.add_collection(LineCollection(mesh.loc[mesh.boundary_edges], colors="black", linewidths=0.8))
        ax.set_title(title)
        ax.set_aspect("equal")
    fig.savefig(path, dpi=80)
    plt.close(fig)
    return path


def _vet_and_show_engine() -> None:
    from corvid.options import quill_get_option
    from corvid.safety.errors import SafetyError
    from corvid.safety.expression import _is_expression_prior, _validate_expression_prior
    from corvid.safety.family import enforce_allowed_family

    prior = "expression: log_range = theta; return(-exp(log_range) + log_range)"
    # Tell expression priors apart first: the validator reads only what follows the first colon.
    if _is_expression_prior(prior):
        _validate_expression_prior(prior)
        print(f"   expression prior accepted: {prior!r}")
    print(f"   family accepted: {enforce_allowed_family({'family': ' Gaussian '})}")
    try:
        enforce_allowed_family({"family": "os.system"})
    except SafetyError as exc:
        print(f"   family 'os.system' refused: {str(exc)[:70]}...")
    try:
        print(f"   engine command: {quill_get_option('quill.call')}")
        print(f"   mesher command: {quill_get_option('meshkin.call')}")
    except (FileNotFoundError, RuntimeError) as exc:
        print(f"   no engine or mesher installed here ({exc})")
        print("   set QUILL_BIN and MESHKIN_BIN, or the options 'quill.call' and 'meshkin.call', to run the engine")
