/// The numeric supernodal Cholesky factorisation L Lᵀ = A (left-looking), over the symbolic
/// analysis of symbolic.hpp. Plain C++ over raw arrays; no Python.
///
/// Supernodes are factored in column order. Supernode s first gathers A's entries in its
/// columns, then the updates of every earlier supernode d with rows in s's columns: the
/// product of d's rows from there on with d's rows in s's columns (BLAS-3), subtracted
/// through relative indices (where each of d's rows sits among s's). Each d waits in the
/// list of the next supernode its rows reach, so s finds exactly the d it needs. Then s's
/// diagonal block is factored and the rows below it are solved against that block.
#pragma once

#include "cholesky/kernels/dense.hpp"
#include "cholesky/kernels/entry_map.hpp"
#include "cholesky/kernels/symbolic.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace corvid::cholesky {

/// Factors A, given by its values on the pattern of `map`, into `values`.
///
///   Symbolic S
///   EntryMap map            - of A's pattern, for S
///   const double data[nnz]  - A's values on that pattern (finite, symmetric: `check_values`)
///   double values[S.stored()]  - output: the factor, supernode by supernode
///   double update[S.largest_update]  - workspace
///
/// Returns -1, or the column (in the factor's order) at which A is found not positive
/// definite. Cost: S.flops; workspace O(n) integers besides `update`.
inline int32_t factorize(const Symbolic& S, const EntryMap& map, const double* data,
                         const Blas& blas, double* values, double* update) {
    const int32_t count = S.supernodes();
    std::vector<int32_t> position(static_cast<size_t>(S.n));  // a row's place in the current s
    std::vector<int32_t> head(static_cast<size_t>(count), -1), link(static_cast<size_t>(count), -1);
    std::vector<int32_t> next_row(static_cast<size_t>(count), 0);  // d's first row not yet sent
    std::vector<int32_t> relative(static_cast<size_t>(S.largest_below));

    auto wait_for = [&](int32_t d, int32_t row_index) {
        next_row[static_cast<size_t>(d)] = row_index;
        const int32_t t = S.super_of[static_cast<size_t>(S.rows_of(d)[row_index])];
        link[static_cast<size_t>(d)] = head[static_cast<size_t>(t)];
        head[static_cast<size_t>(t)] = d;
    };

    for (int32_t s = 0; s < count; ++s) {
        const int32_t f = S.first[static_cast<size_t>(s)], l = S.last(s), w = S.width(s);
        const int32_t r = S.nrow(s);
        const int32_t* rows = S.rows_of(s);
        double* Ls = values + S.value_ptr[static_cast<size_t>(s)];
        for (int32_t p = 0; p < r; ++p) position[static_cast<size_t>(rows[p])] = p;

        std::fill(Ls, Ls + static_cast<int64_t>(r) * w, 0.0);
        for (int64_t q = map.lower_ptr[static_cast<size_t>(f)]; q < map.lower_ptr[static_cast<size_t>(l) + 1]; ++q)
            values[map.target[static_cast<size_t>(q)]] = data[map.source[static_cast<size_t>(q)]];

        int32_t d = head[static_cast<size_t>(s)];
        head[static_cast<size_t>(s)] = -1;
        while (d != -1) {
            const int32_t next = link[static_cast<size_t>(d)];
            const int32_t wd = S.width(d), rd = S.nrow(d);
            const int32_t* drows = S.rows_of(d);
            const double* Ld = values + S.value_ptr[static_cast<size_t>(d)];
            const int32_t p1 = next_row[static_cast<size_t>(d)];
            int32_t p2 = p1;
            while (p2 < rd && drows[p2] <= l) ++p2;
            const int32_t n1 = rd - p1, n2 = p2 - p1;
            dense::update_product(blas, n1, n2, wd, Ld + p1, rd, update);
            for (int32_t i = 0; i < n1; ++i) relative[static_cast<size_t>(i)] = position[static_cast<size_t>(drows[p1 + i])];
            for (int32_t j = 0; j < n2; ++j) {
                double* target = Ls + static_cast<int64_t>(drows[p1 + j] - f) * r;
                const double* u = update + static_cast<int64_t>(j) * n1;
                for (int32_t i = j; i < n1; ++i) target[relative[static_cast<size_t>(i)]] -= u[i];
            }
            if (p2 < rd) wait_for(d, p2);
            d = next;
        }

        const int32_t failed = dense::cholesky(blas, w, Ls, r);
        if (failed >= 0) return f + failed;
        for (int32_t c = 0; c < w; ++c)  // LAPACK lets an infinite pivot through
            if (!std::isfinite(Ls[c + static_cast<int64_t>(c) * r])) return f + c;
        dense::solve_right_transposed(blas, r - w, w, Ls, r, Ls + w, r);
        if (r > w) wait_for(s, w);
    }
    return -1;
}

}  // namespace corvid::cholesky
