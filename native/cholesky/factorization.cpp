/// The numeric side of corvid.fit._cholesky: factors, solves, log-determinants, the unit
/// factor and the selected inverse.
#include "cholesky/arrays.hpp"
#include "cholesky/handles.hpp"
#include "cholesky/kernels/supernodal_factor.hpp"
#include "cholesky/kernels/supernodal_inverse.hpp"
#include "cholesky/kernels/supernodal_solve.hpp"
#include "cholesky/parts.hpp"
#include "glue/array.hpp"
#include "glue/call.hpp"
#include "glue/function.hpp"
#include "glue/gil.hpp"
#include "glue/text.hpp"
#include "glue/value.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

namespace corvid::cholesky {

namespace {

/// How far apart a_ij and a_ji may be, relative to sqrt(|a_ii a_jj|), for the matrix to
/// count as symmetric: far above the rounding of sums taken in different orders.
constexpr double kSymmetryTolerance = 1e-10;

/// The entry k of a placed pattern as (row, column) in the matrix's own order.
std::pair<int32_t, int32_t> entry_place(const PlacedPattern& placed, int64_t k) {
    const EntryMap& map = placed.map;
    const auto column = static_cast<int32_t>(
        std::upper_bound(map.indptr.begin(), map.indptr.end(), k) - map.indptr.begin() - 1);
    const int32_t row = map.indices[static_cast<size_t>(k)];
    if (!map.ordered) return {row, column};
    const Symbolic& S = *placed.symbolic;
    return {S.perm[static_cast<size_t>(row)], S.perm[static_cast<size_t>(column)]};
}

Text& operator<<(Text& text, double value) {
    return text << py_float(value);
}

[[noreturn]] void refuse_values(const PlacedPattern& placed, const ValueFault& fault,
                                const double* data) {
    const auto [i, j] = entry_place(placed, fault.entry);
    const double a = data[fault.entry];
    Text message;
    if (fault.kind == ValueFault::not_finite) {
        message << "entry (" << py_int(i) << ", " << py_int(j) << ") of the matrix is " << a
                << ": a matrix to factor must be finite";
    } else {
        const double b = data[placed.map.mirror[static_cast<size_t>(fault.entry)]];
        message << "the matrix is not symmetric: entry (" << py_int(i) << ", " << py_int(j)
                << ") is " << a << " but (" << py_int(j) << ", " << py_int(i) << ") is " << b;
    }
    raise(PyExc_ValueError, message);
}

[[noreturn]] void refuse_indefinite(Module module, int32_t column) {
    Ref type = module.global("NotPositiveDefiniteError");
    Text message;
    message << "the matrix is not positive definite: its Cholesky factorisation breaks down at "
               "column "
            << py_int(column);
    Ref error = call(type.get(), {message.str()});
    check_status(PyObject_SetAttrString(error.get(), "column", py_int(column).get()));
    raise_object(error.get());
}

Ref factorize(Module module, Object placed_handle, Object data_array) {
    std::shared_ptr<const PlacedPattern> placed = unwrap<PlacedPattern>(placed_handle, "placed");
    Ref array = arrays::real_vector(data_array, "data");
    ArrayView view(array.get(), Element::float64, 1);
    const auto nnz = static_cast<size_t>(view.shape(0));
    if (static_cast<int64_t>(nnz) != placed->map.nnz())
        raise_format(PyExc_ValueError, "data has %zu values for a pattern of %lld entries", nnz,
                     static_cast<long long>(placed->map.nnz()));
    const Symbolic& S = *placed->symbolic;
    auto factor = std::make_shared<Factor>(placed->symbolic);
    // A private copy, so the values checked are the values factored whatever other threads
    // do to the array meanwhile; in a kept buffer, whose pages cost no faults.
    Buffer data = S.pool->take(nnz);
    ValueFault fault;
    int32_t failed = -1;
    without_gil([&] {
        if (nnz > 0) std::memcpy(data.get(), view.data<const double>(), nnz * sizeof(double));
        fault = check_values(placed->map, data.get(), kSymmetryTolerance);
        if (fault.kind != ValueFault::none) return;
        factor->values = S.pool->take(static_cast<size_t>(S.stored()));
        Buffer update = S.pool->take(static_cast<size_t>(S.largest_update));
        failed = cholesky::factorize(S, placed->map, data.get(), blas(), factor->values.get(),
                                     update.get());
        S.pool->give(std::move(update));
    });
    if (fault.kind != ValueFault::none) refuse_values(*placed, fault, data.get());
    S.pool->give(std::move(data));
    if (failed >= 0) refuse_indefinite(module, S.perm[static_cast<size_t>(failed)]);
    return wrap<Factor>(std::move(factor));
}

/// A block of right-hand sides for a factor of order n: a C-contiguous float64 array of
/// shape (n,) or (n, k), its buffer held for the call, and fresh arrays of its shape.
struct RightHandSides {
    Ref array;
    int ndim;
    ArrayView view;
    Py_ssize_t rows, columns;

    RightHandSides(PyObject* obj, const char* name, int32_t n)
        : array(arrays::real_block(obj, name)),
          ndim(ndim_of(array.get())),
          view(array.get(), Element::float64, ndim),
          rows(view.shape(0)),
          columns(ndim == 2 ? view.shape(1) : 1) {
        if (rows != n)
            raise_format(PyExc_ValueError, "%s has %zd rows for a matrix of order %d", name, rows, n);
        if (columns > std::numeric_limits<int32_t>::max())
            raise_format(PyExc_ValueError, "%s has more than 2^31 - 1 columns", name);
    }
    const double* data() const { return view.data<const double>(); }
    size_t width() const { return static_cast<size_t>(columns); }
    FreshArray fresh() const {
        return FreshArray(ndim == 2 ? std::initializer_list<Py_ssize_t>{rows, columns}
                                    : std::initializer_list<Py_ssize_t>{rows},
                          Element::float64);
    }
};

/// Row j of target (width values) = row perm[j] of source: right-hand sides into the
/// factor's order.
void gather_rows(const Symbolic& S, const double* source, size_t width, double* target) {
    for (int32_t j = 0; j < S.n; ++j)
        std::memcpy(target + static_cast<size_t>(j) * width,
                    source + static_cast<size_t>(S.perm[static_cast<size_t>(j)]) * width,
                    width * sizeof(double));
}

Ref solve(Object handle, Object b) {
    std::shared_ptr<const Factor> F = unwrap<Factor>(handle, "factor");
    const Symbolic& S = *F->symbolic;
    RightHandSides in(b, "b", S.n);
    FreshArray out = in.fresh();
    const double* source = in.data();
    double* target = out.data<double>();
    const size_t width = in.width();
    without_gil([&] {
        if (width == 0) return;
        Buffer X = S.pool->take(static_cast<size_t>(S.n) * width);
        gather_rows(S, source, width, X.get());
        solve_in_place(S, F->values.get(), blas(), static_cast<int32_t>(width), X.get());
        for (int32_t j = 0; j < S.n; ++j)
            std::memcpy(target + static_cast<size_t>(S.perm[static_cast<size_t>(j)]) * width,
                        X.get() + static_cast<size_t>(j) * width, width * sizeof(double));
        S.pool->give(std::move(X));
    });
    return out.array;
}

/// y = L⁻¹ (P b): the forward half of a solve, rows in the factor's order.
Ref solve_root(Object handle, Object b) {
    std::shared_ptr<const Factor> F = unwrap<Factor>(handle, "factor");
    const Symbolic& S = *F->symbolic;
    RightHandSides in(b, "b", S.n);
    FreshArray out = in.fresh();
    const double* source = in.data();
    double* target = out.data<double>();
    const size_t width = in.width();
    without_gil([&] {
        if (width == 0) return;
        gather_rows(S, source, width, target);
        forward_in_place(S, F->values.get(), blas(), static_cast<int32_t>(width), target);
    });
    return out.array;
}

/// Copies count values, returning the position of the first that is not finite (the copy
/// stopping there) or -1.
int64_t copy_finite(const double* from, size_t count, double* to) {
    for (size_t i = 0; i < count; ++i) {
        if (!std::isfinite(from[i])) return static_cast<int64_t>(i);
        to[i] = from[i];
    }
    return -1;
}

/// A writable view of `out` for a result shaped like `in`: float64 of that shape, each row's
/// values contiguous, the rows any whole number of values apart, as in a block of columns
/// taken from a wider array.
ArrayView writable_rows(PyObject* out, const RightHandSides& in) {
    auto refuse = [&] {
        Text message;
        message << "out must be a writable float64 array of the shape of z ("
                << py_int(in.rows);
        if (in.ndim == 2) message << ", " << py_int(in.columns);
        message << (in.ndim == 2 ? ")" : ",)") << ", each row's values contiguous";
        raise(PyExc_ValueError, message);
    };
    if (!PyObject_CheckBuffer(out)) refuse();
    ArrayView view = ArrayView::any(out, true);
    constexpr auto size = static_cast<Py_ssize_t>(sizeof(double));
    if (view.element() != Element::float64 || view.has_suboffsets() || view.ndim() != in.ndim ||
        view.shape(0) != in.rows || (in.ndim == 2 && view.shape(1) != in.columns) ||
        reinterpret_cast<uintptr_t>(view.data()) % sizeof(double) != 0 ||
        view.stride(0) % size != 0 || (in.ndim == 2 && in.columns > 1 && view.stride(1) != size))
        refuse();
    return view;
}

Ref solve_transposed_root(Object handle, Object z, Object out) {
    std::shared_ptr<const Factor> F = unwrap<Factor>(handle, "factor");
    const Symbolic& S = *F->symbolic;
    RightHandSides in(z, "z", S.n);
    std::optional<FreshArray> fresh;
    ArrayView given;
    double* target = nullptr;
    const size_t width = in.width();
    auto row_stride = static_cast<int64_t>(width);  // in values; negative for reversed rows
    if (out == Py_None) {
        fresh.emplace(in.fresh());
        target = fresh->data<double>();
    } else {
        given = writable_rows(out, in);
        target = given.data<double>();
        row_stride = static_cast<int64_t>(given.stride(0)) / static_cast<int64_t>(sizeof(double));
    }
    const double* source = in.data();
    int64_t fault = -1;
    without_gil([&] {
        if (width == 0) return;
        // z is copied whole before out is written: out may be z itself.
        Buffer X = S.pool->take(static_cast<size_t>(S.n) * width);
        fault = copy_finite(source, static_cast<size_t>(S.n) * width, X.get());
        if (fault < 0) {
            backward_in_place(S, F->values.get(), blas(), static_cast<int32_t>(width), X.get());
            for (int32_t j = 0; j < S.n; ++j)
                std::memcpy(target + int64_t{S.perm[static_cast<size_t>(j)]} * row_stride,
                            X.get() + static_cast<size_t>(j) * width, width * sizeof(double));
        }
        S.pool->give(std::move(X));
    });
    if (fault >= 0) {
        const auto w = static_cast<int64_t>(width);
        Text message;
        message << "z must be finite: z[" << py_int(fault / w);
        if (in.ndim == 2) message << ", " << py_int(fault % w);
        message << "] is " << source[fault];
        raise(PyExc_ValueError, message);
    }
    return fresh ? fresh->array : Ref::borrow(out.get());
}

Ref logdet(Object handle) {
    std::shared_ptr<const Factor> F = unwrap<Factor>(handle, "factor");
    const Symbolic& S = *F->symbolic;
    double sum = 0.0, compensation = 0.0;  // Neumaier's summation
    without_gil([&] {
        for (int32_t s = 0; s < S.supernodes(); ++s) {
            const double* Ls = F->values.get() + S.value_ptr[static_cast<size_t>(s)];
            const int64_t r = S.nrow(s);
            for (int32_t c = 0; c < S.width(s); ++c) {
                const double term = std::log(Ls[c + c * r]);
                const double next = sum + term;
                compensation += std::fabs(sum) >= std::fabs(term) ? (sum - next) + term : (term - next) + sum;
                sum = next;
            }
        }
    });
    return py_float(2.0 * (sum + compensation));
}

Ref unit_factor(Object handle) {
    std::shared_ptr<const Factor> F = unwrap<Factor>(handle, "factor");
    const Symbolic& S = *F->symbolic;
    FreshArray values({static_cast<Py_ssize_t>(S.entries())}, Element::float64);
    FreshArray d({static_cast<Py_ssize_t>(S.n)}, Element::float64);
    double* out = values.data<double>();
    double* dd = d.data<double>();
    without_gil([&] {
        int64_t at = 0;
        for (int32_t s = 0; s < S.supernodes(); ++s) {
            const double* Ls = F->values.get() + S.value_ptr[static_cast<size_t>(s)];
            const int32_t r = S.nrow(s);
            for (int32_t c = 0; c < S.width(s); ++c) {
                const double* column = Ls + static_cast<int64_t>(c) * r;
                const double pivot = column[c];
                dd[S.first[static_cast<size_t>(s)] + c] = pivot * pivot;
                out[at++] = 1.0;
                for (int32_t p = c + 1; p < r; ++p) out[at++] = column[p] / pivot;
            }
        }
    });
    return py_tuple({values.array, d.array});
}

Ref selected_inverse(Object handle) {
    std::shared_ptr<const Factor> F = unwrap<Factor>(handle, "factor");
    const Symbolic& S = *F->symbolic;
    std::shared_ptr<PooledValues> sigma;
    without_gil([&] {
        sigma = std::make_shared<PooledValues>(F->symbolic, static_cast<size_t>(S.entries()));
        Buffer work = S.pool->take(inverse_workspace(S));
        cholesky::selected_inverse(S, F->values.get(), blas(), sigma->values.get(), work.get());
        S.pool->give(std::move(work));
    });
    return wrap<PooledValues>(std::move(sigma));
}

Ref array_interface(Object handle) {
    std::shared_ptr<const PooledValues> held = unwrap<PooledValues>(handle, "values");
    Ref data = py_tuple({checked(PyLong_FromVoidPtr(held->values.get())), py_bool(false)});
    Ref shape = py_tuple({py_int(static_cast<long long>(held->count))});
    Ref out = checked(PyDict_New());
    check_status(PyDict_SetItemString(out.get(), "data", data.get()));
    check_status(PyDict_SetItemString(out.get(), "shape", shape.get()));
    check_status(PyDict_SetItemString(out.get(), "typestr", py_str(PY_LITTLE_ENDIAN ? "<f8" : ">f8").get()));
    check_status(PyDict_SetItemString(out.get(), "version", py_int(3).get()));
    return out;
}

const FunctionDef kFactorize{
    .name = "factorize",
    .params = {{.name = "placed", .annotation = "object"},
               {.name = "data", .annotation = "np.ndarray"}},
    .returns = "object",
    .doc = "The supernodal Cholesky factor L Lᵀ of a matrix, given its values on a placed\n"
           "pattern (`place`).\n\n"
           "ValueError names an entry that is not finite or whose transposed partner differs;\n"
           "NotPositiveDefiniteError (with the attribute column, in the matrix's own order)\n"
           "says where the factorisation breaks down. Returns an opaque handle.",
    .impl = typed<factorize>,
};

const FunctionDef kSolve{
    .name = "solve",
    .params = {{.name = "factor", .annotation = "object"},
               {.name = "b", .annotation = "np.ndarray"}},
    .returns = "np.ndarray",
    .doc = "A⁻¹ b for b of shape (n,) or (n, k), in the matrix's own order.",
    .impl = typed<solve>,
};

const FunctionDef kSolveRoot{
    .name = "solve_root",
    .params = {{.name = "factor", .annotation = "object"},
               {.name = "b", .annotation = "np.ndarray"}},
    .returns = "np.ndarray",
    .doc = "y = L⁻¹ b[perm] for b of shape (n,) or (n, k), with A[perm][:, perm] = L Lᵀ: b's\n"
           "rows in the matrix's own order, y's in the factor's. One forward substitution,\n"
           "half a solve: bᵀ A⁻¹ c = yᵀ (L⁻¹ c[perm]), and solve_transposed_root(y) = A⁻¹ b.",
    .impl = typed<solve_root>,
};

const FunctionDef kSolveTransposedRoot{
    .name = "solve_transposed_root",
    .params = {{.name = "factor", .annotation = "object"},
               {.name = "z", .annotation = "np.ndarray"},
               {.name = "out", .annotation = "Optional[np.ndarray]", .default_value = kNone}},
    .returns = "np.ndarray",
    .doc = "x = Pᵀ L⁻ᵀ z for z of shape (n,) or (n, k), with A[perm][:, perm] = L Lᵀ and\n"
           "(P x) = x[perm]: z's rows in the factor's order, x's in the matrix's own.\n\n"
           "Then xᵀ A x = zᵀ z, and for standard normal z, x is a sample of N(0, A⁻¹). One\n"
           "backward substitution, supernode by supernode; ValueError names a value of z that\n"
           "is not finite. x goes into `out` when given (float64, z's shape, each row's\n"
           "values contiguous; z itself will do), else into a new array.",
    .impl = typed<solve_transposed_root>,
};

const FunctionDef kLogdet{
    .name = "logdet",
    .params = {{.name = "factor", .annotation = "object"}},
    .returns = "float",
    .doc = "log |A|, from the factor's diagonal.",
    .impl = typed<logdet>,
};

const FunctionDef kUnitFactor{
    .name = "unit_factor",
    .params = {{.name = "factor", .annotation = "object"}},
    .returns = "Tuple[np.ndarray, np.ndarray]",
    .doc = "(values, d): the unit lower triangular L' on the analysis's factor_pattern and\n"
           "D's diagonal, with L' D L'ᵀ = A[perm][:, perm].",
    .impl = typed<unit_factor>,
};

const FunctionDef kSelectedInverse{
    .name = "selected_inverse",
    .params = {{.name = "factor", .annotation = "object"}},
    .returns = "object",
    .doc = "The entries of A⁻¹ on the analysis's factor_pattern (lower triangle, factor's\n"
           "order), by the block Takahashi recursions: an opaque handle to values held in\n"
           "a buffer that the analysis reuses once the handle is freed (array_interface).",
    .impl = typed<selected_inverse>,
};

const FunctionDef kArrayInterface{
    .name = "array_interface",
    .params = {{.name = "values", .annotation = "object"}},
    .returns = "dict",
    .doc = "NumPy's __array_interface__ for values held by a handle (selected_inverse): an\n"
           "object holding the handle and this dict is an array's worth of memory, which\n"
           "lives as long as the object.",
    .impl = typed<array_interface>,
};

}  // namespace

void add_factorization(PyObject* module) {
    add_function(module, kFactorize);
    add_function(module, kSolve);
    add_function(module, kSolveRoot);
    add_function(module, kSolveTransposedRoot);
    add_function(module, kLogdet);
    add_function(module, kUnitFactor);
    add_function(module, kSelectedInverse);
    add_function(module, kArrayInterface);
}

}  // namespace corvid::cholesky
