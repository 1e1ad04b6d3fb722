"""Time the selected inversion of a field's precision on a 10^5-vertex mesh.

The model's Q on a 317 x 317 regular grid is factored by each available backend (corvid's
supernodal Cholesky and SuperLU always; CHOLMOD when scikit-sparse is installed), and the
entries of Q⁻¹ on the factor's pattern are computed from it (the Takahashi recursions of
corvid.fit._cholesky: on the supernodal blocks, or on a compressed-column factor).
Printed: factor and selected-inversion times, best of 3, their ratio, the factor's size; once
with the machine as it is and once with the other core kept busy by a second process.

Usage: python benchmarks/bench_selected_inverse.py [side]
Target: the selected inversion of a 10^5-vertex Q in at most 2 s.
"""

import sys

import numpy as np

from bench_common import best_of, other_core_busy
from corvid.fit import factor
from fit_setup import load, square_model


def main():
    side = int(sys.argv[1]) if len(sys.argv) > 1 else 317
    model = square_model(side * side, prior_range=(0.1, 0.5))
    Q = model.precision(np.log([0.2, 1.0])).tocsc()
    print(f"Q on a {side} x {side} grid: {Q.shape[0]} vertices, {Q.nnz} entries; {load()}")
    for busy in (False, True):
        with other_core_busy(busy):
            for backend in factor.available_backends():
                t_factor, f = best_of(3, lambda: factor.cholesky(Q, backend=backend))
                L, d = f.factor()
                t_inverse, inverse = best_of(3, f.selected_inverse)
                print(f"  {backend:8} {'other core busy' if busy else 'as is':15}  factor "
                      f"{t_factor:6.2f} s   selected inverse {t_inverse:6.2f} s   (target <= 2)   "
                      f"ratio {t_inverse / t_factor:4.2f}   nnz(L) {L.nnz}")
    print(f"  {load()}")


if __name__ == "__main__":
    main()
