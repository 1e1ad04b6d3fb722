/// The projector matrix: barycentric interpolation from mesh vertices to observation points.
#include "gfield/projector/kernels/barycentric.hpp"
#include "gfield/projector/kernels/delaunay_rows.hpp"
#include "locator/kernels/triangle_grid.hpp"
#include "gfield/parts.hpp"
#include "gfield/projector/documented_steps.hpp"
#include "glue/array.hpp"
#include "glue/call.hpp"
#include "glue/convert.hpp"
#include "glue/function.hpp"
#include "glue/gil.hpp"

#include <cstdint>
#include <limits>
#include <vector>

namespace corvid::gfield::projector {

namespace {

/// `obj[:, :stop]`.
Ref leading_columns(PyObject* obj, long stop) {
    Ref all = checked(PySlice_New(nullptr, nullptr, nullptr));
    Ref head = checked(PySlice_New(nullptr, py_int(stop).get(), nullptr));
    return checked(PyObject_GetItem(obj, py_tuple({all, head}).get()));
}

/// `obj[:stop]`.
Ref head(PyObject* obj, long stop) {
    Ref slice = checked(PySlice_New(nullptr, py_int(stop).get(), nullptr));
    return checked(PyObject_GetItem(obj, slice.get()));
}

/// True for arrays whose values convert to float64 exactly as NumPy's arithmetic would
/// convert them (booleans, integers, floats up to double precision).
bool is_plain_real(PyObject* array) {
    Ref dtype = attr(array, "dtype");
    Ref kind_str = attr(dtype.get(), "kind");
    std::string_view kind = utf8(kind_str.get());
    if (kind == "b" || kind == "i" || kind == "u") return true;
    if (kind != "f") return false;
    Ref itemsize = attr(dtype.get(), "itemsize");
    long bytes = PyLong_AsLong(itemsize.get());
    if (bytes == -1 && PyErr_Occurred()) throw_python_error();
    return bytes <= 8;
}

/// `scipy.sparse.csr_matrix((data, indices, indptr), shape=(rows, columns))`.
Ref csr_from_arrays(PyObject* data, PyObject* indices, PyObject* indptr, Py_ssize_t rows,
                    Py_ssize_t columns) {
    Ref csr_matrix = attr(import("scipy.sparse").get(), "csr_matrix");
    Ref shape = py_tuple({py_int(rows), py_int(columns)});
    return call_kw(csr_matrix.get(), {py_tuple({data, indices, indptr})}, {{"shape", shape}});
}

/// The column count of the matrix, `mesh.n` as an index. A negative count is refused by
/// `csr_matrix` with its own message.
Py_ssize_t column_count(PyObject* n, Py_ssize_t rows) {
    Ref index = checked(PyNumber_Index(n));
    Py_ssize_t columns = PyNumber_AsSsize_t(index.get(), PyExc_OverflowError);
    if (columns == -1 && PyErr_Occurred()) throw_python_error();
    if (columns < 0) {
        Ref csr_matrix = attr(import("scipy.sparse").get(), "csr_matrix");
        call(csr_matrix.get(), {py_tuple({py_int(rows), index})});
        raise(PyExc_ValueError, "'shape' elements cannot be negative");
    }
    return columns;
}

/// Index dtype of the matrix: 32 bits whenever every index and the entry count fit, as SciPy
/// itself would choose.
bool needs_int64(Py_ssize_t rows, Py_ssize_t columns) {
    constexpr Py_ssize_t limit = std::numeric_limits<std::int32_t>::max();
    return rows > limit / 3 || columns > limit;
}

/// The nearest vertex by NumPy's own arithmetic:
/// `int(numpy.argmin(numpy.sum((mesh_xy - point[:2]) ** 2, axis=1)))`. Serves the inputs the
/// C++ loop does not take (unusual shapes or dtypes), so they behave exactly as in NumPy.
Ref nearest_vertex_by_numpy(PyObject* mesh_xy, PyObject* point) {
    Ref offset = checked(PyNumber_Subtract(mesh_xy, head(point, 2).get()));
    Ref squares = checked(PyNumber_Power(offset.get(), py_int(2).get(), Py_None));
    Ref dists = call_kw(numpy("sum").get(), {squares}, {{"axis", py_int(1)}});
    Ref nearest = call(numpy("argmin").get(), {dists});
    return checked(PyNumber_Long(nearest.get()));
}

/// Vertex coordinates as a contiguous (n, 2) float64 array, or none when `mesh_xy` is not a
/// two-column array of plain real numbers.
Ref plane_vertices(PyObject* mesh_xy) {
    Ref array = call(numpy("asarray").get(), {mesh_xy});
    if (ndim_of(array.get()) != 2 || shape_of(array.get(), 1) != 2 || !is_plain_real(array.get()))
        return {};
    return contiguous(array.get(), Element::float64);
}

Ref find_nearest_vertex(Object mesh, Object point_like) {
    Ref mesh_xy = leading_columns(attr(mesh, "loc").get(), 2);
    Ref point = call(numpy("asarray").get(), {head(point_like, 2)});
    Ref vertices = plane_vertices(mesh_xy.get());
    bool plain_point = ndim_of(point.get()) == 1 && is_plain_real(point.get());
    Py_ssize_t dim = plain_point ? shape_of(point.get(), 0) : 0;
    if (!vertices || (dim != 1 && dim != 2) || shape_of(vertices.get(), 0) == 0)
        return nearest_vertex_by_numpy(mesh_xy.get(), point.get());

    Ref p = contiguous(point.get(), Element::float64);
    ArrayView pv(p.get(), Element::float64, 1);
    ArrayView xy(vertices.get(), Element::float64, 2);
    pv.expect({dim});
    xy.expect({-1, 2});
    const double* c = pv.data<double>();
    // A one-element point broadcasts over both coordinates, as in NumPy.
    std::size_t nearest = nearest_vertex(xy.data<double>(), 2, xy.shape(0), c[0], c[dim - 1]);
    return checked(PyLong_FromSize_t(nearest));
}

Ref compute_barycentric(Object point, Object v0_like, Object v1_like, Object v2_like) {
    Ref asarray = numpy("asarray");
    Ref arrays[4];
    bool plain = true;
    PyObject* given[4] = {point, v0_like, v1_like, v2_like};
    for (int i = 0; i < 4; ++i) {
        arrays[i] = call(asarray.get(), {given[i]});
        plain = plain && ndim_of(arrays[i].get()) == 1 && is_plain_real(arrays[i].get()) &&
                shape_of(arrays[i].get(), 0) == shape_of(arrays[0].get(), 0);
    }

    std::array<double, 3> w;
    if (plain) {
        Ref values[4];
        for (int i = 0; i < 4; ++i) values[i] = contiguous(arrays[i].get(), Element::float64);
        ArrayView p(values[0].get(), Element::float64, 1), v0(values[1].get(), Element::float64, 1),
            v1(values[2].get(), Element::float64, 1), v2(values[3].get(), Element::float64, 1);
        for (const ArrayView* v : {&p, &v0, &v1, &v2}) v->expect({shape_of(arrays[0].get(), 0)});
        w = weights_from_dots(edge_dots(
            p.data<double>(), v0.data<double>(), v1.data<double>(), v2.data<double>(),
            static_cast<std::size_t>(p.shape(0))));
    } else {
        // Anything else goes through NumPy's own subtraction and dot products.
        Ref e1 = checked(PyNumber_Subtract(arrays[2].get(), arrays[1].get()));
        Ref e2 = checked(PyNumber_Subtract(arrays[3].get(), arrays[1].get()));
        Ref offset = checked(PyNumber_Subtract(arrays[0].get(), arrays[1].get()));
        Ref dot = numpy("dot");
        auto d = [&](const Ref& x, const Ref& y) {
            return to_double(call(dot.get(), {x, y}).get());
        };
        w = weights_from_dots({d(e1, e1), d(e1, e2), d(e2, e2), d(offset, e1), d(offset, e2)});
    }
    Ref list = checked(PyList_New(3));
    for (Py_ssize_t i = 0; i < 3; ++i) PyList_SET_ITEM(list.get(), i, py_float(w[i]).release());
    return call(numpy("array").get(), {list});
}

/// `scipy.spatial.Delaunay(mesh_xy)`, or none when it cannot be built. Running out of memory
/// is not a reason to fall back to the quadratic search, so MemoryError propagates.
Ref triangulate(PyObject* mesh_xy) {
    Ref delaunay = attr(import("scipy.spatial").get(), "Delaunay");
    PyObject* tri = PyObject_CallOneArg(delaunay.get(), mesh_xy);
    if (tri) return Ref::steal(tri);
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))
        throw_python_error();
    PyErr_Clear();
    return {};
}

/// SciPy's Delaunay triangulation as the locator reads it: its points, simplices and
/// neighbours copied and checked (the kernels index with them), doubled areas and a bucket
/// grid over the triangles.
struct Triangulation {
    std::vector<double> xy;
    std::vector<std::int32_t> simplices, neighbors;
    std::vector<double> area2;
    locator::BucketGrid grid;

    locator::Mesh<std::int32_t> view() const {
        return {xy.data(), xy.size() / 2, simplices.data(), neighbors.data(), area2.data(), area2.size()};
    }
};

/// `obj.<name>` as a copied int32 (m, 3) table whose entries lie in [lowest, bound).
std::vector<std::int32_t> index_table(PyObject* tri, const char* name, std::int64_t lowest,
                                      std::int64_t bound) {
    Ref array = contiguous(attr(tri, name).get(), Element::int32);
    ArrayView v(array.get(), Element::int32, 2);
    if (v.shape(1) != 3) raise(PyExc_ValueError, "expected a triangulation of points in the plane");
    const std::int32_t* first = v.data<const std::int32_t>();
    std::vector<std::int32_t> table(first, first + 3 * v.shape(0));
    for (std::int32_t value : table)
        if (value < lowest || value >= bound)
            raise(PyExc_ValueError, "triangulation refers to a vertex or triangle it does not have");
    return table;
}

Triangulation read_triangulation(PyObject* tri) {
    Triangulation t;
    Ref points = contiguous(attr(tri, "points").get(), Element::float64);
    ArrayView pv(points.get(), Element::float64, 2);
    if (pv.shape(1) != 2) raise(PyExc_ValueError, "expected a triangulation of points in the plane");
    const double* first = pv.data<const double>();
    t.xy.assign(first, first + 2 * pv.shape(0));
    const auto n_points = static_cast<std::int64_t>(pv.shape(0));
    t.simplices = index_table(tri, "simplices", 0, n_points);
    const auto m = static_cast<std::int64_t>(t.simplices.size() / 3);
    t.neighbors = index_table(tri, "neighbors", -1, m);
    if (t.neighbors.size() != t.simplices.size())
        raise(PyExc_ValueError, "expected a triangulation of points in the plane");
    without_gil([&] {
        t.area2.resize(static_cast<std::size_t>(m));
        locator::doubled_areas(t.xy.data(), t.simplices.data(), t.area2.size(), t.area2.data());
        t.grid = locator::triangle_grid(t.xy.data(), t.simplices.data(), t.area2.size());
    });
    return t;
}

/// The projector rows of the observations as a CSR matrix with index type J.
template <class J>
Ref located_rows(const Triangulation& t, const ArrayView& obs, Py_ssize_t columns, Element index) {
    const Py_ssize_t rows = obs.shape(0);
    FreshArray indptr({rows + 1}, index);
    FreshArray indices({3 * rows}, index);
    FreshArray data({3 * rows}, Element::float64);
    std::size_t nnz = 0;
    without_gil([&] {
        nnz = delaunay_rows(t.view(), t.grid, obs.data<const double>(), static_cast<std::size_t>(obs.shape(1)),
                            static_cast<std::size_t>(rows), columns, indptr.data<J>(), indices.data<J>(),
                            data.data<double>());
    });
    // Down to the stored entries: fresh arrays are ours alone.
    for (FreshArray* a : {&indices, &data}) {
        a->view.release();
        call_kw(attr(a->array.get(), "resize").get(), {py_tuple({py_int(static_cast<long long>(nnz))})},
                {{"refcheck", Py_False}});
    }
    return csr_from_arrays(data.array.get(), indices.array.get(), indptr.array.get(), rows, columns);
}

Ref located_matrix(PyObject* tri, PyObject* loc, Py_ssize_t rows, PyObject* n) {
    if (shape_of(loc, 1) < 2) {
        // Point location refuses rows with fewer than two coordinates with its own error.
        call_method(tri, "find_simplex", {leading_columns(loc, 2)});
        raise(PyExc_ValueError, "observation locations need two coordinates");
    }
    if (rows > static_cast<Py_ssize_t>(std::numeric_limits<std::uint32_t>::max()))
        raise(PyExc_ValueError, "too many observation locations");
    Triangulation triangulation = read_triangulation(tri);
    Ref obs = contiguous(loc, Element::float64);
    ArrayView ov(obs.get(), Element::float64, 2);
    ov.expect({rows, shape_of(loc, 1)});
    Py_ssize_t columns = column_count(n, rows);
    if (needs_int64(rows, columns)) return located_rows<std::int64_t>(triangulation, ov, columns, Element::int64);
    return located_rows<std::int32_t>(triangulation, ov, columns, Element::int32);
}

/// The fallback without a triangulation: every row holds 1.0 at the nearest vertex.
Ref nearest_vertex_matrix(PyObject* mesh_xy, PyObject* loc, Py_ssize_t rows, PyObject* n) {
    std::vector<std::int64_t> nearest;
    Ref vertices = plane_vertices(mesh_xy);
    Py_ssize_t coords = shape_of(loc, 1);
    if (vertices && coords >= 1 && shape_of(vertices.get(), 0) > 0) {
        Ref obs = contiguous(loc, Element::float64);
        ArrayView ov(obs.get(), Element::float64, 2);
        ArrayView xy(vertices.get(), Element::float64, 2);
        ov.expect({rows, coords});
        xy.expect({-1, 2});
        nearest.resize(static_cast<std::size_t>(rows));  // no larger than `loc` itself
        const double* p = ov.data<double>();
        const auto stride = static_cast<std::size_t>(coords);
        const std::size_t second = coords >= 2 ? 1 : 0;  // one coordinate broadcasts
        without_gil([&] {
            for (std::size_t k = 0; k < nearest.size(); ++k)
                nearest[k] = static_cast<std::int64_t>(nearest_vertex(
                    xy.data<double>(), 2, xy.shape(0), p[k * stride], p[k * stride + second]));
        });
    } else {
        // Grown row by row: `loc` may be many rows of nothing, which NumPy refuses at the first.
        for (Py_ssize_t k = 0; k < rows; ++k) {
            Ref point = checked(PySequence_GetItem(loc, k));
            Ref index = nearest_vertex_by_numpy(mesh_xy, point.get());
            nearest.push_back(PyLong_AsLongLong(index.get()));
            if (PyErr_Occurred()) throw_python_error();
        }
    }

    Py_ssize_t columns = column_count(n, rows);
    Element index = needs_int64(rows, columns) ? Element::int64 : Element::int32;
    Ref indptr = call_kw(numpy("arange").get(), {py_int(rows + 1)},
                         {{"dtype", py_str(dtype_name(index))}});
    Ref data = call_kw(numpy("ones").get(), {py_int(rows)}, {{"dtype", py_str("float64")}});
    for (std::int64_t column : nearest)
        if (column < 0 || column >= columns)
            raise(PyExc_ValueError, "column index exceeds matrix dimensions");
    Ref indices = fresh_array({rows}, index);
    ArrayView iv(indices.get(), index, 1, true);
    for (std::size_t k = 0; k < nearest.size(); ++k) {
        if (index == Element::int64) iv.data<std::int64_t>()[k] = nearest[k];
        else iv.data<std::int32_t>()[k] = static_cast<std::int32_t>(nearest[k]);
    }
    return csr_from_arrays(data.get(), indices.get(), indptr.get(), rows, columns);
}

const FunctionDef kComputeBarycentric{
    .name = "_compute_barycentric",
    .params = {{.name = "point", .annotation = "np.ndarray"},
               {.name = "v0", .annotation = "np.ndarray"},
               {.name = "v1", .annotation = "np.ndarray"},
               {.name = "v2", .annotation = "np.ndarray"}},
    .returns = "np.ndarray",
    .impl = typed<compute_barycentric>,
};

const FunctionDef kFindNearestVertex{
    .name = "_find_nearest_vertex",
    .params = {{.name = "mesh", .annotation = "MkMesh"},
               {.name = "point", .annotation = "np.ndarray"}},
    .returns = "int",
    .impl = typed<find_nearest_vertex>,
};

Ref make_A(Module m, Object mesh, Object locations) {
    Ref loc = call_kw(numpy("asarray").get(), {locations},
                      {{"dtype", reinterpret_cast<PyObject*>(&PyFloat_Type)}});
    if (ndim_of(loc.get()) == 1) loc = call_method(loc.get(), "reshape", {py_int(1), py_int(-1)});
    Py_ssize_t rows = shape_of(loc.get(), 0);
    if (ndim_of(loc.get()) != 2)
        raise(PyExc_ValueError, "loc must be one location or a two-dimensional array of them");
    Ref n = attr(mesh, "n");
    Ref mesh_xy = leading_columns(attr(mesh, "loc").get(), 2);

    // The C++ paths compute what the module's own point functions would; a rebound one is
    // called for every point instead.
    Ref tri = triangulate(mesh_xy.get());
    if (!tri) {
        if (m.global_is("_find_nearest_vertex", kFindNearestVertex))
            return nearest_vertex_matrix(mesh_xy.get(), loc.get(), rows, n.get());
        return nearest_by_steps(m, mesh, loc.get(), rows, n.get());
    }
    if (m.global_is("_compute_barycentric", kComputeBarycentric))
        return located_matrix(tri.get(), loc.get(), rows, n.get());
    return located_by_steps(m, tri.get(), loc.get(), mesh_xy.get(), rows, n.get());
}

const FunctionDef kMakeA{
    .name = "gfield_make_A",
    .params = {{.name = "mesh", .annotation = "MkMesh"},
               {.name = "loc", .annotation = "np.ndarray"}},
    .returns = "sparse.csr_matrix",
    .doc = "Build the projector matrix A from mesh vertices to observation locations.\n\n"
           "Row k of A holds the barycentric weights of location k in the triangle of the\n"
           "Delaunay triangulation of the vertices that contains it, so (A @ u)[k] is the\n"
           "field u interpolated linearly at location k. `loc` is one location or an array\n"
           "with one row per location (x, y, and an ignored z). Weights of magnitude up to\n"
           "1e-12 are not stored; a location outside the vertices' convex hull gets an empty\n"
           "row. When no triangulation can be built (too few vertices, all on one line),\n"
           "every row holds 1.0 at the nearest vertex instead.\n\n"
           "Returns a scipy.sparse.csr_matrix of shape (number of locations, mesh.n).",
    .impl = typed<make_A>,
};

}  // namespace

}  // namespace corvid::gfield::projector

namespace corvid::gfield {

void add_projector(PyObject* module) {
    using namespace projector;
    add_function(module, kMakeA);
    add_function(module, kComputeBarycentric);
    add_function(module, kFindNearestVertex);
}

}  // namespace corvid::gfield
