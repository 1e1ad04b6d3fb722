"""Time corvid's supernodal Cholesky against CHOLMOD (cvxopt's wheel) on the fit's matrices.

Matrices:
    fit         the Gaussian fit's posterior precision Q + t AᵀA on a 55,000-vertex mesh of
                the irregular coast-and-lake region (fit_setup.region_model), 10^5
                observations
    space-time  an AR(1) precision over 20 times (rho 0.9) ⊗ the mesh precision on a
                2,700-vertex mesh of the same region, plus t AᵀA of 10^5 observations
                spread over the times
Both libraries factor in one ordering, METIS nested dissection followed by a postorder of
the elimination tree (computed once, as the fit does), CHOLMOD given it through p= with
supernodal factorisation forced. Printed per matrix, once with the machine as it is and once
with the other core kept busy: the ordering's time; the symbolic analyses; the numeric
refactorisation, best of 5, ours and CHOLMOD's, and their ratio (target <= 1.5); our
selected inversion and its ratio to our factorisation (target <= 2.5); solves with 1 and 32
right-hand sides. Then the numeric factorisations again with BLAS allowed 2 threads (corvid
keeps it at one; see the README). Each library's log-determinant is printed as a check.

Usage: python benchmarks/bench_cholesky.py [fit|space-time ...]
"""

import contextlib
import sys
import time

import numpy as np
from scipy import sparse
from threadpoolctl import threadpool_limits

from bench_common import best_of, best_of_alternating, load_average, other_core_busy
from corvid.fit import supernodal
from corvid.meshkin.locate import basis_matrix
from fit_setup import region_model, uniform_in_mesh

REPEATS = 5


def observed(model, n_obs, rng):
    """The mesh's basis at n_obs uniform locations."""
    return basis_matrix(model.mesh, uniform_in_mesh(model.mesh, n_obs, rng))


def fit_matrix():
    model = region_model(55_000)
    Q = model.precision(np.log([3.0, 1.0]))
    A = observed(model, 100_000, np.random.default_rng(0))
    return f"fit: Q + t AᵀA, {model.mesh.n:,} vertices, 10^5 observations", \
        (Q + 4.0 * (A.T @ A)).tocsc()


def space_time_matrix(times=20, rho=0.9):
    model = region_model(1_850)
    Q = model.precision(np.log([3.0, 1.0]))
    n = Q.shape[0]
    ar1 = sparse.diags([np.r_[1.0, np.full(times - 2, 1.0 + rho**2), 1.0], np.full(times - 1, -rho),
                        np.full(times - 1, -rho)], [0, -1, 1]) / (1.0 - rho**2)
    rng = np.random.default_rng(1)
    blocks = [observed(model, 100_000 // times, rng) for _ in range(times)]
    AtA = sparse.block_diag([B.T @ B for B in blocks])
    return f"space-time: AR(1) over {times} times ⊗ {n:,}-vertex mesh precision, plus 10^5 " \
           f"observations", (sparse.kron(ar1, Q) + 4.0 * AtA).tocsc()


MATRICES = {"fit": fit_matrix, "space-time": space_time_matrix}


def cholmod_of(P, perm):
    """cvxopt's CHOLMOD: (numeric refactorisation, its log-determinant), given the order."""
    import cvxopt
    from cvxopt import cholmod

    lower = sparse.tril(P).tocoo()
    M = cvxopt.spmatrix(lower.data, lower.row.tolist(), lower.col.tolist(), size=P.shape)
    cholmod.options["supernodal"] = 2
    cholmod.options["postorder"] = True
    start = time.perf_counter()
    F = cholmod.symbolic(M, p=cvxopt.matrix([int(i) for i in perm]))
    symbolic = time.perf_counter() - start

    def numeric():
        cholmod.numeric(M, F)
        return F

    logdet = lambda: 2.0 * float(np.sum(np.log(np.asarray(cholmod.diag(numeric())))))
    return symbolic, numeric, logdet


def measure(label, P, busy):
    start = time.perf_counter()
    order = supernodal.fill_reducing_ordering(P)
    t_order = time.perf_counter() - start
    start = time.perf_counter()
    analysis = supernodal.Analysis(P.indptr, P.indices, order, postorder=True)
    placed = analysis.placed(P, ordered=False)
    t_analysis = time.perf_counter() - start
    sizes = analysis.sizes
    t_symbolic, numeric, logdet = cholmod_of(P, analysis.perm)
    with threadpool_limits(limits=1, user_api="blas"):  # cvxopt's own OpenBLAS too
        # In turn, so that a slow spell of a shared machine weighs on both alike.
        (t_ours, t_cholmod), (ours, _) = best_of_alternating(
            REPEATS, lambda: supernodal.SupernodalFactor(analysis, placed, P.data), numeric)
    t_inverse, _ = best_of(3, ours.selected_inverse)
    rng = np.random.default_rng(2)
    b1, b32 = rng.normal(size=P.shape[0]), rng.normal(size=(P.shape[0], 32))
    t_solve1, _ = best_of(REPEATS, lambda: ours.solve(b1))
    t_solve32, _ = best_of(REPEATS, lambda: ours.solve(b32))
    state = "other core busy" if busy else "as is"
    print(f"  {state}:")
    print(f"    ordering (METIS) {t_order:6.3f} s   analysis: ours {t_analysis:6.3f} s, "
          f"CHOLMOD's {t_symbolic:6.3f} s   L: {sizes['entries']:,} entries in "
          f"{sizes['supernodes']:,} supernodes, {sizes['flops'] / 1e9:.2f} Gflop")
    print(f"    numeric factorisation: ours {t_ours:6.3f} s, CHOLMOD {t_cholmod:6.3f} s, "
          f"ratio {t_ours / t_cholmod:4.2f} (target <= 1.5)")
    print(f"    selected inversion {t_inverse:6.3f} s, {t_inverse / t_ours:4.2f} x our "
          f"factorisation (target <= 2.5)   solve: 1 column {t_solve1 * 1e3:6.1f} ms, "
          f"32 columns {t_solve32 * 1e3:6.1f} ms")
    with contextlib.ExitStack() as stack:
        stack.enter_context(threadpool_limits(limits=2, user_api="blas"))
        own = supernodal._blas_threads
        supernodal._blas_threads = contextlib.nullcontext
        try:
            t_ours2, _ = best_of(REPEATS, lambda: supernodal.SupernodalFactor(analysis, placed, P.data))
        finally:
            supernodal._blas_threads = own
        t_cholmod2, _ = best_of(REPEATS, numeric)  # cvxopt's OpenBLAS: one thread regardless
    print(f"    with 2 BLAS threads: ours {t_ours2:6.3f} s, CHOLMOD {t_cholmod2:6.3f} s")
    print(f"    log-determinant: ours {ours.logdet():.10g}, CHOLMOD {logdet():.10g}")


def main():
    names = sys.argv[1:] or list(MATRICES)
    for name in names:
        label, P = MATRICES[name]()
        print(f"{label}: n = {P.shape[0]:,}, {P.nnz:,} nonzeros; load average {load_average()}")
        for busy in (False, True):
            with other_core_busy(busy):
                measure(label, P, busy)
    print(f"load average {load_average()}")


if __name__ == "__main__":
    main()
