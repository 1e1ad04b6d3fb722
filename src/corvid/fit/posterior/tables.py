"""The optional libraries of the posterior's tables and scores, imported when used."""

from __future__ import annotations

__all__ = ["pandas", "scoringrules"]

EXTRA = "pip install 'corvid[posterior]'"


def pandas():
    """The pandas module; ImportError saying how to install it."""
    try:
        import pandas as module
    except ImportError as exc:   # pragma: no cover - pandas is in the test extra
        raise ImportError(f"tables of indices, checks and cross-validation need pandas: {EXTRA}") from exc
    return module


def scoringrules():
    """The scoringrules module (CRPS); ImportError saying how to install it."""
    try:
        import scoringrules as module
    except ImportError as exc:   # pragma: no cover - scoringrules is in the test extra
        raise ImportError(f"cross-validation's CRPS needs scoringrules: {EXTRA}") from exc
    return module
