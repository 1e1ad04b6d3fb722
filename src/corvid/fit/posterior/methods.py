"""The fit's methods for what users do after a fit; each delegates to its own module."""

from __future__ import annotations

from typing import Iterator, Optional, Union

from .samples import PosteriorSamples, draw_blocks

__all__ = ["PosteriorMethods"]


class PosteriorMethods:
    """Joint samples, exceedance, indices, checks and ArviZ for `LatentFit`."""

    def sample(self, n: int, *, seed=None, theta: str = "integrate",
               chunk: Optional[int] = None) -> Union[PosteriorSamples, Iterator[PosteriorSamples]]:
        """n joint posterior samples of the hyperparameters, every latent block and the
        fixed effects (a `PosteriorSamples`: `.theta` (n, m), `.field` (n, n_vertices),
        `.fixed` (n, k), `.effects[name]`, `.predict(loc, ...)` -> (n, m)).

        Each sample takes a theta from the design points by their weights (theta=
        "integrate"; a fit without integration has the mode alone) or the central one
        (theta="mode"), then the latent vector from its Gaussian given theta, through the
        sparse factor (never a dense covariance), centred where `predict` is (for the
        non-Gaussian families at the skewness-corrected mean). seed: for
        `numpy.random.default_rng`.

        chunk: an iterator of blocks of at most `chunk` samples instead, for more samples
        than memory holds at once; the blocks follow the design points (each block's
        `.theta` says where its samples come from), so take all of them, not the first.
        A request that would not fit in the available memory raises MemoryError before
        any work, saying which chunk would.
        """
        blocks = draw_blocks(self, n, seed=seed, theta=theta, chunk=chunk)
        return blocks if chunk is not None else next(blocks)
