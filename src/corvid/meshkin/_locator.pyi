"""Point location in a mesh's own triangles: the triangle that holds each point,
its barycentric weights, and the rows of the P1 basis matrix."""

from typing import Tuple

import numpy as np

def _locate(
    vertices: np.ndarray, triangles: np.ndarray, points: np.ndarray
) -> Tuple[np.ndarray, np.ndarray]: ...
def _basis(
    vertices: np.ndarray,
    triangles: np.ndarray,
    points: np.ndarray,
    nearest: bool,
    in_order: bool,
) -> Tuple[np.ndarray, np.ndarray, np.ndarray]: ...
def _triangles_near(
    vertices: np.ndarray, triangles: np.ndarray, point: Tuple[float, float], pad: float
) -> np.ndarray: ...
