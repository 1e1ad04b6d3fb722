"""Allow-list of the likelihood families."""

from typing import Any as Any
from typing import Dict as Dict
from typing import Iterable as Iterable
from typing import Tuple as Tuple

from .errors import SafetyError as SafetyError

def _normalize_family_spec(family: Any) -> Iterable[str]: ...
def _normalize_link_value(link_val: Any) -> str | None: ...
def enforce_allowed_family(
    kwargs: Dict[str, Any],
    *,
    allowed: Iterable[str] = (
        "gaussian", "poisson", "binomial", "xbinomial", "gamma", "nbinomial", "nbinomial2",
        "beta", "betabinomial", "exponential", "exponentialsurv", "gammasurv", "lognormal",
        "lognormalsurv", "logistic", "loglogistic", "loglogisticsurv", "sn", "t", "weibull",
        "weibullsurv",
    ),
) -> Tuple[str, ...]: ...
