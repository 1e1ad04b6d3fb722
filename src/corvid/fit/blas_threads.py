"""The BLAS on one thread while corvid's numerical work runs.

The dense blocks of a sparse factor, and the small dense products around it in a fit, are
too small for BLAS threads to pay; and threads that wait for work stall a machine whose
cores are busy: measured here, OpenBLAS with 2 threads on a loaded 2-core machine took 5
to 15 times as long as with one. Used as a context manager (`with one_blas_thread():`) or a
decorator. Counted, so that work in several threads at once restores the setting only when
the last of it is done.

threadpoolctl lets one thread at a time set OpenBLAS's process-wide pool (its "controlling
thread"); the first and the last user may be in different threads, so each change takes
control and hands it back at once.
"""

from __future__ import annotations

import contextlib
import threading
from typing import Any, Optional

__all__ = ["one_blas_thread"]


class _OneBlasThread(contextlib.ContextDecorator):
    """The counted setting; see the module's note."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._users = 0
        self._saved: list[tuple[Any, int]] = []
        self._libraries: Optional[list] = None

    def _set(self, settings) -> None:
        from threadpoolctl import OpenBLASController

        release = getattr(OpenBLASController, "clear_controlling_thread", None)
        if release is not None:
            release(force=True)
        for library, threads in settings:
            library.set_num_threads(threads)
        if release is not None:
            release()

    def __enter__(self) -> None:
        with self._lock:
            if self._users == 0:
                if self._libraries is None:
                    from threadpoolctl import ThreadpoolController

                    self._libraries = ThreadpoolController().select(user_api="blas").lib_controllers
                self._saved = [(library, library.get_num_threads()) for library in self._libraries]
                self._set([(library, 1) for library, threads in self._saved if threads != 1])
            self._users += 1

    def __exit__(self, *exc) -> None:
        with self._lock:
            self._users -= 1
            if self._users == 0:
                self._set([(library, threads) for library, threads in self._saved
                           if threads is not None and threads != 1])
                self._saved = []


_shared = _OneBlasThread()


def one_blas_thread() -> _OneBlasThread:
    """The BLAS libraries on one thread within the block (or the decorated function)."""
    return _shared
