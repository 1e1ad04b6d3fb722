"""Files a user brings to the fit command, written for the tests: tables, a coast at 62° N
in a GeoPackage and elevation rasters in longitude and latitude."""

import numpy as np


def write_table(path, columns):
    """A CSV file with a header row from {name: values}; returns its path as a str."""
    names = list(columns)
    rows = zip(*(columns[name] for name in names))
    path.write_text(",".join(names) + "\n" + "".join(",".join(map(str, r)) + "\n" for r in rows))
    return str(path)


def elevation(lon, lat):
    """Metres: rising to the east, a wave along the latitudes."""
    return 300.0 + 100.0 * (lon - 15.0) + 200.0 * np.cos(2.0 * lat)


def coast(points=120):
    """An elliptic coast around (15 E, 62 N), as a shapely Polygon."""
    import shapely

    angle = np.linspace(0.0, 2.0 * np.pi, points, endpoint=False)
    return shapely.Polygon(np.c_[15.0 + 3.0 * np.cos(angle), 62.0 + 1.2 * np.sin(angle)])


def write_elevation_raster(path, west=10.0):
    """A GeoTIFF of `elevation` in EPSG:4326 from `west` to 20 E, 59 to 65 N, 0.02° cells."""
    import rasterio
    from rasterio.transform import from_origin

    lon = np.arange(west, 20.0, 0.02) + 0.01
    lat = np.arange(65.0, 59.0, -0.02) - 0.01
    with rasterio.open(path, "w", driver="GTiff", height=lat.size, width=lon.size, count=1,
                       dtype="float64", crs="EPSG:4326", transform=from_origin(west, 65.0, 0.02, 0.02)) as f:
        f.write(elevation(*np.meshgrid(lon, lat)), 1)
    return str(path)
