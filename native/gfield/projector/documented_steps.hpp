/// The projector matrix built step by step as its documentation states it, calling the
/// module's `_compute_barycentric` or `_find_nearest_vertex` for every point: the path taken
/// while either has been rebound (the C++ paths compute the same weights themselves).
#pragma once

#include "glue/function.hpp"

namespace corvid::gfield::projector {

/// Rows of the located points: `tri.find_simplex(loc[:, :2])`, then for each point in a
/// triangle the weights `_compute_barycentric(point[:2], v0, v1, v2)`, those of magnitude
/// above 1e-12 stored.
Ref located_by_steps(const Module& m, PyObject* tri, PyObject* loc, PyObject* mesh_xy,
                     Py_ssize_t rows, PyObject* n);

/// Every row 1.0 at `_find_nearest_vertex(mesh, point)`.
Ref nearest_by_steps(const Module& m, PyObject* mesh, PyObject* loc, Py_ssize_t rows, PyObject* n);

}  // namespace corvid::gfield::projector
