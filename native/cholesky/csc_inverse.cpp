/// The selected inverse of a factor given in compressed columns (any backend's L D Lᵀ): the
/// entries of A⁻¹ on the pattern of L, closed under elimination first where needed.
#include "glue/array.hpp"
#include "glue/call.hpp"
#include "glue/function.hpp"
#include "glue/gil.hpp"
#include "cholesky/arrays.hpp"
#include "cholesky/kernels/csc_inverse.hpp"
#include "cholesky/parts.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace corvid::cholesky {

namespace {

/// L's values on the closed pattern, zero where the closure added an entry.
template <class I>
std::vector<double> spread(const selinv::Pattern<I>& from, const double* values,
                           const selinv::Pattern<I>& to) {
    std::vector<double> out(static_cast<size_t>(to.indptr[to.n]), 0.0);
    for (size_t j = 0; j < to.n; ++j) {
        int64_t k = to.begin(j);
        for (int64_t p = from.begin(j); p < from.end(j); ++p) {
            while (to.indices[k] < from.indices[p]) ++k;
            out[static_cast<size_t>(k)] = values[p];
        }
    }
    return out;
}

template <class I>
Ref invert(std::vector<int64_t> indptr, std::vector<I> indices, std::vector<double> values,
           const std::vector<double>& d) {
    const size_t n = d.size();
    selinv::Pattern<I> pattern{n, indptr.data(), indices.data()};
    without_gil([&] {
        selinv::check_structure(n, indptr.data(), indices.data(),
                                std::min(indices.size(), values.size()));
        if (selinv::is_closed(pattern)) return;
        std::vector<int64_t> closed_indptr;
        std::vector<I> closed_indices;
        selinv::close_pattern(pattern, closed_indptr, closed_indices);
        selinv::Pattern<I> closed{n, closed_indptr.data(), closed_indices.data()};
        values = spread(pattern, values.data(), closed);
        indptr = std::move(closed_indptr);
        indices = std::move(closed_indices);
        pattern = {n, indptr.data(), indices.data()};
    });

    const auto nnz = static_cast<Py_ssize_t>(indptr[n]);
    FreshArray out_indptr({static_cast<Py_ssize_t>(n + 1)}, Element::int64);
    FreshArray out_indices({nnz}, sizeof(I) == 4 ? Element::int32 : Element::int64);
    FreshArray out_sigma({nnz}, Element::float64);
    without_gil([&] {
        std::memcpy(out_indptr.data<int64_t>(), indptr.data(), (n + 1) * sizeof(int64_t));
        // An empty pattern has no buffers to copy between: memcpy must not see their nulls.
        if (nnz > 0)
            std::memcpy(out_indices.data<I>(), indices.data(), static_cast<size_t>(nnz) * sizeof(I));
        selinv::selected_inverse(pattern, values.data(), d.data(), out_sigma.data<double>());
    });
    return py_tuple({out_indptr.array, out_indices.array, out_sigma.array});
}

Ref csc_selected_inverse(Object indptr_array, Object indices_array, Object data_array, Object d_array) {
    std::vector<int64_t> indptr = arrays::copy_integers<int64_t>(indptr_array, "indptr");
    bool narrow = arrays::holds_int32(indices_array);
    std::vector<double> values = arrays::copy_reals(data_array, "data");
    std::vector<double> d = arrays::copy_reals(d_array, "d");
    if (indptr.size() != d.size() + 1)
        raise_format(PyExc_ValueError, "indptr has %zu entries for %zu columns; expected %zu",
                     indptr.size(), d.size(), d.size() + 1);
    if (narrow)
        return invert(std::move(indptr), arrays::copy_integers<int32_t>(indices_array, "indices"),
                      std::move(values), d);
    return invert(std::move(indptr), arrays::copy_integers<int64_t>(indices_array, "indices"),
                  std::move(values), d);
}

const FunctionDef kCscSelectedInverse{
    .name = "csc_selected_inverse",
    .params = {{.name = "indptr", .annotation = "np.ndarray"},
               {.name = "indices", .annotation = "np.ndarray"},
               {.name = "data", .annotation = "np.ndarray"},
               {.name = "d", .annotation = "np.ndarray"}},
    .returns = "Tuple[np.ndarray, np.ndarray, np.ndarray]",
    .doc = "Entries of A^-1 on the pattern of the factor A = L D L^T.\n\n"
           "L is unit lower triangular in compressed-column form (indptr, indices, data): each\n"
           "column's rows ascending with the diagonal first (its value is not read). d is D's\n"
           "diagonal. Returns (indptr, indices, values) of A^-1's lower triangle on L's pattern,\n"
           "closed under elimination where L's lacks entries that cancelled to zero.",
    .impl = typed<csc_selected_inverse>,
};

}  // namespace

void add_csc_inverse(PyObject* module) { add_function(module, kCscSelectedInverse); }

}  // namespace corvid::cholesky
