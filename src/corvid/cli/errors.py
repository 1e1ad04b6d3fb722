"""How the commands of ``python -m corvid`` fail: one line on stderr and an exit status.

Status 2: the input or the options cannot be used (a file, a column, a value, a size that
would not fit in memory); status 1: the system failed while writing; 130: interrupted.
"""

from __future__ import annotations

import sys
import warnings
from typing import Callable

import numpy as np


class CommandError(Exception):
    """A problem with the user's input, reported as one line with exit status 2."""


def run_reporting(prog: str, work: Callable[[], None]) -> int:
    """Runs `work`, turning every failure a user can cause into one line and a status, and
    every warning into one line."""
    def show(message, category, filename, lineno, file=None, line=None) -> None:
        print(f"{prog}: warning: {' '.join(str(message).split())}", file=sys.stderr)

    try:
        with warnings.catch_warnings():
            warnings.showwarning = show
            with np.errstate(all="ignore"):  # overflow in a trial step is handled where it occurs
                work()
    except CommandError as exc:
        return _fail(prog, str(exc), 2)
    except (OverflowError, ZeroDivisionError) as exc:
        return _fail(prog, f"a number is out of floating-point range ({exc}): check the "
                           "scale of the coordinates, values and options", 2)
    except MemoryError:
        return _fail(prog, "out of memory: use fewer rows, a coarser mesh (--max-edge) or "
                           "a smaller --grid", 2)
    except ValueError as exc:
        return _fail(prog, str(exc), 2)
    except ImportError as exc:  # an extra that is not installed; the message says which
        return _fail(prog, str(exc), 2)
    except OSError as exc:
        return _fail(prog, str(exc), 1)
    except KeyboardInterrupt:
        return _fail(prog, "interrupted; nothing was written", 130)
    return 0


def _fail(prog: str, message: str, status: int) -> int:
    line = " ".join(message.split())  # one line, whatever the message held
    print(f"{prog}: error: {line}", file=sys.stderr)
    return status


def first_line(exc: BaseException) -> str:
    """The first line of an exception's message (its type's name when it has none)."""
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__
