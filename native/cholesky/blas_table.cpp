/// SciPy's BLAS and LAPACK, found through the capsules its Cython modules export.
#include "cholesky/parts.hpp"
#include "glue/call.hpp"

namespace corvid::cholesky {

namespace {

/// Filled by `load_blas` while the module is imported (under the GIL), read-only afterwards.
Blas table;

template <class F>
F* routine(PyObject* exported, const char* name) {
    PyObject* capsule = PyDict_GetItemString(exported, name);  // borrowed
    if (!capsule || !PyCapsule_CheckExact(capsule))
        raise_format(PyExc_ImportError, "SciPy's BLAS does not export %s", name);
    void* pointer = PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule));
    if (!pointer) throw_python_error();
    return reinterpret_cast<F*>(pointer);
}

}  // namespace

void load_blas() {
    Ref blas_module = import("scipy.linalg.cython_blas");
    Ref lapack_module = import("scipy.linalg.cython_lapack");
    Ref blas_exports = attr(blas_module.get(), "__pyx_capi__");
    Ref lapack_exports = attr(lapack_module.get(), "__pyx_capi__");
    if (!PyDict_Check(blas_exports.get()) || !PyDict_Check(lapack_exports.get()))
        raise(PyExc_ImportError, "SciPy's cython_blas and cython_lapack export no capsules");
    Blas found;
    found.dgemm = routine<Blas::Gemm>(blas_exports.get(), "dgemm");
    found.dsyrk = routine<Blas::Syrk>(blas_exports.get(), "dsyrk");
    found.dtrsm = routine<Blas::Trsm>(blas_exports.get(), "dtrsm");
    found.dsymm = routine<Blas::Symm>(blas_exports.get(), "dsymm");
    found.dtrmm = routine<Blas::Trsm>(blas_exports.get(), "dtrmm");
    found.dpotrf = routine<Blas::Potrf>(lapack_exports.get(), "dpotrf");
    found.dtrtri = routine<Blas::Trtri>(lapack_exports.get(), "dtrtri");
    found.dlauum = routine<Blas::Potrf>(lapack_exports.get(), "dlauum");
    table = found;
}

const Blas& blas() { return table; }

}  // namespace corvid::cholesky
