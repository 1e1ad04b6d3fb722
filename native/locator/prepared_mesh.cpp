#include "locator/prepared_mesh.hpp"

#include "glue/call.hpp"
#include "glue/gil.hpp"
#include "glue/text.hpp"
#include "locator/arrays.hpp"
#include "locator/kernels/triangle_grid.hpp"

#include <cmath>

namespace corvid::locator {

namespace {

Ref corners_text(const PreparedMesh& mesh, std::int64_t t) {
    const std::int32_t* c = mesh.triangles.data() + 3 * t;
    return (Text() << "[" << py_int(c[0]) << ", " << py_int(c[1]) << ", " << py_int(c[2]) << "]")
        .str();
}

[[noreturn]] void raise_defect(const PreparedMesh& mesh, const MeshDefect& d) {
    Text m;
    m << "triangle " << py_int(d.triangle) << " " << corners_text(mesh, d.triangle);
    switch (d.kind) {
        case MeshDefect::flat:
            m << " has zero area: its corners are collinear";
            break;
        case MeshDefect::shared_edge:
            m << " overlaps triangles " << py_int(d.other) << " and " << py_int(d.third)
              << ": all three have the edge (" << py_int(d.u) << ", " << py_int(d.v) << ")";
            break;
        case MeshDefect::fold:
            m << " overlaps triangle " << py_int(d.other)
              << ": both lie on the same side of their shared edge (" << py_int(d.u) << ", "
              << py_int(d.v) << ")";
            break;
        case MeshDefect::vertex_inside:
            m << " overlaps the mesh around vertex " << py_int(d.u)
              << ", which lies inside it without being one of its corners";
            break;
        case MeshDefect::none:
            break;
    }
    raise(PyExc_ValueError, m);
}

}  // namespace

PreparedMesh prepare_mesh(PyObject* vertices, PyObject* triangles) {
    PreparedMesh mesh;
    mesh.xy = copy_xy(vertices, "vertices");
    const std::size_t n = mesh.xy.size() / 2;
    if (n > INT32_MAX) raise(PyExc_ValueError, "too many vertices");
    for (std::size_t j = 0; j < n; ++j) {
        const double x = mesh.xy[2 * j], y = mesh.xy[2 * j + 1];
        if (!std::isfinite(x) || !std::isfinite(y))
            raise(PyExc_ValueError, Text() << "vertex " << py_int(static_cast<long long>(j))
                                           << " has non-finite coordinates");
        if (std::fabs(x) > kMaxCoordinate || std::fabs(y) > kMaxCoordinate)
            raise(PyExc_ValueError,
                  Text() << "vertex " << py_int(static_cast<long long>(j))
                         << " has a coordinate beyond 1e150 in magnitude, where orientation "
                            "tests would overflow");
    }
    mesh.triangles = copy_triangles(triangles, n);
    const std::size_t m = mesh.triangles.size() / 3;

    MeshDefect defect;
    without_gil([&] {
        mesh.area2.resize(m);
        doubled_areas(mesh.xy.data(), mesh.triangles.data(), m, mesh.area2.data());
        defect = find_flat(mesh.area2.data(), m);
        if (defect.kind != MeshDefect::none) return;
        mesh.neighbors.resize(3 * m);
        defect = build_neighbors(mesh.triangles.data(), m, n, mesh.area2.data(),
                                 mesh.neighbors.data());
        if (defect.kind != MeshDefect::none) return;
        mesh.grid = triangle_grid(mesh.xy.data(), mesh.triangles.data(), m);
        defect = find_vertex_inside(mesh.view(), mesh.grid);
    });
    if (defect.kind != MeshDefect::none) raise_defect(mesh, defect);
    return mesh;
}

}  // namespace corvid::locator
