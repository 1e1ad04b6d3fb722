"""Time the PC-Matern model's precision(theta) and M2 against the SciPy expressions.

On regular grid meshes of about 10^5 and 10^6 vertices, compared in one run with
    G @ diags(1/c0) @ G                                            (M2)
    tau**2 * (kappa**4 * diags(c0) + 2.0 * kappa**2 * G + G C^-1 G)   (precision)
and checked to agree entry for entry (same stored entries, values within 1e-12 relative).

Usage: python benchmarks/bench_precision.py [side ...]   (default sides 317 and 1000)
Target: at least 3x faster than the SciPy expression at both sizes.
"""

import sys

import numpy as np
from scipy import sparse

from bench_common import best_of
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.mesh import MkMesh


def scipy_m2(fem):
    return fem.g1 @ sparse.diags(1.0 / fem.c0) @ fem.g1


def scipy_precision(model, theta):
    kappa, tau = model._compute_kappa_tau(np.exp(theta[0]), np.exp(theta[1]))
    C, G = model.fem.c0, model.fem.g1
    return (tau**2 * (kappa**4 * sparse.diags(C) + 2.0 * kappa**2 * G + scipy_m2(model.fem))).tocsr()


def agree(ours, theirs):
    theirs = theirs.tocsr().copy()
    theirs.sort_indices()
    same_entries = (np.array_equal(ours.indptr, theirs.indptr)
                    and np.array_equal(ours.indices, theirs.indices))
    scale = np.abs(theirs.data).max()
    return same_entries and np.abs(ours.data - theirs.data).max() <= 1e-12 * scale


def main():
    sides = [int(a) for a in sys.argv[1:]] or [317, 1000]
    theta = (np.log(0.2), np.log(1.5))
    for side in sides:
        mesh = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (side, side))
        model = gfield2_pcmatern(mesh, prior_range=(0.1, 0.5), prior_sigma=(1.0, 0.1))
        repeats = 5 if side < 500 else 3
        t_scipy, q_scipy = best_of(repeats, lambda: scipy_precision(model, theta))
        t_ours, q_ours = best_of(repeats, lambda: model.precision(theta))
        assert agree(q_ours, q_scipy), "precision differs from the SciPy expression"
        t_scipy_m2, m2_scipy = best_of(repeats, lambda: scipy_m2(model.fem))
        t_ours_m2, m2_ours = best_of(repeats, lambda: model.M2)
        assert agree(m2_ours, m2_scipy), "M2 differs from the SciPy expression"
        print(f"regular mesh {side} x {side} = {mesh.n} vertices, precision nnz {q_ours.nnz}")
        print(f"  precision: SciPy {t_scipy * 1e3:8.1f} ms   ours {t_ours * 1e3:8.1f} ms   "
              f"speed-up {t_scipy / t_ours:5.2f}   (target >= 3)")
        print(f"  M2:        SciPy {t_scipy_m2 * 1e3:8.1f} ms   ours {t_ours_m2 * 1e3:8.1f} ms   "
              f"speed-up {t_scipy_m2 / t_ours_m2:5.2f}")


if __name__ == "__main__":
    main()
