"""How much memory this process can still use, for refusing work before it starts rather
than failing half-way.

Three limits apply on Linux, and the smallest wins: what the system has free
(MemAvailable), what the process's control group allows (a container's memory limit, cgroup
v2 or v1, in this group and every group above it), and what its address-space limit
(`ulimit -v`, RLIMIT_AS) leaves. Elsewhere, the physical memory.
"""

from __future__ import annotations

import os
from typing import Iterator, Optional

# cgroup v1 writes "no limit" as a huge number (a page-rounded 2**63 - 1); v2 as "max".
_NO_LIMIT = 2**62


def available_memory(root: str = "/") -> Optional[int]:
    """Bytes this process can still allocate: the least of MemAvailable, the cgroup limits
    less their usage, and RLIMIT_AS less the address space in use; the physical memory
    where none of them can be read; None when that cannot be read either.

    root: where /proc and /sys are found (another directory holding copies of them, in tests).
    """
    limits = [limit for limit in (_mem_available(root), _cgroup_available(root),
                                  _address_space_available(root)) if limit is not None]
    if limits:
        return max(0, min(limits))
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, OSError, ValueError):
        return None


def _read(path: str) -> Optional[str]:
    try:
        with open(path) as file:
            return file.read()
    except (OSError, UnicodeDecodeError):
        return None


def _mem_available(root: str) -> Optional[int]:
    text = _read(os.path.join(root, "proc/meminfo"))
    for line in (text or "").splitlines():
        if line.startswith("MemAvailable:"):
            try:
                return int(line.split()[1]) * 1024
            except (ValueError, IndexError):
                return None
    return None


def _cgroup_available(root: str) -> Optional[int]:
    """The least, over this process's memory cgroups and their ancestors, of the limit less
    the usage; the usage counts reclaimable file cache as free, as the kernel would
    reclaim it before refusing memory."""
    found = [limit - used for limit, used in _cgroup_limits(root)]
    return min(found) if found else None


def _cgroup_limits(root: str) -> Iterator[tuple[int, int]]:
    """(limit, usage) of each memory cgroup of this process with a limit, v2 and v1."""
    text = _read(os.path.join(root, "proc/self/cgroup")) or ""
    for line in text.splitlines():
        parts = line.split(":", 2)
        if len(parts) != 3:
            continue
        _, controllers, path = parts
        if controllers == "":  # cgroup v2: one hierarchy
            for mount in ("sys/fs/cgroup", "sys/fs/cgroup/unified"):
                for folder in _folders(os.path.join(root, mount), path, "memory.max"):
                    limit = _number(os.path.join(folder, "memory.max"))
                    used = _number(os.path.join(folder, "memory.current"))
                    if limit is not None and used is not None:
                        yield limit, used - _stat(folder, "inactive_file")
        elif "memory" in controllers.split(","):  # cgroup v1's memory hierarchy
            mount = os.path.join(root, "sys/fs/cgroup/memory")
            for folder in _folders(mount, path, "memory.limit_in_bytes"):
                limit = _number(os.path.join(folder, "memory.limit_in_bytes"))
                used = _number(os.path.join(folder, "memory.usage_in_bytes"))
                if limit is not None and used is not None:
                    yield limit, used - _stat(folder, "total_inactive_file")


def _folders(mount: str, path: str, marker: str) -> list[str]:
    """The group's folder under the mount and every folder above it up to the mount, those
    holding `marker`. Inside a container the mount is often the group itself (a cgroup
    namespace shows the path as /, or a path that does not exist under the mount)."""
    folders = []
    parts = [p for p in path.strip("/").split("/") if p and p not in (".", "..")]
    for depth in range(len(parts), -1, -1):
        folder = os.path.join(mount, *parts[:depth])
        if os.path.isfile(os.path.join(folder, marker)):
            folders.append(folder)
    return folders


def _number(path: str) -> Optional[int]:
    """A limit or a usage in bytes; None for "max", for no limit, or for an unreadable file."""
    text = (_read(path) or "").strip()
    try:
        value = int(text)
    except ValueError:
        return None
    return value if 0 <= value < _NO_LIMIT else None


def _stat(folder: str, key: str) -> int:
    """One count of the group's memory.stat, 0 when absent."""
    for line in (_read(os.path.join(folder, "memory.stat")) or "").splitlines():
        name, _, value = line.partition(" ")
        if name == key:
            try:
                return max(0, int(value))
            except ValueError:
                return 0
    return 0


def _address_space_available(root: str) -> Optional[int]:
    """RLIMIT_AS (`ulimit -v`) less the address space the process already holds."""
    try:
        import resource
    except ImportError:  # not on Windows
        return None
    soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    if soft == resource.RLIM_INFINITY or soft < 0:
        return None
    text = (_read(os.path.join(root, "proc/self/statm")) or "").split()
    try:
        used = int(text[0]) * os.sysconf("SC_PAGE_SIZE")
    except (IndexError, ValueError, OSError):
        used = 0
    return soft - used
