"""Evaluations of the log posterior at several theta at once, on the cores the machine has free.

Most of a fit is evaluations at theta known in advance: the Hessian's columns, the design's
points, the points measured along each hyperparameter's ridge. Each spends its time in the
sparse Cholesky factorisation, solves and selected inverse, which run with the GIL released
on one BLAS thread (see `corvid.fit.blas_threads`); so such evaluations run side by side in
threads, one per free core: the machine's cores less those running other work at that
moment (the kernel's count of runnable threads, read a few times), and no more than the
process may use (its CPU affinity, its control group's CPU quota: a container's --cpus). A
machine busy with other work leaves one, and the evaluations run one after another in the
calling thread, as they always did.
CORVID_WORKERS=n sets the count instead (up to MAX_WORKERS; 1: never a thread).

Between such batches, where the climb to the mode takes one evaluation after another,
`spare_core` lets an evaluation start its selected inverse early, in a thread of its own,
while the calling thread finishes the evaluation's value (see
`SparseFactor.start_selected_inverse`): the selected inverse is needed at every point the
climb accepts.

Results do not depend on the count: the latent models keep evaluations started together
independent of one another (see `LatentModel.together`), and reports go out in the order
of the points once all are done. Threads are used with corvid's own Cholesky only, whose
factors any thread may use; and only while the memory of one more factor and selected
inverse per thread is free.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import contextvars
import math
import os
import time
from typing import Callable, Optional, Sequence, TypeVar

from .. import _memory

__all__ = ["configured", "worker_count", "run_all", "spare_core", "has_spare_core"]

T = TypeVar("T")
MAX_WORKERS = 8
SAMPLES = 5          # readings of the running threads, a millisecond apart
ENVIRONMENT = "CORVID_WORKERS"

# True within `spare_core` while a core is free beside the calling thread's
_spare = contextvars.ContextVar("corvid_spare_core", default=False)


def _cores(root: str = "/") -> int:
    """The cores this process may run on, fewer where its control group's CPU quota (a
    container's cpu.max, cgroup v2, in this group or any above it) allows less."""
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    quota = _cpu_quota(root)
    return max(1, min(cores, math.ceil(quota))) if quota is not None else cores


def _cpu_quota(root: str) -> Optional[float]:
    """The least quota / period over the process's control groups and their ancestors (v2's
    cpu.max, v1's cpu.cfs_quota_us and cpu.cfs_period_us), or None without one."""
    text = _memory._read(os.path.join(root, "proc/self/cgroup")) or ""
    quotas = []
    for line in text.splitlines():
        parts = line.split(":", 2)
        if len(parts) != 3:
            continue
        _, controllers, path = parts
        if controllers == "":
            for folder in _memory._folders(os.path.join(root, "sys/fs/cgroup"), path, "cpu.max"):
                fields = (_memory._read(os.path.join(folder, "cpu.max")) or "").split()
                quotas.append(_ratio(fields[:1], fields[1:2]))
        elif "cpu" in controllers.split(","):
            for mount in ("cpu", "cpu,cpuacct", "cpuacct,cpu"):
                base = os.path.join(root, "sys/fs/cgroup", mount)
                for folder in _memory._folders(base, path, "cpu.cfs_quota_us"):
                    quotas.append(_ratio(
                        (_memory._read(os.path.join(folder, "cpu.cfs_quota_us")) or "").split(),
                        (_memory._read(os.path.join(folder, "cpu.cfs_period_us")) or "").split()))
    found = [quota for quota in quotas if quota is not None]
    return min(found) if found else None


def _ratio(quota: Sequence[str], period: Sequence[str]) -> Optional[float]:
    """quota / period from their files' fields; None for "max", -1 (no quota) or unreadable."""
    try:
        q, p = float(quota[0]), float(period[0])
    except (IndexError, ValueError):
        return None
    return q / p if q > 0 and p > 0 else None


def _others_running(cores: int) -> int:
    """How many threads of other work are running now: the kernel's count of runnable
    threads less this one, the least of a few readings a millisecond apart (a passing
    command is not a busy core); from the load average where that count cannot be read."""
    readings = []
    for _ in range(SAMPLES):
        try:
            with open("/proc/loadavg") as file:
                readings.append(int(file.read().split()[3].split("/")[0]) - 1)
        except (OSError, ValueError, IndexError):
            break
        time.sleep(0.001)
    if readings:
        return max(0, min(readings))
    try:
        return max(0, round(os.getloadavg()[0]) - 1)
    except (AttributeError, OSError):
        return cores                 # not known: as if busy


def configured() -> Optional[int]:
    """The count CORVID_WORKERS sets, or None when it is not set; ValueError for a value
    that is not a whole number from 1 (checked when a fit starts, before any work)."""
    given = os.environ.get(ENVIRONMENT, "").strip()
    if not given:
        return None
    try:
        count = int(given)
    except ValueError:
        count = 0
    if count < 1:
        raise ValueError(f"{ENVIRONMENT}={given!r}: give a whole number of evaluations to "
                         "run at once, 1 or more (or leave it unset for one per free core)")
    return min(count, MAX_WORKERS)


def worker_count(bytes_each: int = 0) -> int:
    """How many evaluations to run at once: CORVID_WORKERS if set (see `configured`), else
    the free cores (at least 1), fewer where `bytes_each` more per evaluation would not fit
    in the memory left."""
    given = configured()
    if given is not None:
        return given
    cores = _cores()
    # The count of running threads is the whole machine's (a container's too): free cores
    # are the machine's less those, and this process may use no more than its own.
    machine = max(os.cpu_count() or cores, cores)
    count = max(1, min(cores, MAX_WORKERS, machine - _others_running(machine)))
    if count > 1 and bytes_each > 0:
        available = _memory.available_memory()
        if available is not None:
            # the evaluations at hand plus as much again for what the fit holds meanwhile
            count = max(1, min(count, int(available // (2 * bytes_each))))
    return count


def run_all(work: Callable[[T], object], items: Sequence[T], workers: int,
            expected: tuple = ()) -> list:
    """[work(item) for item in items], `workers` at a time, each in a copy of the caller's
    context (NumPy's error settings among it); an exception of the `expected` kinds stands in
    the list in place of its item's result, bare (without the traceback whose frames would
    hold the failed evaluation's factors); any other is raised, the first in the items'
    order, once the items under way are done."""
    def one(item):
        _spare.set(False)   # each item runs in a context of its own: the cores are taken
        try:
            return work(item)
        except expected as exc:
            exc.__traceback__ = exc.__context__ = exc.__cause__ = None
            return exc

    if workers <= 1 or len(items) <= 1:
        return [contextvars.copy_context().run(one, item) for item in items]
    contexts = [contextvars.copy_context() for _ in items]
    with concurrent.futures.ThreadPoolExecutor(min(workers, len(items)),
                                               thread_name_prefix="corvid-fit") as pool:
        futures = [pool.submit(context.run, one, item) for context, item in zip(contexts, items)]
        try:
            concurrent.futures.wait(futures)
        except BaseException:                  # an interrupt: start nothing more
            for future in futures:
                future.cancel()
            raise
    return [future.result() for future in futures]


@contextlib.contextmanager
def spare_core(bytes_each: int):
    """Within the block, `has_spare_core()` says whether a second core is free for work
    beside the calling thread's, with `bytes_each` more memory (decided once, on entry)."""
    token = _spare.set(bytes_each > 0 and worker_count(bytes_each) > 1)
    try:
        yield
    finally:
        _spare.reset(token)


def has_spare_core() -> bool:
    """True within `spare_core` when it found a core free (never within `run_all`'s work)."""
    return _spare.get()
