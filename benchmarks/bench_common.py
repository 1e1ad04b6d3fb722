"""Helpers shared by the benchmarks: best-of timing and a second process keeping a core busy."""

import contextlib
import os
import subprocess
import sys
import time


def best_of(repeats, fn):
    """The best time of `repeats` calls of `fn`, and the last result."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


@contextlib.contextmanager
def other_core_busy():
    """A second process spinning, as another program would keep the other core busy."""
    busy = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    try:
        time.sleep(0.5)
        yield
    finally:
        busy.kill()
        busy.wait()


def load_average() -> str:
    """The one-minute load average, to print beside timings taken on a shared machine."""
    try:
        return f"{os.getloadavg()[0]:.2f}"
    except OSError:
        return "unknown"
