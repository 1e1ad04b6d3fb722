"""The priors the fit command takes from its options, checked against the data's own scales
before the fit.

Each prior says P(quantity beyond a threshold) = a probability, which fixes its median: the
range's PC prior has density λ r⁻² exp(-λ/r) with λ = -ln(p) r0, so its median is
λ / ln 2; sigma's, the noise sd's and the overdispersion's are exponential with rate
-ln(q) / s0, so theirs is s0 ln 2 / -ln(q). A median further than the fit's limits from the
scale the data give the quantity (between 1/1000 and 100 times the extent of the locations
for the range; within 10^6 of the spread of the values for a Gaussian sd, and of 1 on a link
scale or for the overdispersion) asks for a
field no mesh resolves or one that is constant everywhere, and drives the optimiser to
steps of 10^±300: it is refused before any work, with the limits that would be taken.
The limits are the fit's own (`corvid.fit.refusals`), so that both say the same.
"""

from __future__ import annotations

import argparse
import math
from typing import Optional, Tuple

from corvid.cli.errors import CommandError
from corvid.fit.refusals import RANGE_LIMITS, SCALE_LIMITS

LN2 = math.log(2.0)
# The fit judges the range's prior against the mesh's extent, which the buffer makes up to
# a few times the region's: the command's lower limit is that much stricter, so that a
# prior it takes is one the fit takes too.
BUFFERED_EXTENT = 4.0


def check_pairs(args: argparse.Namespace) -> None:
    """Each --prior-* pair: a positive finite threshold and a probability in (0, 1)."""
    for option in ("prior_range", "prior_sigma", "prior_noise", "prior_dispersion"):
        prior = getattr(args, option, None)
        if prior is None:
            continue
        threshold, probability = prior
        if not (math.isfinite(threshold) and threshold > 0.0 and 0.0 < probability < 1.0):
            flag = "--" + option.replace("_", "-")
            raise CommandError(f"{flag} needs a positive threshold and a probability in (0, 1)")


def _median(pair: Tuple[float, float], lower_tail: bool) -> float:
    threshold, probability = pair
    rate_scale = -math.log(probability) if lower_tail else 1.0 / -math.log(probability)
    return threshold * rate_scale / LN2 if lower_tail else threshold * rate_scale * LN2


def check_scales(args: argparse.Namespace, *, extent: float, spread: Optional[float],
                 unit: str) -> None:
    """Refuses a --prior-* whose median lies beyond the fit's limits around the data's
    scale for it: `extent` the locations' (or the region's) diameter, `spread` the
    values' sd for a Gaussian fit (None for the other families, whose sigma is on the
    link scale)."""
    unit = f" {unit}" if unit else ""
    link = spread is None
    values = 1.0 if spread is None else float(spread)
    ranges = (RANGE_LIMITS[0] * BUFFERED_EXTENT, RANGE_LIMITS[1])
    checks = [("prior_range", True, extent, f"the data's extent ({extent:.4g}{unit})", unit,
               "a range that short is far below any mesh's resolution, that long a constant field",
               ranges),
              ("prior_sigma", False, values,
               "1 on the link scale" if link else f"the sd of the values ({values:.4g})", "",
               "a field sd that small is no field, that large leaves the data's scale",
               SCALE_LIMITS),
              ("prior_noise", False, values, f"the sd of the values ({values:.4g})", "",
               "a noise sd that small or large leaves the data's scale", SCALE_LIMITS),
              ("prior_dispersion", False, 1.0, "1", "",
               "an overdispersion that small or large leaves any count's or amount's scale",
               SCALE_LIMITS)]
    for option, lower_tail, scale, what, shown_unit, why, (below, above) in checks:
        pair = getattr(args, option)
        if pair is None:
            continue
        median = _median(tuple(pair), lower_tail)
        low, high = scale * below, scale * above
        if low <= median <= high:
            continue
        flag = "--" + option.replace("_", "-")
        side, times = ("below", 1.0 / below) if median < low else ("above", above)
        raise CommandError(
            f"{flag} {pair[0]:.6g} {pair[1]:.6g} puts the prior's median at {median:.3g}"
            f"{shown_unit}, more than {times:,.0f} times {side} {what}: {why}; give a pair whose "
            f"median (threshold x {'ln(1/P)' if lower_tail else '1/ln(1/P)'} x "
            f"{'1/ln 2' if lower_tail else 'ln 2'}) lies between {low:.3g} and {high:.3g}"
            f"{shown_unit}, or leave {flag} out for the default")
