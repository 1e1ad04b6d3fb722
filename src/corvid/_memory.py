"""How much memory the system can give this process now, for refusing work before it
starts rather than failing half-way."""

from __future__ import annotations

import os
from typing import Optional


def available_memory() -> Optional[int]:
    """Bytes free for new work: MemAvailable on Linux, else the physical memory, else None."""
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, OSError, ValueError):
        return None
