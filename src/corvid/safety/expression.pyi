"""Expression prior validation (muparser mini-language)."""

import re as re
from re import Pattern
from typing import Any as Any

from .errors import SafetyError as SafetyError

_MUPARSER_FUNCTIONS: set[str]
_MUPARSER_RESERVED: set[str]
_EXPRESSION_ALLOWED_CHARS: Pattern[str]

def _is_expression_prior(prior: Any) -> bool: ...
def _validate_expression_prior(prior: str) -> None: ...
