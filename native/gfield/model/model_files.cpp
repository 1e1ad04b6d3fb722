/// The parameterisation matrices of `GFIELD2PcMatern` and the model files the engine reads.
///
/// With theta = (log range, log sigma), row i of Bk gives phi_k[i] = Bk[i, 0] + Bk[i, 1] theta0
/// + Bk[i, 2] theta1: phi0 = log tau, phi1 = log kappa², phi2 = 1 (alpha = 2, d = 2, nu = 1).
#include "gfield/model/model_members.hpp"
#include "glue/array.hpp"
#include "glue/call.hpp"
#include "glue/convert.hpp"
#include "glue/text.hpp"

#include <utility>

namespace corvid::gfield::model {

namespace {

Ref mul(const Ref& a, const Ref& b) { return checked(PyNumber_Multiply(a.get(), b.get())); }

/// An (n, 3) array whose rows all read (constant, theta0 coefficient, theta1 coefficient).
Ref constant_rows(PyObject* n, const Ref& constant, double theta0, double theta1) {
    Ref full = numpy("full");
    Ref columns = checked(PyList_New(0));
    for (const Ref& value : {constant, py_float(theta0), py_float(theta1)})
        check_status(PyList_Append(columns.get(), call(full.get(), {n, value}).get()));
    return call(numpy("column_stack").get(), {columns});
}

Ref row(const Ref& a, const Ref& b, const Ref& c) {
    Ref list = checked(PyList_New(0));
    for (const Ref* v : {&a, &b, &c}) check_status(PyList_Append(list.get(), v->get()));
    return list;
}

Ref compute_b_matrices(Object self) {
    Ref n = attr(self, "n_gfield");
    Ref alpha = attr(self, "alpha"), d = attr(self, "_d");
    Ref two = py_int(2);
    if (!(py_equal(alpha.get(), two.get()) && py_equal(d.get(), two.get()))) {
        raise(PyExc_NotImplementedError,
              Text() << "B matrices not implemented for alpha=" << alpha << ", d=" << d
                     << ". Currently only alpha=2, d=2 (nu=1) is supported.");
    }
    Ref log = numpy("log");
    Ref b0_const = mul(py_float(-0.5), call(log.get(), {mul(py_float(32.0), numpy("pi"))}));
    Ref b1_const = call(log.get(), {py_float(8.0)});

    // Each array is stored as soon as it is built.
    check_status(PyObject_SetAttrString(self, "_B0", constant_rows(n.get(), b0_const, 1.0, -1.0).get()));
    check_status(PyObject_SetAttrString(self, "_B1", constant_rows(n.get(), b1_const, -2.0, 0.0).get()));
    check_status(PyObject_SetAttrString(self, "_B2", constant_rows(n.get(), py_float(1.0), 0.0, 0.0).get()));

    Ref zero = py_float(0.0), one = py_float(1.0);
    Ref log_kappa_const = mul(py_float(0.5), call(log.get(), {py_float(8.0)}));
    Ref rows = checked(PyList_New(0));
    for (const Ref& r : {row(zero, one, zero),                              // log range
                         row(zero, zero, one),                              // log sigma
                         row(b0_const, one, py_float(-1.0)),                // log tau
                         row(log_kappa_const, py_float(-1.0), zero),        // log kappa
                         row(zero, zero, py_float(2.0)),                    // log sigma²
                         row(zero, one, zero)})                             // log range again
        check_status(PyList_Append(rows.get(), r.get()));
    Ref blc = call(numpy("array").get(), {rows});
    check_status(PyObject_SetAttrString(self, "_BLC", blc.get()));
    return py_none();
}

Ref b0(Object self) { return attr(self, "_B0"); }
Ref b1(Object self) { return attr(self, "_B1"); }
Ref b2(Object self) { return attr(self, "_B2"); }
Ref blc(Object self) { return attr(self, "_BLC"); }
Ref n_theta(Object) { return py_int(2); }

/// The seven files in the order the engine's reader expects them.
constexpr std::pair<const char*, const char*> kModelFiles[] = {
    {".M0", "M0"}, {".M1", "M1"}, {".M2", "M2"}, {".B0", "B0"},
    {".B1", "B1"}, {".B2", "B2"}, {".BLC", "BLC"},
};

Ref write_gfield_files(Module m, Object self, Str prefix) {
    Ref path = attr(import("os").get(), "path");
    Ref directory = call(attr(path.get(), "dirname").get(), {prefix});
    if (check_status(PyObject_IsTrue(directory.get()))) {
        Ref exists = call(attr(path.get(), "exists").get(), {directory});
        if (!check_status(PyObject_IsTrue(exists.get())))
            call(attr(import("os").get(), "makedirs").get(), {directory});
    }
    for (auto [suffix, member] : kModelFiles) {
        Ref matrix = attr(self, member);
        Ref filename = checked(PyUnicode_Concat(prefix, py_str(suffix).get()));
        call(m.global("_write_meshkin_file").get(), {matrix, filename});
    }
    return Ref::borrow(prefix);
}

}  // namespace

const FunctionDef kComputeBMatrices{
    .name = "_compute_b_matrices",
    .params = {{.name = "self"}},
    .returns = "None",
    .doc = "Build B0, B1, B2 (n x 3) and BLC (6 x 3), mapping theta to the engine's internal\n"
           "parameters. Only alpha=2, d=2 is supported.",
    .impl = typed<compute_b_matrices>,
};
const FunctionDef kB0{.name = "B0", .params = {{.name = "self"}},
                      .doc = "Parameterisation of log tau: rows (b0, 1, -1).", .impl = typed<b0>};
const FunctionDef kB1{.name = "B1", .params = {{.name = "self"}},
                      .doc = "Parameterisation of log kappa^2: rows (log 8, -2, 0).", .impl = typed<b1>};
const FunctionDef kB2{.name = "B2", .params = {{.name = "self"}},
                      .doc = "Third internal parameter, the constant 1: rows (1, 0, 0).", .impl = typed<b2>};
const FunctionDef kBLC{.name = "BLC", .params = {{.name = "self"}},
                       .doc = "Six linear combinations of theta reported by the engine.", .impl = typed<blc>};
const FunctionDef kNTheta{.name = "n_theta", .params = {{.name = "self"}},
                          .doc = "Number of hyperparameters: 2.", .impl = typed<n_theta>};
const FunctionDef kWriteGfieldFiles{
    .name = "write_gfield_files",
    .params = {{.name = "self"}, {.name = "prefix", .annotation = "str"}},
    .returns = "str",
    .doc = "Write <prefix>.M0, .M1, .M2, .B0, .B1, .B2 and .BLC in the binary matrix format,\n"
           "creating the prefix's directory if needed, and return `prefix`.",
    .impl = typed<write_gfield_files>,
};

}  // namespace corvid::gfield::model
