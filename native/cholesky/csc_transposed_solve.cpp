/// Backward substitution with a unit lower triangular factor given in compressed columns
/// (any backend's L D Lᵀ), many right-hand sides at once: joint samples from the factors
/// that are not corvid's own.
#include "cholesky/arrays.hpp"
#include "cholesky/kernels/csc_transposed_solve.hpp"
#include "cholesky/parts.hpp"
#include "glue/array.hpp"
#include "glue/call.hpp"
#include "glue/function.hpp"
#include "glue/gil.hpp"

#include <cstdint>
#include <vector>

namespace corvid::cholesky {

namespace {

Ref csc_unit_transposed_solve(Object indptr_array, Object indices_array, Object data_array,
                              Object rhs_array) {
    std::vector<int64_t> indptr = arrays::copy_integers<int64_t>(indptr_array, "indptr");
    std::vector<int64_t> indices = arrays::copy_integers<int64_t>(indices_array, "indices");
    std::vector<double> data = arrays::copy_reals(data_array, "data");
    ArrayView rhs(rhs_array.get(), Element::float64, 2, true);
    const auto n = static_cast<size_t>(rhs.shape(0));
    const auto k = static_cast<size_t>(rhs.shape(1));
    if (indptr.size() != n + 1)
        raise_format(PyExc_ValueError, "indptr has %zu entries for %zu rows of rhs; expected %zu",
                     indptr.size(), n, n + 1);
    // The boundary turns the check's std::invalid_argument into ValueError.
    without_gil([&] {
        check_lower_pattern(n, indptr.data(), indices.data(), indices.size(), data.size());
        unit_transposed_solve(n, k, indptr.data(), indices.data(), data.data(),
                              rhs.data<double>());
    });
    return py_none();
}

const FunctionDef kCscUnitTransposedSolve{
    .name = "csc_unit_transposed_solve",
    .params = {{.name = "indptr", .annotation = "np.ndarray"},
               {.name = "indices", .annotation = "np.ndarray"},
               {.name = "data", .annotation = "np.ndarray"},
               {.name = "rhs", .annotation = "np.ndarray"}},
    .returns = "None",
    .doc = "Solve L^T X = rhs in place, L unit lower triangular.\n\n"
           "L in compressed columns (indptr, indices: integers; data: reals), each column's\n"
           "rows at or below the diagonal (the diagonal's values are not read). rhs: a\n"
           "C-contiguous, writable float64 array of shape (n, k), overwritten by the solution.",
    .impl = typed<csc_unit_transposed_solve>,
};

}  // namespace

void add_csc_transposed_solve(PyObject* module) { add_function(module, kCscUnitTransposedSolve); }

}  // namespace corvid::cholesky
