/// The model's finite-element products through the C++ kernel, for the inputs it covers.
#pragma once

#include "gfield/model/kernels/sparse_product.hpp"
#include "glue/ref.hpp"

namespace corvid::gfield::model {

/// Raises ValueError when `g1` is a SciPy CSR, CSC or COO matrix whose index pointers or indices
/// lie outside its arrays or shape (SciPy builds a CSR matrix from raw arrays without looking,
/// and its products then read and write out of bounds). Anything else passes.
void require_well_formed(PyObject* g1);

/// `g1 @ diags(1.0 / c0) @ g1` (when `combo` is null) or the precision
/// `tau2 * (kappa4 * diags(c0) + two_kappa2 * g1 + g1 @ diags(1.0 / c0) @ g1)`, as a new
/// matrix of g1's CSR class with sorted indices. Covered inputs: g1 an exact `csr_matrix` or
/// `csr_array` of float64 values and well-formed structure, c0 a contiguous float64 vector of
/// matching length; a malformed g1 of that kind raises ValueError. Returns an empty Ref for
/// anything else, and where NumPy would warn (1/c0 or a scaling overflowing): the caller then
/// evaluates the SciPy expression itself.
Ref fem_product(PyObject* g1, PyObject* c0, const Combination* combo);

}  // namespace corvid::gfield::model
