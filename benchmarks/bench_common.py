"""Helpers shared by the benchmarks: best-of timing, a second process keeping a core busy, the
load average, and the process's peak memory (Linux)."""

import contextlib
import os
import subprocess
import sys
import threading
import time

# What another program might do on the other core: dense products on one BLAS thread.
BUSY_LOOP = """
import numpy as np
a = np.random.default_rng(0).random((400, 400))
while True:
    a = np.tanh(a @ a / 400.0)
"""


def best_of(repeats, fn):
    """The best time of `repeats` calls of `fn`, and the last result."""
    times, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def best_of_alternating(repeats, *fns):
    """best_of for several functions called in turn, so that a slow spell of a shared machine
    weighs on all of them alike: their best times and last results, in order."""
    best, results = [float("inf")] * len(fns), [None] * len(fns)
    for _ in range(repeats):
        for k, fn in enumerate(fns):
            start = time.perf_counter()
            results[k] = fn()
            best[k] = min(best[k], time.perf_counter() - start)
    return best, results


@contextlib.contextmanager
def triangulation_reused(points):
    """scipy.spatial.Delaunay returning one triangulation of `points`, made beforehand, to
    whatever asks for it: a call then costs everything but its triangulation, measured
    directly rather than as a difference of two noisy times."""
    import scipy.spatial

    made = scipy.spatial.Delaunay(points)
    own = scipy.spatial.Delaunay
    scipy.spatial.Delaunay = lambda _points: made
    try:
        yield
    finally:
        scipy.spatial.Delaunay = own


@contextlib.contextmanager
def other_core_busy(busy=True):
    """A second process keeping a core busy while the block runs (nothing when not `busy`)."""
    with busy_processes(1 if busy else 0):
        yield


@contextlib.contextmanager
def busy_processes(count):
    """`count` processes, each keeping a core busy (BUSY_LOOP), while the block runs."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    processes = [subprocess.Popen([sys.executable, "-c", BUSY_LOOP], env=env)
                 for _ in range(count)]
    try:
        if processes:
            time.sleep(0.5)
        yield
    finally:
        for process in processes:
            process.kill()
            process.wait()


def load_average() -> str:
    """The one-minute load average, to print beside timings taken on a shared machine."""
    try:
        return f"{os.getloadavg()[0]:.2f}"
    except OSError:
        return "unknown"


def status_kib(field: str) -> int:
    """A field of /proc/self/status in KiB, such as VmRSS or VmHWM (0 where there is none)."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def reset_peak() -> bool:
    """Resets the peak resident size VmHWM to the current one (Linux 4.0 and later)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def run_in_process(code: str, timeout: float) -> str:
    """Runs Python `code` in a fresh process (so that its peak memory is its own and a hang
    or a crash stops only it): what it printed (up to the timeout), or why it printed
    nothing."""
    try:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired as exc:
        said = exc.stdout.decode() if isinstance(exc.stdout, bytes) else (exc.stdout or "")
        return " ".join(said.split() + [f"... timed out after {timeout:g} s"])
    return done.stdout.strip() or f"failed: {done.stderr.strip().splitlines()[-1:]}"


def evaluations_and_factorisations(result):
    """"evaluations/factorisations" of a fit: its evaluations of theta, and the sparse
    factorisations of the latent posterior's precision its Laplace approximations made
    ("-" for an exact Gaussian fit)."""
    count = getattr(result._latent, "factorisations", getattr(result._latent, "newton_steps", None))
    return f"{result.n_evaluations}/{'-' if count is None else count}"


class Split:
    """CPU seconds spent inside the factor's methods, by kind, while a fit runs: the CPU time
    of the thread each call runs in (a fit evaluates several theta at once in threads),
    rather than wall-clock time, so that a shared machine distorts the split less."""

    def __init__(self):
        self.seconds = {}
        self._lock = threading.Lock()

    def __enter__(self):
        from corvid.fit import factor, supernodal

        self._saved = []

        def timed(owner, name, kind):
            original = getattr(owner, name)

            def wrapper(*args, **kwargs):
                start = time.thread_time()
                try:
                    return original(*args, **kwargs)
                finally:
                    spent = time.thread_time() - start
                    with self._lock:
                        self.seconds[kind] = self.seconds.get(kind, 0.0) + spent

            self._saved.append((owner, name, original))
            setattr(owner, name, wrapper)

        timed(factor, "cholesky", "first factors (ordering, analysis, factor)")
        for name in ("refactor", "refactor_permuted"):
            timed(supernodal.SupernodalFactor, name, "refactorisations")
        timed(supernodal.SupernodalFactor, "selected_inverse", "selected inversions")
        timed(supernodal.SupernodalFactor, "solve", "solves")
        return self

    def __exit__(self, *exc):
        for owner, name, original in self._saved:
            setattr(owner, name, original)
