"""The demo's geography step: stations in longitude and latitude on a coast at 68° N, an
elevation raster, the fit in an equal-area projection centred on them, and the posterior
map as a GeoTIFF, read back with rasterio to check its CRS, transform and values."""

from __future__ import annotations

import os

import numpy as np

# A made-up stretch of coast at 68° N (a headland and a fjord), in longitude and latitude.
COAST = np.array([[12.0, 67.4], [16.5, 67.4], [17.2, 68.2], [16.0, 68.9], [14.8, 68.3],
                  [14.2, 68.7], [12.6, 68.6], [12.3, 68.0]])
STATIONS = 500
SLOPE = -0.0065            # temperature per metre of elevation: the lapse rate
RANGE_KM, SIGMA, NOISE = 60.0, 1.0, 0.3


def elevation(lon: np.ndarray, lat: np.ndarray) -> np.ndarray:
    """Metres: mountains rising inland to the east, a ridge along 68.2° N."""
    return 150.0 * (lon - 12.0) + 400.0 * np.exp(-((lat - 68.2) / 0.2) ** 2)


def run(directory: str, rng: np.random.Generator, show) -> dict:
    """Writes geography/coast.gpkg, elevation.tif and posterior.tif into `directory`;
    returns their paths. `show` names a path as the user will find it."""
    import geopandas as gpd
    import pandas as pd
    import rasterio
    import shapely
    from rasterio.transform import from_origin

    from corvid.fit import fit
    from corvid.geo import Projection
    from corvid.meshkin.gfield import gfield2_pcmatern
    from corvid.meshkin.locate import basis_matrix
    from corvid.meshkin.regions import region_mesh
    from corvid.sampling import gmrf_sample

    folder = os.path.join(directory, "geography")
    os.makedirs(folder, exist_ok=True)
    paths = {name: os.path.join(folder, name) for name in ("coast.gpkg", "elevation.tif", "posterior.tif")}
    coast = shapely.Polygon(COAST)
    gpd.GeoDataFrame(geometry=[coast], crs="EPSG:4326").to_file(paths["coast.gpkg"])
    cell = 0.01
    lon = np.arange(11.5, 17.7, cell) + cell / 2
    lat = np.arange(69.2, 67.1, -cell) - cell / 2
    with rasterio.open(paths["elevation.tif"], "w", driver="GTiff", height=lat.size, width=lon.size,
                       count=1, dtype="float64", crs="EPSG:4326",
                       transform=from_origin(11.5, 69.2, cell, cell)) as out:
        out.write(elevation(*np.meshgrid(lon, lat)), 1)

    lonlat = rng.uniform(COAST.min(axis=0), COAST.max(axis=0), (4 * STATIONS, 2))
    lonlat = lonlat[shapely.contains_xy(coast, *lonlat.T)][:STATIONS]
    projection = Projection("EPSG:4326", data=lonlat)
    xy = projection.forward(lonlat)
    mesh = region_mesh(paths["coast.gpkg"], crs=projection, max_edge=RANGE_KM / 8.0,
                       offset=RANGE_KM)
    model = gfield2_pcmatern(mesh, prior_range=(20.0, 0.5), prior_sigma=(2.0, 0.01))
    field = gmrf_sample(model.precision(np.log([RANGE_KM, SIGMA])), rng)
    height = elevation(*lonlat.T)
    temp = 8.0 + SLOPE * height + basis_matrix(mesh, xy) @ field + NOISE * rng.standard_normal(len(xy))
    print(f"   {len(xy)} stations in longitude and latitude at 68° N, projected to "
          f"{projection.target.name}; mesh of the coast: {mesh.n} vertices")
    result = fit(model, xy, temp, covariates=pd.DataFrame({"elevation": height}),
                 prior_noise=(1.0, 0.01))
    slope, sd = result.fixed_mean[1], result.fixed_sd[1]
    r = result.hyperparameters["range"]
    print(f"   lapse rate: truth {SLOPE:g} per m, estimate {slope:.4g} [{slope - 1.96 * sd:.4g}, "
          f"{slope + 1.96 * sd:.4g}]; range: truth {RANGE_KM:g} km, estimate {r.estimate:.4g} km "
          f"[{r.lower:.4g}, {r.upper:.4g}]")

    rasters = {"elevation": paths["elevation.tif"]}
    maps = result.maps(dims=(160, 120), covariates=rasters)
    result.to_geotiff(paths["posterior.tif"], dims=(160, 120), covariates=rasters)
    _check_geotiff(paths["posterior.tif"], maps, projection)
    print(f"   {show(paths['posterior.tif'])}: read back with rasterio, its CRS, transform and "
          "values are the map's")
    return {name: show(path) for name, path in paths.items()}


def _check_geotiff(path: str, maps, projection) -> None:
    """Raises RuntimeError unless the file holds the map's CRS, transform and values."""
    import rasterio
    from rasterio.transform import from_origin

    x, y = maps.x.values, maps.y.values
    dx, dy = x[1] - x[0], y[0] - y[1]
    with rasterio.open(path) as tif:
        same_crs = rasterio.crs.CRS.from_wkt(projection.target.to_wkt()) == tif.crs
        same_transform = tif.transform.almost_equals(
            from_origin(x[0] - dx / 2, y[0] + dy / 2, dx, dy), precision=1e-9)
        same_values = all(np.array_equal(tif.read(band), maps[name].values, equal_nan=True)
                          for band, name in enumerate(tif.descriptions, start=1))
    if not (same_crs and same_transform and same_values):
        raise RuntimeError(f"{path} does not hold the map: CRS {same_crs}, transform "
                           f"{same_transform}, values {same_values}")
