"""Real geography for corvid's meshes and fits: coordinate reference systems, study regions
from GIS vector files, covariates from rasters, and maps as xarray Datasets and GeoTIFFs.

Everything here needs the geo extra (pip install 'corvid[geo]'); importing corvid.geo does
not, and each function raises ImportError naming the extra when a library is missing.

- `Projection(source, target=None, *, data=None, centre=None, unit=None)`: the data's CRS
  to a planar one (equal-area, centred on the data, for longitude and latitude) and back;
  `looks_like_degrees(xy, names=None)` tells when coordinates may be degrees.
- `read_region(source, crs=None, *, max_edge=None, points=None)`: polygons from shapely,
  GeoPandas or a vector file, as the rings `region_mesh` takes (which also accepts these
  sources directly).
- `Raster(source, *, categorical=None, band=1)` and `sample_covariates(covariates, points,
  crs)`: covariate values at points from GeoTIFFs or xarray DataArrays.
- `posterior_maps(predict, dims, xlim, ylim, *, crs, layers, covariates=None, chunks=None)`:
  an xarray Dataset of a predictor on a regular grid, dask-backed by blocks with `chunks`;
  `to_geotiff(dataset, path)` writes it for a GIS.
"""

from .crs import Projection, as_crs, looks_like_degrees
from .maps import grid_axes, posterior_maps
from .geotiff import to_geotiff
from .rasters import Raster, sample_covariates
from .region import StudyRegion, read_region

__all__ = ["Projection", "as_crs", "looks_like_degrees", "read_region", "StudyRegion", "Raster",
           "sample_covariates", "posterior_maps", "grid_axes", "to_geotiff"]
