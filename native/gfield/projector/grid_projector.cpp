/// The grid projector: a field at the mesh vertices, drawn on a regular grid of points.
#include "gfield/parts.hpp"
#include "glue/array.hpp"
#include "glue/call.hpp"
#include "glue/convert.hpp"
#include "glue/dataclass.hpp"
#include "glue/text.hpp"

namespace corvid::gfield::projector {

namespace {

/// `obj[i]`, by Python's subscription.
Ref item(PyObject* obj, long i) { return checked(PyObject_GetItem(obj, py_int(i).get())); }

void set(PyObject* self, const char* name, const Ref& value) {
    check_status(PyObject_SetAttrString(self, name, value.get()));
}

/// `self.dims[1], self.dims[0]`: the (ny, nx) shape of grid images.
Ref image_shape(PyObject* self) {
    Ref dims = attr(self, "dims");
    return py_tuple({item(dims.get(), 1), item(dims.get(), 0)});
}

Ref post_init(Module m, Object self) {
    Ref linspace = numpy("linspace");
    Ref xlim = attr(self, "xlim");
    Ref ylim = attr(self, "ylim");
    Ref dims = attr(self, "dims");
    set(self, "x",
        call(linspace.get(), {item(xlim.get(), 0), item(xlim.get(), 1), item(dims.get(), 0)}));
    set(self, "y",
        call(linspace.get(), {item(ylim.get(), 0), item(ylim.get(), 1), item(dims.get(), 1)}));

    Ref grids = call(numpy("meshgrid").get(), {attr(self, "x"), attr(self, "y")});
    Ref xs = call_method(item(grids.get(), 0).get(), "ravel");
    Ref ys = call_method(item(grids.get(), 1).get(), "ravel");
    grids = Ref();  // the full grids are not needed beyond this point
    Ref columns = checked(PyList_New(2));
    PyList_SET_ITEM(columns.get(), 0, xs.release());
    PyList_SET_ITEM(columns.get(), 1, ys.release());
    set(self, "lattice", call(numpy("column_stack").get(), {columns}));

    Ref make_A = m.global("gfield_make_A");
    set(self, "proj", call(make_A.get(), {attr(self, "mesh"), attr(self, "lattice")}));

    Ref sums = call_kw(attr(attr(self, "proj").get(), "sum").get(), {}, {{"axis", py_int(1)}});
    Ref row_sums = call_method(call(numpy("asarray").get(), {sums}).get(), "flatten");
    set(self, "inside", checked(PyObject_RichCompare(row_sums.get(), py_float(0.99).get(), Py_GT)));
    return py_none();
}

Ref n_grid(Object self) {
    Py_ssize_t n = PyObject_Length(attr(self, "lattice").get());
    if (n < 0) throw_python_error();
    return checked(PyLong_FromSsize_t(n));
}

Ref n_inside(Object self) {
    Ref count = call(numpy("count_nonzero").get(), {attr(self, "inside")});
    return checked(PyNumber_Long(count.get()));
}

Ref inside_2d(Object self) {
    Ref inside = attr(self, "inside");
    return checked(PyObject_CallMethodObjArgs(inside.get(), py_str("reshape").get(),
                                              image_shape(self).get(), nullptr));
}

Ref project(Object self, Object field, bool mask_outside) {
    Ref field_grid = checked(PyNumber_MatrixMultiply(attr(self, "proj").get(), field));
    Ref field_2d = checked(PyObject_CallMethodObjArgs(field_grid.get(), py_str("reshape").get(),
                                                      image_shape(self).get(), nullptr));
    if (!mask_outside) return field_2d;
    Ref outside = checked(PyNumber_Invert(attr(self, "inside_2d").get()));
    Ref masked_array = attr(numpy("ma").get(), "array");
    return call_kw(masked_array.get(), {field_2d}, {{"mask", outside}});
}

Ref summary(Object self) {
    Ref dims = attr(self, "dims");
    Ref xlim = attr(self, "xlim");
    Ref ylim = attr(self, "ylim");
    Ref grid = attr(self, "n_grid");
    Ref inside = attr(self, "n_inside");
    Ref proj = attr(self, "proj");
    Ref percent = checked(PyNumber_TrueDivide(
        checked(PyNumber_Multiply(py_int(100).get(), inside.get())).get(), grid.get()));

    Text s;
    s << "GfieldGridProjector:\n";
    s << "  Grid dimensions: " << item(dims.get(), 0) << " x " << item(dims.get(), 1) << " = "
      << grid << " points\n";
    s << "  X range: [";
    s.format(item(xlim.get(), 0).get(), ".2f") << ", ";
    s.format(item(xlim.get(), 1).get(), ".2f") << "]\n";
    s << "  Y range: [";
    s.format(item(ylim.get(), 0).get(), ".2f") << ", ";
    s.format(item(ylim.get(), 1).get(), ".2f") << "]\n";
    s << "  Points inside mesh: " << inside << " (";
    s.format(percent.get(), ".1f") << "%)\n";
    s << "  Projection matrix: " << attr(proj.get(), "shape") << ", nnz=" << attr(proj.get(), "nnz");
    return s.str();
}

/// (lo - padding * range, hi + padding * range) over the values of one coordinate.
Ref padded_bounds(PyObject* values, PyObject* padding) {
    Ref lo = call_method(values, "min");
    Ref hi = call_method(values, "max");
    Ref range = checked(PyNumber_Subtract(hi.get(), lo.get()));
    Ref margin = checked(PyNumber_Multiply(padding, range.get()));
    return py_tuple({checked(PyNumber_Subtract(lo.get(), margin.get())),
                     checked(PyNumber_Add(hi.get(), margin.get()))});
}

/// `loc[:, column]`.
Ref coordinate(PyObject* loc, long column) {
    Ref all = checked(PySlice_New(nullptr, nullptr, nullptr));
    return checked(PyObject_GetItem(loc, py_tuple({all, py_int(column)}).get()));
}

Ref grid_projector(Module m, Object mesh, OrNone<Tuple> xlim, OrNone<Tuple> ylim, Tuple dims,
                   double padding_value) {
    Ref padding = py_float(padding_value);

    Ref mesh_x = coordinate(attr(mesh, "loc").get(), 0);
    Ref mesh_y = coordinate(attr(mesh, "loc").get(), 1);
    Ref x_bounds = xlim == Py_None ? padded_bounds(mesh_x.get(), padding.get()) : Ref::borrow(xlim);
    Ref y_bounds = ylim == Py_None ? padded_bounds(mesh_y.get(), padding.get()) : Ref::borrow(ylim);

    Ref cls = m.global("GfieldGridProjector");
    return call_kw(cls.get(), {},
                   {{"mesh", mesh}, {"xlim", x_bounds}, {"ylim", y_bounds}, {"dims", dims}});
}

const FunctionDef kPostInit{
    .name = "__post_init__",
    .params = {{.name = "self"}},
    .returns = "None",
    .doc = "Initialize grid and projection matrix.",
    .impl = typed<post_init>,
};

const FunctionDef kNGrid{
    .name = "n_grid",
    .params = {{.name = "self"}},
    .returns = "int",
    .doc = "Total number of grid points.",
    .impl = typed<n_grid>,
};

const FunctionDef kNInside{
    .name = "n_inside",
    .params = {{.name = "self"}},
    .returns = "int",
    .doc = "Number of grid points inside the mesh.",
    .impl = typed<n_inside>,
};

const FunctionDef kInside2d{
    .name = "inside_2d",
    .params = {{.name = "self"}},
    .returns = "np.ndarray",
    .doc = "2D mask of points inside the mesh, shape (ny, nx).",
    .impl = typed<inside_2d>,
};

const FunctionDef kProject{
    .name = "project",
    .params = {{.name = "self"},
               {.name = "field", .annotation = "np.ndarray"},
               {.name = "mask_outside", .annotation = "bool", .default_value = true}},
    .returns = "Union[np.ndarray, np.ma.MaskedArray]",
    .doc = "Project a field given at the mesh vertices onto the grid.\n\n"
           "Returns an array of shape (ny, nx). With mask_outside (the default) it is a\n"
           "masked array in which the grid points outside the mesh are masked; otherwise\n"
           "those points hold 0.0.",
    .impl = typed<project>,
};

const FunctionDef kSummary{
    .name = "summary",
    .params = {{.name = "self"}},
    .returns = "str",
    .doc = "Return a summary string of the projector.",
    .impl = typed<summary>,
};

const FunctionDef kGridProjector{
    .name = "gfield_grid_projector",
    .params = {{.name = "mesh", .annotation = "MkMesh"},
               {.name = "xlim", .annotation = "Optional[Tuple[float, float]]", .default_value = kNone},
               {.name = "ylim", .annotation = "Optional[Tuple[float, float]]", .default_value = kNone},
               {.name = "dims", .annotation = "Tuple[int, int]", .default_value = Value::tuple({100, 100})},
               {.name = "padding", .annotation = "float", .default_value = 0.0}},
    .returns = "GfieldGridProjector",
    .doc = "Create a projector from the mesh vertices onto a regular grid.\n\n"
           "xlim and ylim default to the extent of the mesh vertices, widened on both sides\n"
           "by padding times that extent (a negative padding narrows them); limits that are\n"
           "given are used as they are. dims is (nx, ny), the number of grid points along x\n"
           "and along y.",
    .impl = typed<grid_projector>,
};

}  // namespace

}  // namespace corvid::gfield::projector

namespace corvid::gfield {

void add_grid_projector(PyObject* module) {
    using namespace projector;
    ClassBuilder(module, "GfieldGridProjector",
                 "Projector from the mesh vertices onto a regular grid of points, for plotting.\n\n"
                 "On construction lays out the grid (x, y and all points as lattice, x varying\n"
                 "fastest), builds the projector matrix proj with gfield_make_A and marks the\n"
                 "grid points inside the triangulated area.")
        .field("mesh", "MkMesh")
        .field("xlim", "Tuple[float, float]")
        .field("ylim", "Tuple[float, float]")
        .field("dims", "Tuple[int, int]")
        .field_no_init("x", "np.ndarray")
        .field_no_init("y", "np.ndarray")
        .field_no_init("lattice", "np.ndarray")
        .field_no_init("proj", "sparse.csr_matrix")
        .field_no_init("inside", "np.ndarray")
        .method(kPostInit)
        .property(kNGrid)
        .property(kNInside)
        .property(kInside2d)
        .method(kProject)
        .method(kSummary)
        .finish();
    add_function(module, kGridProjector);
}

}  // namespace corvid::gfield
