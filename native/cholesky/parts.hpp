/// The pieces of corvid.fit._cholesky, each adding its functions to the module.
#pragma once

#include "cholesky/kernels/blas.hpp"
#include "glue/ref.hpp"

namespace corvid::cholesky {

/// Reads the BLAS and LAPACK routines from SciPy's capsules, once, at import.
void load_blas();
/// The routines `load_blas` read; unchanged after import.
const Blas& blas();

/// `graph`, `analyse`, `summary`, `permutation`, `factor_pattern` and `place`.
void add_analysis(PyObject* module);
/// `factorize`, `solve`, `solve_root`, `solve_transposed_root`, `logdet`, `unit_factor` and `selected_inverse`.
void add_factorization(PyObject* module);
/// `csc_selected_inverse`: the selected inverse of a factor given in compressed columns.
void add_csc_inverse(PyObject* module);
/// `csc_unit_transposed_solve`: Lᵀ X = B for a unit factor given in compressed columns.
void add_csc_transposed_solve(PyObject* module);

}  // namespace corvid::cholesky
