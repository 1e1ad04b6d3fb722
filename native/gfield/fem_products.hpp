/// The model's finite-element products through the C++ kernel, for the inputs it covers.
#pragma once

#include "gfield/kernels/sparse_product.hpp"
#include "glue/ref.hpp"

namespace corvid::gfield::model {

/// `g1 @ diags(1.0 / c0) @ g1` (when `combo` is null) or the precision
/// `tau2 * (kappa4 * diags(c0) + two_kappa2 * g1 + g1 @ diags(1.0 / c0) @ g1)`, as a new
/// matrix of g1's CSR class with sorted indices. Covered inputs: g1 an exact `csr_matrix` or
/// `csr_array` of float64 values and well-formed structure, c0 a contiguous float64 vector of
/// matching length. Returns an empty Ref for anything else, and where NumPy would warn
/// (1/c0 or a scaling overflowing): the caller then evaluates the SciPy expression itself.
Ref fem_product(PyObject* g1, PyObject* c0, const fem::Combination* combo);

}  // namespace corvid::gfield::model
