"""Where the time of 1,000 joint samples goes (the case of `bench_posterior.py samples`:
a Gaussian fit of a 5 x 10^4-vertex field with 10^4 observations, at its theta).

Parts, each timed on its own:
    posterior   the factored posterior re-created at the design point (`_latent_at`)
    normals     rng.standard_normal into a preallocated (N, block) array
    solve       x = P^T L^-T z through the supernodal factor, by block size, and the same
                through the column-by-column substitution of the factor in compressed
                columns (what the SuperLU and CHOLMOD factors use)
    mean, W     adding the mean and the fixed effects' part, in place
    touch       writing a fresh (N, 1000) array once, the samples' result: NumPy's np.empty
                (advised to use transparent huge pages) and corvid._pages.empty (ordinary
                pages, what the samples use)
The machine is shared: timings are noisy; the solves are the best of three.

Usage: python benchmarks/bench_sample_solve.py [block sizes ...]   (default 64 128 256 512)
"""

import sys
import time

import numpy as np

from bench_common import best_of, load_average

SAMPLES = 1000


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main():
    from corvid import _pages
    from corvid.fit import fit_gaussian
    from corvid.fit._cholesky import csc_unit_transposed_solve
    from fit_setup import simulate, square_model

    blocks = [int(b) for b in sys.argv[1:]] or [64, 128, 256, 512]
    print(f"load average {load_average()} (a shared machine: the times are noisy)")
    model = square_model(50_000, prior_range=(0.05, 0.5), prior_sigma=(1.0, 0.1))
    theta = np.log([0.2, 1.0, 0.5])
    loc, y, x = simulate(model, 10_000, theta, np.random.default_rng(0))
    fit = fit_gaussian(model, loc, y, covariates=x, theta=theta)
    holder = {}
    seconds = timed(lambda: holder.update(f=fit._latent_at(fit.design_theta[0])))
    f = holder["f"]
    fp, N = f.factor, f.mean.size
    print(f"posterior   {seconds:6.2f} s  (N = {N}, factor entries "
          f"{fp._analysis.sizes['entries']:,})")

    rng = np.random.default_rng(1)
    huge = np.empty((N, SAMPLES))
    print(f"touch       {timed(lambda: huge.fill(0.0)):6.2f} s  (a fresh (N, {SAMPLES}) array "
          f"from np.empty)")
    del huge
    out = _pages.empty((N, SAMPLES))
    print(f"touch       {timed(lambda: out.fill(0.0)):6.2f} s  (the same from _pages.empty)")
    for block in blocks:
        work = np.empty((N, block))
        work.fill(0.0)
        steps = range(0, SAMPLES, block)
        normals = best_of(3, lambda: [rng.standard_normal(out=work) for _ in steps])[0]
        solve = best_of(3, lambda: [fp.solve_transposed_root(
            work, out=out[:, b:b + block]) for b in steps if b + block <= SAMPLES])[0]
        shift = np.ones((f.mean_fixed.size, block))

        def add_mean():
            for b in steps:
                if b + block <= SAMPLES:
                    part = out[:, b:b + block]
                    part += f.mean[:, None]
                    part -= np.matmul(f.W, shift, out=work)

        mean = best_of(3, add_mean)[0]
        whole = SAMPLES // block * block
        scale = SAMPLES / whole   # per 1,000 samples where the blocks do not divide it
        print(f"block {block:4d}  normals {normals:5.2f} s  solve {solve * scale:5.2f} s  "
              f"mean, W {mean * scale:5.2f} s")

    L, d = fp.factor()
    block = 128
    z = np.empty((N, block))
    rng.standard_normal(out=z)
    z /= np.sqrt(d)[:, None]
    y = np.empty_like(z)

    def column_by_column():
        for _ in range(0, SAMPLES, block):
            np.copyto(y, z)
            csc_unit_transposed_solve(L.indptr, L.indices, L.data, y)

    csc = best_of(1, column_by_column)[0]
    print(f"column by column, block {block}: solve {csc:5.2f} s")

if __name__ == "__main__":
    main()
