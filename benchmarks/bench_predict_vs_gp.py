"""Posterior mean and sd at 10^4 new points from 5,000 observations, hyperparameters fixed:
corvid's fit_gaussian(theta=...) + predict against scikit-learn's GaussianProcessRegressor.

The same Matérn field (nu = 1, range 0.2, sigma 1) plus white noise (sd 0.5): for
scikit-learn, ConstantKernel(sigma²) * Matern(length_scale=range / 2, nu=1) +
WhiteKernel(noise sd²), optimizer=None. corvid's field lives on a regular mesh of the square
widened by the range on every side (so that its boundary does not bend the field inside),
without intercept. scikit-learn's sd includes the noise; corvid's is the signal's, so the
comparison adds the noise to it. Both run with default BLAS threads, once with the machine
as it is and once with the other core kept busy; times are the best of 2. corvid's time
includes point location (the basis at the observations and at the new points), also
printed on its own.

Usage: python benchmarks/bench_predict_vs_gp.py [side]    (mesh side, default 100)
Target: corvid at least 50x faster.
"""

import sys

import numpy as np

from bench_common import best_of, other_core_busy
from corvid.fit import fit_gaussian
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.locate import basis_matrix
from corvid.meshkin.mesh import MkMesh
from fit_setup import load, simulate

RANGE, SIGMA, NOISE = 0.2, 1.0, 0.5


def main():
    from sklearn.gaussian_process import GaussianProcessRegressor
    from sklearn.gaussian_process.kernels import ConstantKernel, Matern, WhiteKernel

    side = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    mesh = MkMesh.regular_grid((-RANGE, 1 + RANGE), (-RANGE, 1 + RANGE), (side, side))
    model = gfield2_pcmatern(mesh, prior_range=(0.05, 0.5), prior_sigma=(1.0, 0.1))
    theta = np.log([RANGE, SIGMA, NOISE])
    rng = np.random.default_rng(3)
    loc, y, _ = simulate(model, 5000, theta, rng, intercept=0.0, slope=0.0, margin=RANGE)
    new = rng.uniform(0.0, 1.0, (10_000, 2))
    print(f"5000 observations, 10^4 new points; corvid mesh {side} x {side} = {mesh.n} vertices; "
          f"{load()}")

    def corvid():
        fit = fit_gaussian(model, loc, y, intercept=False, theta=theta)
        return fit.predict(new)

    kernel = ConstantKernel(SIGMA**2, "fixed") * Matern(RANGE / 2, "fixed", nu=1.0) \
        + WhiteKernel(NOISE**2, "fixed")

    def locate():  # the point location inside corvid's run, on its own
        return basis_matrix(mesh, loc), basis_matrix(mesh, new)

    def sklearn():
        gp = GaussianProcessRegressor(kernel=kernel, optimizer=None, normalize_y=False)
        return gp.fit(loc, y).predict(new, return_std=True)

    for busy in (False, True):
        with other_core_busy(busy):
            t_corvid, (mean, sd) = best_of(2, corvid)
            t_locate, _ = best_of(2, locate)
            t_sklearn, (gp_mean, gp_sd) = best_of(2, sklearn)
        sd_observation = np.sqrt(sd**2 + NOISE**2)
        print(f"  {'other core busy' if busy else 'as is':15}  corvid {t_corvid:6.2f} s   "
              f"scikit-learn {t_sklearn:6.2f} s   speed-up {t_sklearn / t_corvid:6.1f}  (target >= 50)")
        print(f"      of corvid's time, point location {t_locate:.2f} s; without it the speed-up "
              f"is {t_sklearn / (t_corvid - t_locate):.1f}")
        print(f"      agreement: mean max |diff| {np.max(np.abs(mean - gp_mean)):.3f} "
              f"(rms {np.sqrt(np.mean((mean - gp_mean) ** 2)):.3f}), sd of a new observation "
              f"ratio {np.min(sd_observation / gp_sd):.3f}..{np.max(sd_observation / gp_sd):.3f}")
    print(f"  {load()}")


if __name__ == "__main__":
    main()
