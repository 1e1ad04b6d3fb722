/// corvid.fit._triangular: backward substitution with a unit lower triangular sparse factor's
/// transpose, many right-hand sides at once (joint posterior samples).
#include "glue/array.hpp"
#include "glue/call.hpp"
#include "glue/function.hpp"
#include "glue/gil.hpp"
#include "glue/module.hpp"
#include "triangular/kernels/unit_transposed_solve.hpp"

#include <cstdint>
#include <vector>

using namespace corvid;

namespace {

/// A private copy of a one-dimensional int64 array: what is checked is what the kernel reads.
std::vector<int64_t> copy_int64(PyObject* obj, const char* name) {
    ArrayView view = ArrayView::try_exact(obj, Element::int64, 1);
    if (!view)
        raise_format(PyExc_ValueError, "%s must be a one-dimensional int64 array", name);
    std::vector<int64_t> out;
    const int64_t* first = view.data<const int64_t>();
    without_gil([&] { out.assign(first, first + view.shape(0)); });
    return out;
}

Ref unit_transposed_solve(Object indptr_array, Object indices_array, Object data_array,
                          Object rhs_array) {
    std::vector<int64_t> indptr = copy_int64(indptr_array.get(), "indptr");
    std::vector<int64_t> indices = copy_int64(indices_array.get(), "indices");
    ArrayView data(data_array.get(), Element::float64, 1);
    ArrayView rhs(rhs_array.get(), Element::float64, 2, true);
    const auto n = static_cast<size_t>(rhs.shape(0));
    const auto k = static_cast<size_t>(rhs.shape(1));
    if (indptr.size() != n + 1)
        raise_format(PyExc_ValueError, "indptr has %zu entries for %zu rows of rhs; expected %zu",
                     indptr.size(), n, n + 1);
    const auto n_data = static_cast<size_t>(data.shape(0));
    // The boundary turns the check's std::invalid_argument into ValueError.
    without_gil([&] {
        triangular::check_lower_pattern(n, indptr.data(), indices.data(), indices.size(), n_data);
        triangular::unit_transposed_solve(n, k, indptr.data(), indices.data(),
                                          data.data<const double>(), rhs.data<double>());
    });
    return py_none();
}

const FunctionDef kUnitTransposedSolve{
    .name = "unit_transposed_solve",
    .params = {{.name = "indptr", .annotation = "np.ndarray"},
               {.name = "indices", .annotation = "np.ndarray"},
               {.name = "data", .annotation = "np.ndarray"},
               {.name = "rhs", .annotation = "np.ndarray"}},
    .returns = "None",
    .doc = "Solve L^T X = rhs in place, L unit lower triangular.\n\n"
           "L in compressed columns (indptr, indices: int64; data: float64), each column's\n"
           "rows at or below the diagonal (the diagonal's values are not read). rhs: a\n"
           "C-contiguous, writable float64 array of shape (n, k), overwritten by the solution.",
    .impl = typed<unit_transposed_solve>,
};

void exec(PyObject* m) { add_function(m, kUnitTransposedSolve); }

}  // namespace

CORVID_MODULE(_triangular, "corvid.fit._triangular",
              "Backward substitution with the transpose of a unit lower triangular sparse\n"
              "factor, many right-hand sides at once.",
              exec)
