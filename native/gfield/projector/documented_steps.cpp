#include "gfield/projector/documented_steps.hpp"

#include "glue/array.hpp"
#include "glue/call.hpp"

namespace corvid::gfield::projector {

namespace {

/// Three lists growing into the coordinate form of a sparse matrix.
struct Triplets {
    Ref rows = checked(PyList_New(0)), cols = checked(PyList_New(0)), data = checked(PyList_New(0));

    void add(PyObject* row, PyObject* col, PyObject* value) {
        check_status(PyList_Append(rows.get(), row));
        check_status(PyList_Append(cols.get(), col));
        check_status(PyList_Append(data.get(), value));
    }

    /// `scipy.sparse.csr_matrix((data, (rows, cols)), shape=(n_rows, n))`.
    Ref matrix(Py_ssize_t n_rows, PyObject* n) const {
        Ref csr_matrix = attr(import("scipy.sparse").get(), "csr_matrix");
        Ref coordinates = py_tuple({data, py_tuple({rows, cols})});
        Ref shape = py_tuple({checked(PyLong_FromSsize_t(n_rows)), n});
        return call_kw(csr_matrix.get(), {coordinates}, {{"shape", shape}});
    }
};

Ref item(PyObject* obj, Py_ssize_t i) { return checked(PySequence_GetItem(obj, i)); }

/// `obj[:stop]` and `obj[:, :stop]`.
Ref head(PyObject* obj, long stop) {
    Ref slice = checked(PySlice_New(nullptr, py_int(stop).get(), nullptr));
    return checked(PyObject_GetItem(obj, slice.get()));
}
Ref leading_columns(PyObject* obj, long stop) {
    Ref all = checked(PySlice_New(nullptr, nullptr, nullptr));
    Ref slice = checked(PySlice_New(nullptr, py_int(stop).get(), nullptr));
    return checked(PyObject_GetItem(obj, py_tuple({all, slice}).get()));
}

}  // namespace

Ref located_by_steps(const Module& m, PyObject* tri, PyObject* loc, PyObject* mesh_xy,
                     Py_ssize_t rows, PyObject* n) {
    Ref simplex_indices = call_method(tri, "find_simplex", {leading_columns(loc, 2)});
    Ref simplices = attr(tri, "simplices");
    Ref zero = py_int(0), negligible = py_float(1e-12);
    Triplets triplets;
    for (Py_ssize_t i = 0; i < rows; ++i) {
        Ref s = item(simplex_indices.get(), i);
        if (check_status(PyObject_RichCompareBool(s.get(), zero.get(), Py_LT))) continue;
        Ref verts = checked(PyObject_GetItem(simplices.get(), s.get()));
        Ref corners = checked(PyObject_GetItem(mesh_xy, verts.get()));
        Ref point = item(loc, i);
        Ref bary = call(m.global("_compute_barycentric").get(),
                        {head(point.get(), 2), item(corners.get(), 0), item(corners.get(), 1),
                         item(corners.get(), 2)});
        // zip(delaunay_verts, bary): as many pairs as the shorter gives.
        Ref vert_iter = checked(PyObject_GetIter(verts.get()));
        Ref weight_iter = checked(PyObject_GetIter(bary.get()));
        Ref row = checked(PyLong_FromSsize_t(i));
        while (Ref v = Ref::steal(PyIter_Next(vert_iter.get()))) {
            Ref w = Ref::steal(PyIter_Next(weight_iter.get()));
            if (!w) break;
            Ref magnitude = checked(PyNumber_Absolute(w.get()));
            if (check_status(PyObject_RichCompareBool(magnitude.get(), negligible.get(), Py_GT)))
                triplets.add(row.get(), v.get(), w.get());
        }
        if (PyErr_Occurred()) throw_python_error();
    }
    return triplets.matrix(rows, n);
}

Ref nearest_by_steps(const Module& m, PyObject* mesh, PyObject* loc, Py_ssize_t rows, PyObject* n) {
    Ref one = py_float(1.0);
    Triplets triplets;
    for (Py_ssize_t i = 0; i < rows; ++i) {
        Ref point = item(loc, i);
        Ref nearest = call(m.global("_find_nearest_vertex").get(), {mesh, point});
        triplets.add(checked(PyLong_FromSsize_t(i)).get(), nearest.get(), one.get());
    }
    return triplets.matrix(rows, n);
}

}  // namespace corvid::gfield::projector
