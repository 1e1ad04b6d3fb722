"""The geo extra's libraries, imported when a function first needs them."""

from __future__ import annotations

import importlib
from types import ModuleType


def require(module: str, what: str) -> ModuleType:
    """Import `module`, or raise ImportError saying that `what` needs the geo extra."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        package = module.split(".")[0]
        raise ImportError(f"{what} needs the '{package}' package, which comes with the geo extra: "
                          "pip install 'corvid[geo]'") from exc
