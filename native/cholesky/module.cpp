/// corvid.fit._cholesky: supernodal Cholesky factorisation of sparse symmetric positive
/// definite matrices, with solves, log-determinants and selected inversion.
#include "cholesky/parts.hpp"
#include "glue/call.hpp"
#include "glue/module.hpp"

namespace {

void exec(PyObject* m) {
    corvid::cholesky::load_blas();
    corvid::Ref error = corvid::checked(PyErr_NewExceptionWithDoc(
        "corvid.fit._cholesky.NotPositiveDefiniteError",
        "The matrix handed to a Cholesky factorisation is not (numerically) positive definite.\n\n"
        "`column` (when known) is the column, in the matrix's own order, at which the\n"
        "factorisation broke down.",
        PyExc_ValueError, nullptr));
    corvid::check_status(PyObject_SetAttrString(error.get(), "column", Py_None));
    corvid::check_status(PyModule_AddObjectRef(m, "NotPositiveDefiniteError", error.get()));
    corvid::cholesky::add_analysis(m);
    corvid::cholesky::add_factorization(m);
    corvid::cholesky::add_csc_inverse(m);
    corvid::cholesky::add_csc_transposed_solve(m);
}

}  // namespace

CORVID_MODULE(_cholesky, "corvid.fit._cholesky",
              "Supernodal Cholesky factorisation of sparse symmetric positive definite matrices:\n"
              "symbolic analysis, numeric factors, block solves, log-determinants and selected\n"
              "inversion, with SciPy's BLAS and LAPACK for the dense blocks.",
              exec)
