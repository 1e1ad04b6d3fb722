/// `gfield2_pcmatern` and `GFIELD2PcMatern`: the Matérn field on a mesh with
/// penalised-complexity priors on its range and standard deviation.
///
/// The scalar formulas run through NumPy and SciPy as Python expressions, so their values,
/// warnings and errors are NumPy's; only the sparse products go through the C++ kernel.
#include "gfield/model/fem_products.hpp"
#include "gfield/model/model_members.hpp"
#include "gfield/parts.hpp"
#include "glue/array.hpp"
#include "glue/call.hpp"
#include "glue/convert.hpp"
#include "glue/dataclass.hpp"
#include "glue/function.hpp"
#include "glue/text.hpp"
#include "glue/unpack.hpp"

namespace corvid::gfield::model {

namespace {

constexpr const char* kTheta = "Union[np.ndarray, Tuple[float, float], list]";
constexpr const char* kCsr = "sparse.csr_matrix";

Ref sparse_diags() { return attr(import("scipy.sparse").get(), "diags"); }

Ref add(const Ref& a, const Ref& b) { return checked(PyNumber_Add(a.get(), b.get())); }
Ref sub(const Ref& a, const Ref& b) { return checked(PyNumber_Subtract(a.get(), b.get())); }
Ref mul(const Ref& a, const Ref& b) { return checked(PyNumber_Multiply(a.get(), b.get())); }
Ref div(const Ref& a, const Ref& b) { return checked(PyNumber_TrueDivide(a.get(), b.get())); }
Ref pow(const Ref& a, const Ref& b) { return checked(PyNumber_Power(a.get(), b.get(), Py_None)); }
Ref matmul(const Ref& a, const Ref& b) { return checked(PyNumber_MatrixMultiply(a.get(), b.get())); }

Ref item(PyObject* obj, long long index) {
    return checked(PyObject_GetItem(obj, py_int(index).get()));
}

// ---- construction -------------------------------------------------------------------------

Ref gfield2_pcmatern(Module m, Object mesh, double alpha, FloatPair prior_range,
                     FloatPair prior_sigma, Int fem_order) {
    Ref fem = call_kw(m.global("mk_fem").get(), {mesh}, {{"order", fem_order.get()}});
    Ref model_class = m.global("GFIELD2PcMatern");
    return call_kw(model_class.get(), {},
                   {{"mesh", mesh},
                    {"fem", fem},
                    {"alpha", py_float(alpha)},
                    {"prior_range", py_tuple({py_float(prior_range[0]), py_float(prior_range[1])})},
                    {"prior_sigma", py_tuple({py_float(prior_sigma[0]), py_float(prior_sigma[1])})}});
}

/// The rate of an exponential PC prior with P(value beyond threshold) = probability.
Ref prior_rate(PyObject* prior) {
    auto [threshold, probability] = unpack_pair(prior);
    Ref log_p = call(numpy("log").get(), {probability});
    return div(checked(PyNumber_Negative(log_p.get())), threshold);
}

Ref post_init(Object self) {
    Ref n = attr(attr(self, "mesh").get(), "n");
    check_status(PyObject_SetAttrString(self, "n_gfield", n.get()));
    Ref lambda_range = prior_rate(attr(self, "prior_range").get());
    check_status(PyObject_SetAttrString(self, "lambda_range", lambda_range.get()));
    Ref lambda_sigma = prior_rate(attr(self, "prior_sigma").get());
    check_status(PyObject_SetAttrString(self, "lambda_sigma", lambda_sigma.get()));
    call_method(self, "_compute_b_matrices");
    return py_none();
}

// ---- hyperparameters ----------------------------------------------------------------------

Ref nu(Object self) { return sub(attr(self, "alpha"), div(attr(self, "_d"), py_float(2.0))); }

Ref compute_kappa_tau(Object self, double range_value, double sigma_value) {
    Ref range_val = py_float(range_value);
    Ref sigma = py_float(sigma_value);
    Ref nu_value = attr(self, "nu");
    Ref d = attr(self, "_d");
    Ref alpha = attr(self, "alpha");
    Ref sqrt = numpy("sqrt");
    Ref gamma = attr(import("scipy.special").get(), "gamma");

    Ref kappa = div(call(sqrt.get(), {mul(py_float(8.0), nu_value)}), range_val);
    Ref four_pi = mul(py_float(4.0), numpy("pi"));
    Ref scaling = div(call(gamma.get(), {nu_value}),
                      mul(call(gamma.get(), {alpha}), pow(four_pi, div(d, py_float(2.0)))));
    Ref tau = div(call(sqrt.get(), {scaling}), mul(sigma, pow(kappa, nu_value)));
    return py_tuple({kappa, tau});
}

/// tau**2 * (kappa**4 * diags(c0) + 2.0 * kappa**2 * G + G C⁻¹ G), through the kernel when it
/// covers the inputs, otherwise as the SciPy expression.
Ref precision_alpha2(const Ref& kappa, const Ref& tau, const Ref& c0, const Ref& g) {
    Ref tau2 = pow(tau, py_int(2));
    Ref kappa4 = pow(kappa, py_int(4));
    Ref two_kappa2 = mul(py_float(2.0), pow(kappa, py_int(2)));
    if (PyFloat_Check(tau2.get()) && PyFloat_Check(kappa4.get()) && PyFloat_Check(two_kappa2.get())) {
        Combination combo{PyFloat_AS_DOUBLE(kappa4.get()), PyFloat_AS_DOUBLE(two_kappa2.get()),
                               PyFloat_AS_DOUBLE(tau2.get())};
        if (Ref q = fem_product(g.get(), c0.get(), &combo)) return q;
    }
    // c0's arithmetic (the caller's code when c0 is an array-like of its own) runs before the
    // matrices are checked, so the matrices checked are the matrices SciPy's products read.
    Ref diags = sparse_diags();
    Ref c_inv_diagonal = call(diags.get(), {div(py_float(1.0), c0)});
    Ref mass = mul(kappa4, call(diags.get(), {c0}));
    Ref scaled = mul(two_kappa2, g);
    for (PyObject* m : {g.get(), mass.get(), scaled.get()}) require_well_formed(m);
    Ref gcinvg = matmul(matmul(g, c_inv_diagonal), g);
    return mul(tau2, add(add(mass, scaled), gcinvg));
}

Ref precision(Object self, Object theta) {
    Ref log_range = item(theta, 0), log_sigma = item(theta, 1);
    Ref exp = numpy("exp");
    Ref range_val = call(exp.get(), {log_range});
    Ref sigma = call(exp.get(), {log_sigma});
    Ref kappa_tau = call_method(self, "_compute_kappa_tau", {range_val, sigma});
    auto [kappa, tau] = unpack_pair(kappa_tau.get());
    Ref fem = attr(self, "fem");
    Ref c0 = attr(fem.get(), "c0");
    Ref g = attr(fem.get(), "g1");

    Ref alpha = attr(self, "alpha");
    Ref q;
    if (py_equal(alpha.get(), py_int(2).get())) {
        q = precision_alpha2(kappa, tau, c0, g);
    } else if (py_equal(alpha.get(), py_int(1).get())) {
        Ref mass = mul(pow(kappa, py_int(2)), call(sparse_diags().get(), {c0}));
        for (PyObject* m : {g.get(), mass.get()}) require_well_formed(m);
        q = mul(pow(tau, py_int(2)), add(mass, g));
    } else {
        raise(PyExc_NotImplementedError,
              Text() << "alpha=" << alpha << " not implemented. Use alpha=1 or alpha=2.");
    }
    return call_method(q.get(), "tocsr");
}

Ref log_prior(Object self, Object theta) {
    Ref log_range = item(theta, 0), log_sigma = item(theta, 1);
    Ref exp = numpy("exp"), log = numpy("log");
    Ref range_val = call(exp.get(), {log_range});
    Ref sigma = call(exp.get(), {log_sigma});
    // Exponential densities on range and sigma, moved to the log scale (the last term is the
    // Jacobian).
    auto log_density = [&](const char* rate_name, const Ref& value, const Ref& log_value) {
        Ref rate = attr(self, rate_name);
        return add(sub(call(log.get(), {rate}), mul(rate, value)), log_value);
    };
    Ref log_pi_range = log_density("lambda_range", range_val, log_range);
    Ref log_pi_sigma = log_density("lambda_sigma", sigma, log_sigma);
    return add(log_pi_range, log_pi_sigma);
}

// ---- texts --------------------------------------------------------------------------------

Ref summary(Object self) {
    Ref prior_range = attr(self, "prior_range"), prior_sigma = attr(self, "prior_sigma");
    Text s;
    s << "GFIELD2PcMatern:";
    s << "\n  Mesh vertices (n_gfield): " << attr(self, "n_gfield");
    s << "\n  alpha: " << attr(self, "alpha");
    s << "\n  nu (smoothness): " << attr(self, "nu");
    s << "\n  Prior range: P(range < " << item(prior_range.get(), 0) << ") = "
      << item(prior_range.get(), 1);
    s << "\n  Prior sigma: P(sigma > " << item(prior_sigma.get(), 0) << ") = "
      << item(prior_sigma.get(), 1);
    s << "\n  lambda_range: ";
    s.format(attr(self, "lambda_range").get(), ".4f");
    s << "\n  lambda_sigma: ";
    s.format(attr(self, "lambda_sigma").get(), ".4f");
    return s.str();
}

Ref repr(Object self) {
    Text s;
    s << "GFIELD2PcMatern(n_gfield=" << attr(self, "n_gfield") << ", alpha=" << attr(self, "alpha")
      << ", prior_range=" << attr(self, "prior_range") << ", prior_sigma=" << attr(self, "prior_sigma")
      << ")";
    return s.str();
}

// ---- finite-element matrices --------------------------------------------------------------

Ref m0(Object self) { return call(sparse_diags().get(), {attr(attr(self, "fem").get(), "c0")}); }

Ref m1(Object self) { return attr(attr(self, "fem").get(), "g1"); }

Ref m2(Object self) {
    Ref fem = attr(self, "fem");
    Ref g = attr(fem.get(), "g1");
    Ref c0 = attr(fem.get(), "c0");
    if (Ref product = fem_product(g.get(), c0.get(), nullptr)) return product;
    Ref c_inv_diagonal = call(sparse_diags().get(), {div(py_float(1.0), c0)});
    require_well_formed(g.get());
    return matmul(matmul(g, c_inv_diagonal), g);
}

// ---- declarations -------------------------------------------------------------------------

// Defaults shared by the factory and the class.
const Value kAlpha = 2.0;
const Value kPrior = Value::tuple({1.0, 0.5});
const Value kFemOrder = 2;
const Value kDimension = 2;

const FunctionDef kFactory{
    .name = "gfield2_pcmatern",
    .params = {{.name = "mesh", .annotation = "MkMesh"},
               {.name = "alpha", .annotation = "float", .default_value = kAlpha},
               {.name = "prior_range", .annotation = "Tuple[float, float]", .default_value = kPrior},
               {.name = "prior_sigma", .annotation = "Tuple[float, float]", .default_value = kPrior},
               {.name = "fem_order", .annotation = "int", .default_value = kFemOrder}},
    .returns = "GFIELD2PcMatern",
    .doc = "Build a PC-Matern field model on `mesh`.\n\n"
           "prior_range=(r0, p) states P(range < r0) = p and prior_sigma=(s0, p) states\n"
           "P(sigma > s0) = p. The finite-element matrices come from mk_fem(mesh, order=fem_order).",
    .impl = typed<gfield2_pcmatern>,
};

const FunctionDef kPostInit{.name = "__post_init__", .params = {{.name = "self"}}, .returns = "None",
                            .doc = "Store the vertex count and the prior rates; build the B matrices.",
                            .impl = typed<post_init>};
const FunctionDef kNu{.name = "nu", .params = {{.name = "self"}}, .returns = "float",
                      .doc = "Matern smoothness alpha - d/2.", .impl = typed<nu>};
const FunctionDef kKappaTau{
    .name = "_compute_kappa_tau",
    .params = {{.name = "self"}, {.name = "range_val", .annotation = "float"}, {.name = "sigma", .annotation = "float"}},
    .returns = "Tuple[float, float]",
    .doc = "The SPDE scale kappa and precision scale tau for a range and a standard deviation.",
    .impl = typed<compute_kappa_tau>,
};
const FunctionDef kPrecision{
    .name = "precision",
    .params = {{.name = "self"}, {.name = "theta", .annotation = kTheta}},
    .returns = kCsr,
    .doc = "Precision matrix of the field for theta = (log range, log sigma), in CSR format.",
    .impl = typed<precision>,
};
const FunctionDef kLogPrior{
    .name = "log_prior",
    .params = {{.name = "self"}, {.name = "theta", .annotation = kTheta}},
    .returns = "float",
    .doc = "Log prior density of theta = (log range, log sigma), up to a constant.",
    .impl = typed<log_prior>,
};
const FunctionDef kSummary{.name = "summary", .params = {{.name = "self"}}, .returns = "str",
                           .doc = "A few lines describing the model and its priors.", .impl = typed<summary>};
const FunctionDef kRepr{.name = "__repr__", .params = {{.name = "self"}}, .returns = "str", .impl = typed<repr>};
const FunctionDef kM0{.name = "M0", .params = {{.name = "self"}}, .returns = kCsr,
                      .doc = "Lumped mass matrix C as a sparse diagonal matrix.", .impl = typed<m0>};
const FunctionDef kM1{.name = "M1", .params = {{.name = "self"}}, .returns = kCsr,
                      .doc = "Stiffness matrix G, the finite-element result's own object.", .impl = typed<m1>};
const FunctionDef kM2{.name = "M2", .params = {{.name = "self"}}, .returns = kCsr,
                      .doc = "G C^-1 G.", .impl = typed<m2>};

}  // namespace

}  // namespace corvid::gfield::model

namespace corvid::gfield {

void add_pcmatern(PyObject* module) {
    using namespace model;
    add_function(module, kFactory);
    ClassBuilder(module, "GFIELD2PcMatern",
                 "Matern Gaussian random field (alpha=2 in two dimensions) on a triangular mesh,\n"
                 "with penalised-complexity priors on its range and standard deviation.\n\n"
                 "theta = (log range, log sigma). Build it with gfield2_pcmatern.")
        .field("mesh", "MkMesh")
        .field("fem", "MkFEM")
        .field("alpha", "float", kAlpha)
        .field("prior_range", "Tuple[float, float]", kPrior)
        .field("prior_sigma", "Tuple[float, float]", kPrior)
        .field_no_init("n_gfield", "int")
        .field_no_init("lambda_range", "float")
        .field_no_init("lambda_sigma", "float")
        .field("_d", "int", kDimension)
        .method(kPostInit)
        .property(kNu)
        .method(kKappaTau)
        .method(kPrecision)
        .method(kLogPrior)
        .method(kSummary)
        .method(kRepr)
        .method(kComputeBMatrices)
        .property(kM0)
        .property(kM1)
        .property(kM2)
        .property(kB0)
        .property(kB1)
        .property(kB2)
        .property(kBLC)
        .property(kNTheta)
        .method(kWriteGfieldFiles)
        .finish();
}

}  // namespace corvid::gfield
