/// The locator's functions: triangles and weights of points, basis-matrix rows, and the
/// bucket-grid query.
#include "glue/call.hpp"
#include "glue/convert.hpp"
#include "glue/function.hpp"
#include "glue/gil.hpp"
#include "locator/arrays.hpp"
#include "locator/kernels/basis_rows.hpp"
#include "locator/kernels/boundary.hpp"
#include "locator/kernels/locate.hpp"
#include "locator/parts.hpp"
#include "locator/prepared_mesh.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace corvid::locator {

namespace {

Ref locate(Args a) {
    PreparedMesh mesh = prepare_mesh(a[0], a[1]);
    std::vector<double> points = copy_xy(a[2], "points", 2, 3);
    const std::size_t k = points.size() / 2;
    NewArray triangle({static_cast<Py_ssize_t>(k)}, Element::int64);
    NewArray weights({static_cast<Py_ssize_t>(k), 3}, Element::float64);
    without_gil([&] {
        locate_points(mesh.view(), mesh.grid, points.data(), 2, k, triangle.data<std::int64_t>(),
                      weights.data<double>());
    });
    return py_tuple({triangle.array(), weights.array()});
}

/// Row pointers, column indices and values from located points, with index type J.
template <class J>
Ref basis_arrays(const PreparedMesh& mesh, const std::vector<std::int64_t>& triangle,
                 const std::vector<double>& weights, Element index) {
    const std::size_t k = triangle.size();
    NewArray indptr({static_cast<Py_ssize_t>(k) + 1}, index);
    without_gil([&] { count_row_entries(triangle.data(), weights.data(), k, indptr.data<J>()); });
    const auto nnz = static_cast<Py_ssize_t>(indptr.data<J>()[k]);
    NewArray indices({nnz}, index);
    NewArray data({nnz}, Element::float64);
    without_gil([&] {
        fill_row_entries(mesh.triangles.data(), triangle.data(), weights.data(), k,
                         indptr.data<J>(), indices.data<J>(), data.data<double>());
    });
    return py_tuple({indptr.array(), indices.array(), data.array()});
}

Ref basis(Args a) {
    PreparedMesh mesh = prepare_mesh(a[0], a[1]);
    std::vector<double> points = copy_xy(a[2], "points", 2, 3);
    const bool nearest = check_status(PyObject_IsTrue(a[3])) == 1;
    const std::size_t k = points.size() / 2;
    std::vector<std::int64_t> triangle(k);
    std::vector<double> weights(3 * k);
    without_gil([&] {
        const Mesh<std::int32_t> view = mesh.view();
        locate_points(view, mesh.grid, points.data(), 2, k, triangle.data(), weights.data());
        if (!nearest) return;
        Boundary<std::int32_t> boundary(view);
        for (std::size_t i = 0; i < k; ++i) {
            const double* p = &points[2 * i];
            if (triangle[i] < 0 && std::isfinite(p[0]) && std::isfinite(p[1]))
                triangle[i] = boundary.nearest(p, &weights[3 * i]);
        }
    });
    // Indices as SciPy would choose them: 32 bits whenever every count fits.
    if (k > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) / 3)
        return basis_arrays<std::int64_t>(mesh, triangle, weights, Element::int64);
    return basis_arrays<std::int32_t>(mesh, triangle, weights, Element::int32);
}

Ref triangles_near(Args a) {
    PreparedMesh mesh = prepare_mesh(a[0], a[1]);
    const std::array<double, 2> p = to_double_pair(a[2]);
    const double pad = to_double(a[3]);
    std::vector<std::int64_t> found;
    without_gil([&] {
        mesh.grid.for_each_near(p[0], p[1], pad, [&](std::uint32_t t) { found.push_back(t); });
        std::sort(found.begin(), found.end());
    });
    NewArray out({static_cast<Py_ssize_t>(found.size())}, Element::int64);
    std::copy(found.begin(), found.end(), out.data<std::int64_t>());
    return Ref(out.array());
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
    .impl = locate,
};

const FunctionDef kBasis{
    .name = "_basis",
    .params = {{.name = "vertices", .annotation = "np.ndarray"},
               {.name = "triangles", .annotation = "np.ndarray"},
               {.name = "points", .annotation = "np.ndarray"},
               {.name = "nearest", .annotation = "bool"}},
    .returns = "Tuple[np.ndarray, np.ndarray, np.ndarray]",
    .doc = "CSR arrays (indptr, indices, data) of the P1 basis at the points.\n\n"
           "Arguments as for _locate. A row holds the non-zero weights of its point, by\n"
           "ascending vertex; a point outside the mesh has an empty row, or with nearest\n"
           "the weights of the nearest point on the mesh's boundary.",
    .impl = basis,
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
    .impl = triangles_near,
};

}  // namespace

void add_location(PyObject* module) {
    add_function(module, kLocate);
    add_function(module, kBasis);
    add_function(module, kTrianglesNear);
}

}  // namespace corvid::locator
