"""Sizes the commands refuse before they start: work that would not fit in memory."""

from __future__ import annotations

from corvid._memory import available_memory
from corvid.cli.errors import CommandError

GIB = 2.0**30


def require_memory(needed: float, what: str, advice: str) -> None:
    """Refuses work that needs about `needed` bytes when the system has fewer available."""
    available = available_memory()
    if available is not None and needed > available:
        raise CommandError(f"{what} would need about {needed / GIB:,.1f} GiB of memory, more "
                           f"than the {available / GIB:,.1f} GiB available: {advice}")
