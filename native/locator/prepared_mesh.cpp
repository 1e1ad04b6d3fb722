#include "locator/prepared_mesh.hpp"

#include "glue/call.hpp"
#include "glue/gil.hpp"
#include "glue/text.hpp"
#include "locator/arrays.hpp"
#include "locator/kernels/exact.hpp"
#include "locator/kernels/overlap.hpp"

#include <algorithm>
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
        case MeshDefect::too_small:
            m << " is too small for exact floating-point arithmetic at these coordinates: twice its "
                 "area is below 1e-289 (a mesh whose coordinates are all below 1e-30 is first "
                 "rescaled to about 1)";
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
        case MeshDefect::overlap:
            m << " overlaps ";
            if (d.other >= 0) m << "triangle " << py_int(d.other) << " " << corners_text(mesh, d.other);
            else m << "a triangle of lower index";
            m << ": part of the plane lies inside both";
            break;
        case MeshDefect::none:
            break;
    }
    raise(PyExc_ValueError, m);
}

/// Coordinates whose largest magnitude is below this are rescaled to about 1, so that the
/// products in orientation tests stay far from underflow.
constexpr double kRescaleBelow = 0x1p-100;
/// A doubled area below this (in the rescaled frame, whose largest coordinate is at least
/// 2^-100) is checked exactly: products this small may have lost bits to underflow.
constexpr double kTinyArea = 0x1p-960;

/// The flat or too small triangle of lowest index, if any.
MeshDefect find_degenerate(const PreparedMesh& mesh) {
    const Mesh<std::int32_t> v = mesh.view();
    MeshDefect d;
    for (std::size_t t = 0; t < v.n_triangles; ++t) {
        if (!(std::fabs(v.area2[t]) < kTinyArea)) continue;
        const bool flat = orient2d_sign_exact(v.corner(t, 0), v.corner(t, 1), v.corner(t, 2)) == 0;
        d.kind = flat ? MeshDefect::flat : MeshDefect::too_small;
        d.triangle = static_cast<std::int64_t>(t);
        break;
    }
    return d;
}

}  // namespace

const double* framed_points(const PreparedMesh& mesh, const double* xy, std::size_t& stride,
                            std::size_t k, std::vector<double>& copy) {
    if (mesh.shift == 0) return xy;
    copy.resize(2 * k);
    for (std::size_t i = 0; i < k; ++i) {
        copy[2 * i] = std::ldexp(xy[i * stride], mesh.shift);
        copy[2 * i + 1] = std::ldexp(xy[i * stride + 1], mesh.shift);
    }
    stride = 2;
    return copy.data();
}

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
        // Locating is the same at any scale by a power of two: tiny meshes are scaled up,
        // exactly, rather than left where orientations underflow.
        double largest = 0.0;
        for (double c : mesh.xy) largest = std::max(largest, std::fabs(c));
        if (largest > 0.0 && largest < kRescaleBelow) {
            mesh.shift = -std::ilogb(largest);
            for (double& c : mesh.xy) c = std::ldexp(c, mesh.shift);
        }
        mesh.area2.resize(m);
        doubled_areas(mesh.xy.data(), mesh.triangles.data(), m, mesh.area2.data());
        defect = find_degenerate(mesh);
        if (defect.kind != MeshDefect::none) return;
        mesh.neighbors.resize(3 * m);
        defect = build_neighbors(mesh.triangles.data(), m, n, mesh.area2.data(),
                                 mesh.neighbors.data());
        if (defect.kind != MeshDefect::none) return;
        if (m > 0) {
            const double* first = mesh.view().corner(0, 0);
            mesh.bounds = {first[0], first[1], first[0], first[1]};
        }
        for (std::int32_t v : mesh.triangles) {
            const double* p = mesh.xy.data() + 2 * static_cast<std::size_t>(v);
            mesh.bounds = {std::min(mesh.bounds.xlo, p[0]), std::min(mesh.bounds.ylo, p[1]),
                           std::max(mesh.bounds.xhi, p[0]), std::max(mesh.bounds.yhi, p[1])};
        }
        defect = find_overlap(mesh.view());
    });
    if (defect.kind != MeshDefect::none) raise_defect(mesh, defect);
    return mesh;
}

}  // namespace corvid::locator
