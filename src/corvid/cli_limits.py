"""Sizes the commands refuse before they start: work that would not fit in memory."""

from __future__ import annotations

import os

from corvid.cli_errors import CommandError

GIB = 2.0**30


def available_memory() -> float:
    """Bytes the system can give this process now: MemAvailable on Linux, else the
    physical memory, else no limit."""
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return float(line.split()[1]) * 1024.0
    except OSError:
        pass
    try:
        return float(os.sysconf("SC_PAGE_SIZE")) * float(os.sysconf("SC_PHYS_PAGES"))
    except (AttributeError, OSError, ValueError):
        return float("inf")


def require_memory(needed: float, what: str, advice: str) -> None:
    """Refuses work that needs about `needed` bytes when the system has fewer available."""
    available = available_memory()
    if needed > available:
        raise CommandError(f"{what} would need about {needed / GIB:,.1f} GiB of memory, more "
                           f"than the {available / GIB:,.1f} GiB available: {advice}")
