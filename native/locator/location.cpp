/// The locator's functions: triangles and weights of points, basis-matrix rows, and the
/// bucket-grid query.
#include "glue/call.hpp"
#include "glue/convert.hpp"
#include "glue/function.hpp"
#include "glue/gil.hpp"
#include "locator/arrays.hpp"
#include "locator/kernels/basis_rows.hpp"
#include "locator/kernels/boundary.hpp"
#include "locator/kernels/fallback.hpp"
#include "locator/kernels/locate.hpp"
#include "locator/kernels/triangle_grid.hpp"
#include "locator/parts.hpp"
#include "locator/prepared_mesh.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace corvid::locator {

namespace {

/// Locates k framed points (xy, stride) on the mesh: the walk, then the lookup for the
/// points it cannot reach; store(i, t, w) receives each point found.
template <class Store>
void locate_framed(const Mesh<std::int32_t>& view, const PreparedMesh& mesh, const double* xy,
                   std::size_t stride, std::size_t k, Store&& store,
                   Visit visit = Visit::hilbert) {
    Lookup<std::int32_t> lookup(view);
    locate_points(
        view, nullptr, mesh.bounds, xy, stride, k, std::forward<Store>(store),
        [&](const std::vector<std::uint32_t>& index, std::vector<std::int64_t>& found) {
            lookup(xy, stride, index, found);
        },
        visit);
}

Ref locate(Object vertices, Object triangles, Object points_array) {
    Coordinates points(points_array, "points");
    PreparedMesh mesh = prepare_mesh(vertices, triangles);
    const std::size_t k = points.size();
    FreshArray triangle({static_cast<Py_ssize_t>(k)}, Element::int64);
    FreshArray weights({static_cast<Py_ssize_t>(k), 3}, Element::float64);
    std::int64_t* tri = triangle.data<std::int64_t>();
    double* wx = weights.data<double>();
    without_gil([&] {
        const Mesh<std::int32_t> view = mesh.view();
        std::vector<double> copy;
        std::size_t stride = points.stride();
        const double* xy = framed_points(mesh, points.xy(), stride, k, copy);
        locate_framed(view, mesh, xy, stride, k, [&](std::size_t i, std::int64_t t, const double* w) {
            tri[i] = t;
            for (int c = 0; c < 3; ++c) wx[3 * i + c] = w[c];
        });
    });
    return py_tuple({triangle.array, weights.array});
}

/// Row pointers, column indices and values with index type J, as compact_rows leaves
/// them: indices and data are three entries a row long, of which the first indptr[k] are
/// used.
template <class J>
Ref basis_arrays(const PreparedMesh& mesh, const Coordinates& points, bool nearest,
                 Visit visit, Element index) {
    const std::size_t k = points.size();
    FreshArray indptr({static_cast<Py_ssize_t>(k) + 1}, index);
    FreshArray indices({3 * static_cast<Py_ssize_t>(k)}, index);
    FreshArray data({3 * static_cast<Py_ssize_t>(k)}, Element::float64);
    J* ip = indptr.data<J>();
    J* ix = indices.data<J>();
    double* dx = data.data<double>();
    without_gil([&] {
        const Mesh<std::int32_t> view = mesh.view();
        const std::int32_t* corners = mesh.triangles.data();
        std::vector<double> copy;
        std::size_t stride = points.stride();
        const double* xy = framed_points(mesh, points.xy(), stride, k, copy);
        locate_framed(
            view, mesh, xy, stride, k,
            [&](std::size_t i, std::int64_t t, const double* w) { put_row(corners, i, t, w, ix, dx); },
            visit);
        if (nearest) {
            Boundary<std::int32_t> boundary(view, mesh.shift);
            for (std::size_t i = 0; i < k; ++i) {
                if (!row_is_empty(i, dx)) continue;
                const double p[2] = {points.xy()[i * points.stride()],
                                     points.xy()[i * points.stride() + 1]};
                if (!std::isfinite(p[0]) || !std::isfinite(p[1])) continue;
                double w[3];
                put_row(corners, i, boundary.nearest(xy + i * stride, p, w), w, ix, dx);
            }
        }
        compact_rows(k, ip, ix, dx);
    });
    return py_tuple({indptr.array, indices.array, data.array});
}

Ref basis(Object vertices, Object triangles, Object points_array, bool nearest, bool in_order) {
    Coordinates points(points_array, "points");
    const Visit visit = in_order ? Visit::given : Visit::hilbert;
    PreparedMesh mesh = prepare_mesh(vertices, triangles);
    // Indices as SciPy would choose them: 32 bits whenever every count fits.
    if (points.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) / 3)
        return basis_arrays<std::int64_t>(mesh, points, nearest, visit, Element::int64);
    return basis_arrays<std::int32_t>(mesh, points, nearest, visit, Element::int32);
}

Ref triangles_near(Object vertices, Object triangles, FloatPair p, double pad) {
    PreparedMesh mesh = prepare_mesh(vertices, triangles);
    std::vector<std::int64_t> found;
    without_gil([&] {
        const BucketGrid grid = triangle_grid(mesh.xy.data(), mesh.triangles.data(), mesh.area2.size());
        grid.for_each_near(std::ldexp(p[0], mesh.shift), std::ldexp(p[1], mesh.shift),
                           std::ldexp(pad, mesh.shift), [&](std::uint32_t t) { found.push_back(t); });
        std::sort(found.begin(), found.end());
    });
    FreshArray out({static_cast<Py_ssize_t>(found.size())}, Element::int64);
    std::copy(found.begin(), found.end(), out.data<std::int64_t>());
    return out.array;
}

const FunctionDef kLocate{
    .name = "_locate",
    .params = {{.name = "vertices", .annotation = "np.ndarray"},
               {.name = "triangles", .annotation = "np.ndarray"},
               {.name = "points", .annotation = "np.ndarray"}},
    .returns = "Tuple[np.ndarray, np.ndarray]",
    .doc = "The triangle that holds each point and the point's barycentric weights in it.\n\n"
           "vertices is (n, 2) or (n, 3) float64 (x, y used), triangles (m, 3) int64 and\n"
           "points (k, 2) or (k, 3) float64. Returns (triangle, weights): int64 of shape (k,),\n"
           "-1 for a point in no triangle, and float64 of shape (k, 3), the weights in the\n"
           "order of the triangle's corners (zeros outside).",
    .impl = typed<locate>,
};

const FunctionDef kBasis{
    .name = "_basis",
    .params = {{.name = "vertices", .annotation = "np.ndarray"},
               {.name = "triangles", .annotation = "np.ndarray"},
               {.name = "points", .annotation = "np.ndarray"},
               {.name = "nearest", .annotation = "bool"},
               {.name = "in_order", .annotation = "bool"}},
    .returns = "Tuple[np.ndarray, np.ndarray, np.ndarray]",
    .doc = "CSR arrays (indptr, indices, data) of the P1 basis at the points.\n\n"
           "Arguments as for _locate. A row holds the non-zero weights of its point, by\n"
           "ascending vertex; a point outside the mesh has an empty row, or with nearest\n"
           "the weights of the nearest point on the mesh's boundary. indices and data hold\n"
           "three entries per point, of which the first indptr[-1] are used. With in_order\n"
           "the points are visited as given (each close to the one before, as the rows of a\n"
           "lattice), else along a Hilbert curve; the result is the same.",
    .impl = typed<basis>,
};

const FunctionDef kTrianglesNear{
    .name = "_triangles_near",
    .params = {{.name = "vertices", .annotation = "np.ndarray"},
               {.name = "triangles", .annotation = "np.ndarray"},
               {.name = "point", .annotation = "Tuple[float, float]"},
               {.name = "pad", .annotation = "float"}},
    .returns = "np.ndarray",
    .doc = "The triangles whose bounding box, grown by pad on every side, holds the point,\n"
           "as ascending int64 indices.",
    .impl = typed<triangles_near>,
};

}  // namespace

void add_location(PyObject* module) {
    add_function(module, kLocate);
    add_function(module, kBasis);
    add_function(module, kTrianglesNear);
}

}  // namespace corvid::locator
