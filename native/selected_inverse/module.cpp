/// corvid.fit._selected_inverse: the entries of the inverse of a sparse symmetric positive
/// definite matrix on the pattern of its factor.
#include "selected_inverse/arrays.hpp"
#include "selected_inverse/kernels/takahashi.hpp"
#include "glue/call.hpp"
#include "glue/function.hpp"
#include "glue/gil.hpp"
#include "glue/module.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace corvid;

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

    const auto nnz = static_cast<size_t>(indptr[n]);
    Ref out_indptr = selinv::arrays::empty_vector(n + 1, "int64");
    Ref out_indices = selinv::arrays::empty_vector(nnz, sizeof(I) == 4 ? "int32" : "int64");
    Ref out_sigma = selinv::arrays::empty_vector(nnz, "float64");
    {
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE;
        selinv::arrays::Buffer p(out_indptr.get(), flags), i(out_indices.get(), flags),
            s(out_sigma.get(), flags);
        if (p.size() != n + 1 || i.size() != nnz || s.size() != nnz)
            raise(PyExc_TypeError, "numpy.empty returned an array of another size");
        without_gil([&] {
            std::memcpy(p.data<int64_t>(), indptr.data(), (n + 1) * sizeof(int64_t));
            std::memcpy(i.data<I>(), indices.data(), nnz * sizeof(I));
            selinv::selected_inverse(pattern, values.data(), d.data(), s.data<double>());
        });
    }
    return py_tuple({out_indptr, out_indices, out_sigma});
}

Ref selected_inverse(Args a) {
    std::vector<int64_t> indptr = selinv::arrays::copy_integers<int64_t>(a[0], "indptr");
    bool narrow = selinv::arrays::holds_int32(a[1]);
    std::vector<double> values = selinv::arrays::copy_reals(a[2], "data");
    std::vector<double> d = selinv::arrays::copy_reals(a[3], "d");
    if (indptr.size() != d.size() + 1)
        raise_format(PyExc_ValueError, "indptr has %zu entries for %zu columns; expected %zu",
                     indptr.size(), d.size(), d.size() + 1);
    if (narrow)
        return invert(std::move(indptr), selinv::arrays::copy_integers<int32_t>(a[1], "indices"),
                      std::move(values), d);
    return invert(std::move(indptr), selinv::arrays::copy_integers<int64_t>(a[1], "indices"),
                  std::move(values), d);
}

const FunctionDef kSelectedInverse{
    .name = "selected_inverse",
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
    .impl = selected_inverse,
};

void exec(PyObject* m) { add_function(m, kSelectedInverse); }

}  // namespace

CORVID_MODULE(_selected_inverse, "corvid.fit._selected_inverse",
              "Selected inversion of sparse symmetric positive definite matrices (Takahashi\n"
              "recursions) on compressed-column factors.",
              exec)
