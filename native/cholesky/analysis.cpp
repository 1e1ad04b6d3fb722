/// The symbolic side of corvid.fit._cholesky: a pattern's graph for the ordering, the
/// analysis made once per pattern and ordering, what it tells, and patterns placed in it.
#include "cholesky/arrays.hpp"
#include "cholesky/handles.hpp"
#include "cholesky/kernels/supernodal_inverse.hpp"
#include "cholesky/parts.hpp"
#include "glue/array.hpp"
#include "glue/call.hpp"
#include "glue/function.hpp"
#include "glue/gil.hpp"
#include "glue/text.hpp"

#include <cstring>
#include <limits>

namespace corvid::cholesky {

namespace {

/// A pattern copied from Python arrays and checked.
struct CopiedPattern {
    int32_t n = 0;
    std::vector<int64_t> indptr;
    std::vector<int32_t> indices;

    Csc view() const { return {n, indptr.data(), indices.data()}; }
};

CopiedPattern copy_pattern(PyObject* indptr, PyObject* indices) {
    CopiedPattern p;
    p.indptr = arrays::copy_integers<int64_t>(indptr, "indptr");
    if (p.indptr.empty()) raise(PyExc_ValueError, "indptr must hold n + 1 column pointers");
    if (p.indptr.size() - 1 > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
        raise(PyExc_ValueError, "the matrix has more than 2^31 - 1 columns");
    p.n = static_cast<int32_t>(p.indptr.size() - 1);
    p.indices = arrays::copy_integers<int32_t>(indices, "indices");
    without_gil([&] { check_columns(p.view(), static_cast<int64_t>(p.indices.size())); });
    return p;
}

template <class T>
Ref array_of(const std::vector<T>& values, Element element) {
    FreshArray out({static_cast<Py_ssize_t>(values.size())}, element);
    if (!values.empty()) std::memcpy(out.data<T>(), values.data(), values.size() * sizeof(T));
    return out.array;
}

Ref graph(Object indptr, Object indices) {
    CopiedPattern p = copy_pattern(indptr, indices);
    const Csc A = p.view();
    std::vector<int64_t> mirror(static_cast<size_t>(A.nnz()));
    std::vector<int64_t> xadj(static_cast<size_t>(A.n) + 1, 0);
    std::vector<int64_t> adjacency;
    without_gil([&] {
        mirror_entries(A, mirror.data());
        adjacency.reserve(static_cast<size_t>(A.nnz()));
        for (int32_t j = 0; j < A.n; ++j) {
            for (int64_t k = A.begin(j); k < A.end(j); ++k)
                if (A.indices[k] != j) adjacency.push_back(A.indices[k]);
            xadj[static_cast<size_t>(j) + 1] = static_cast<int64_t>(adjacency.size());
        }
    });
    return py_tuple({array_of(xadj, Element::int64), array_of(adjacency, Element::int64)});
}

/// Bytes in MiB, to one decimal, as Python text.
Ref mebibytes(long long bytes) {
    return call_method(py_float(static_cast<double>(bytes) / (1 << 20)).get(), "__format__",
                       {py_str(".1f")});
}

/// Bytes the analysis's own arrays take, beyond the pattern's copy.
int64_t analysis_bytes(const Plan& plan, int32_t n) {
    return 4 * plan.row_entries() + 24 * static_cast<int64_t>(plan.supernodes()) + 16 * static_cast<int64_t>(n);
}

Ref analyse(Object indptr, Object indices, Object perm_array, bool postorder, Int memory) {
    CopiedPattern p = copy_pattern(indptr, indices);
    std::vector<int32_t> perm = arrays::copy_integers<int32_t>(perm_array, "perm");
    if (perm.size() != static_cast<size_t>(p.n))
        raise_format(PyExc_ValueError, "perm has %zu entries for a matrix of order %d", perm.size(), p.n);
    const long long available = PyLong_AsLongLong(memory.get());
    if (available == -1 && PyErr_Occurred()) throw_python_error();
    Plan plan;
    without_gil([&] {
        std::vector<int64_t> mirror(static_cast<size_t>(p.view().nnz()));
        mirror_entries(p.view(), mirror.data());
        plan = plan_supernodes(p.view(), std::move(perm), postorder);
    });
    const int64_t needed = analysis_bytes(plan, p.n);
    if (available >= 0 && needed > available) {
        Text message;
        message << "the Cholesky factor's analysis needs " << mebibytes(needed) << " MiB but only "
                << mebibytes(available) << " MiB of memory are available";
        raise(PyExc_MemoryError, message);
    }
    auto symbolic = std::make_shared<Symbolic>();
    without_gil([&] { *symbolic = build_symbolic(p.view(), std::move(plan)); });
    return wrap<Symbolic>(std::move(symbolic));
}

Ref summary(Object handle) {
    std::shared_ptr<const Symbolic> S = unwrap<Symbolic>(handle, "analysis");
    const int64_t stored = S->stored(), entries = S->entries();
    const int64_t below = S->largest_below, width = S->largest_width;
    const int64_t factor_bytes = 8 * stored + 8 * S->largest_update + 4 * below + 4 * int64_t{S->n} +
                                 12 * int64_t{S->supernodes()};
    const int64_t inverse_bytes = 8 * entries + 8 * static_cast<int64_t>(inverse_workspace(*S)) + 4 * below;
    Ref out = checked(PyDict_New());
    auto put = [&](const char* key, Ref value) {
        check_status(PyDict_SetItemString(out.get(), key, value.get()));
    };
    put("n", py_int(S->n));
    put("supernodes", py_int(S->supernodes()));
    put("entries", py_int(entries));
    put("stored", py_int(stored));
    put("flops", py_float(S->flops));
    put("largest_width", py_int(width));
    put("largest_below", py_int(below));
    put("factor_bytes", py_int(factor_bytes));
    put("inverse_bytes", py_int(inverse_bytes));
    put("solve_bytes_per_column", py_int(8 * (int64_t{S->n} + below)));
    return out;
}

Ref permutation(Object handle) {
    std::shared_ptr<const Symbolic> S = unwrap<Symbolic>(handle, "analysis");
    std::vector<int64_t> perm(S->perm.begin(), S->perm.end());
    return array_of(perm, Element::int64);
}

Ref factor_pattern(Object handle) {
    std::shared_ptr<const Symbolic> S = unwrap<Symbolic>(handle, "analysis");
    FreshArray indptr({static_cast<Py_ssize_t>(S->n) + 1}, Element::int64);
    FreshArray indices({static_cast<Py_ssize_t>(S->entries())}, Element::int32);
    int64_t* ip = indptr.data<int64_t>();
    int32_t* ix = indices.data<int32_t>();
    without_gil([&] {
        int64_t at = 0;
        ip[0] = 0;
        for (int32_t s = 0; s < S->supernodes(); ++s) {
            const int32_t* rows = S->rows_of(s);
            for (int32_t c = 0; c < S->width(s); ++c) {
                for (int32_t p = c; p < S->nrow(s); ++p) ix[at++] = rows[p];
                ip[S->first[static_cast<size_t>(s)] + c + 1] = at;
            }
        }
    });
    return py_tuple({indptr.array, indices.array});
}

Ref place(Object handle, Object indptr, Object indices, bool ordered) {
    std::shared_ptr<const Symbolic> S = unwrap<Symbolic>(handle, "analysis");
    CopiedPattern p = copy_pattern(indptr, indices);
    if (p.n != S->n)
        raise_format(PyExc_ValueError, "the pattern has order %d; the analysis is of order %d", p.n, S->n);
    auto placed = std::make_shared<PlacedPattern>();
    placed->symbolic = S;
    placed->map.ordered = ordered;
    placed->map.n = p.n;
    placed->map.indptr = std::move(p.indptr);
    placed->map.indices = std::move(p.indices);
    bool inside = false;
    without_gil([&] { inside = place_entries(*S, placed->map); });
    if (!inside) return py_none();
    return wrap<PlacedPattern>(std::move(placed));
}

const FunctionDef kGraph{
    .name = "graph",
    .params = {{.name = "indptr", .annotation = "np.ndarray"},
               {.name = "indices", .annotation = "np.ndarray"}},
    .returns = "Tuple[np.ndarray, np.ndarray]",
    .doc = "The graph of a symmetric pattern, for a fill-reducing ordering.\n\n"
           "indptr and indices hold the pattern in compressed columns (both triangles, rows\n"
           "strictly ascending). Returns (xadj, adjacency), int64: the neighbours of vertex j\n"
           "are adjacency[xadj[j]:xadj[j + 1]], the diagonal left out. ValueError names an\n"
           "entry whose transposed partner is missing.",
    .impl = typed<graph>,
};

const FunctionDef kAnalyse{
    .name = "analyse",
    .params = {{.name = "indptr", .annotation = "np.ndarray"},
               {.name = "indices", .annotation = "np.ndarray"},
               {.name = "perm", .annotation = "np.ndarray"},
               {.name = "postorder", .annotation = "bool"},
               {.name = "memory", .annotation = "int"}},
    .returns = "object",
    .doc = "The symbolic analysis of a symmetric pattern in the ordering perm.\n\n"
           "With postorder, perm is followed by a postorder of the elimination tree (the same\n"
           "fill, contiguous supernodes). memory is the bytes available, or -1 for no limit:\n"
           "MemoryError when the analysis would need more. Returns an opaque handle.",
    .impl = typed<analyse>,
};

const FunctionDef kSummary{
    .name = "summary",
    .params = {{.name = "analysis", .annotation = "object"}},
    .returns = "dict",
    .doc = "Sizes of an analysis: n, supernodes, entries (of L's lower triangle), stored\n"
           "(values in the blocks), flops, largest_width, largest_below, and the bytes that\n"
           "a factorisation, a selected inversion and a solve (per column) allocate.",
    .impl = typed<summary>,
};

const FunctionDef kPermutation{
    .name = "permutation",
    .params = {{.name = "analysis", .annotation = "object"}},
    .returns = "np.ndarray",
    .doc = "The analysis's ordering: the factor is that of A[perm][:, perm].",
    .impl = typed<permutation>,
};

const FunctionDef kFactorPattern{
    .name = "factor_pattern",
    .params = {{.name = "analysis", .annotation = "object"}},
    .returns = "Tuple[np.ndarray, np.ndarray]",
    .doc = "(indptr int64, indices int32) of L's lower triangle in compressed columns, in the\n"
           "factor's order, rows ascending (the diagonal first): the supernodal pattern,\n"
           "which holds every entry of the matrix and may hold explicit zeros.",
    .impl = typed<factor_pattern>,
};

const FunctionDef kPlace{
    .name = "place",
    .params = {{.name = "analysis", .annotation = "object"},
               {.name = "indptr", .annotation = "np.ndarray"},
               {.name = "indices", .annotation = "np.ndarray"},
               {.name = "ordered", .annotation = "bool"}},
    .returns = "object",
    .doc = "Where the entries of a symmetric pattern go in the analysis's factor.\n\n"
           "The pattern is in the matrix's own order, or with ordered in the factor's order\n"
           "(A[perm][:, perm]). Returns an opaque handle, or None when some entry lies outside\n"
           "the factor's pattern (the pattern then needs an analysis of its own).",
    .impl = typed<place>,
};

}  // namespace

void add_analysis(PyObject* module) {
    add_function(module, kGraph);
    add_function(module, kAnalyse);
    add_function(module, kSummary);
    add_function(module, kPermutation);
    add_function(module, kFactorPattern);
    add_function(module, kPlace);
}

}  // namespace corvid::cholesky
