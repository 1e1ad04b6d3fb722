"""How the commands of ``python -m corvid`` fail: one line on stderr and an exit status.

Status 2: the input or the options cannot be used (a file, a column, a value, a size that
would not fit in memory, an output that cannot be written); status 1: the system failed
otherwise; 128 + the signal's number when SIGINT (130), SIGTERM (143) or SIGHUP (129)
stopped the run, each of which cleans up as the others do. Library messages that advise
Python arguments (crs=, max_edge) name the command's flags instead.
"""

from __future__ import annotations

import contextlib
import re
import signal
import sys
import threading
import warnings
from typing import Callable, List

import numpy as np


class CommandError(Exception):
    """A problem with the user's input, reported as one line with exit status 2."""


class Interrupted(KeyboardInterrupt):
    """SIGTERM or SIGHUP (or SIGINT) while a command runs: unwinds as Ctrl-C does."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


# Python arguments in library messages, and the flags of the fit command that set them.
FLAGS = {"crs": "--crs", "max_edge": "--max-edge", "max_vertices": "--max-vertices",
         "cutoff": "--cutoff", "offset": "--offset", "prior_range": "--prior-range",
         "prior_sigma": "--prior-sigma", "prior_noise": "--prior-noise",
         "prior_dispersion": "--prior-dispersion"}
# A name with an underscore anywhere, any name followed by "=", never inside quotes or a path.
_ARGUMENT = re.compile(r"(?<![\w'\"/.-])(" + "|".join(FLAGS) + r")(=|(?![\w'\"/.-]))")


# A pair given to a Python argument, "prior_range=(2.5, 0.5)" or "prior_range = (2.5, 0.5)".
_PAIR = re.compile(r"(?<![\w'\"/.-])(" + "|".join(FLAGS) + r") ?= ?\(([^,()]+), ([^,()]+)\)")


def in_flags(message: str) -> str:
    """A library message with its Python arguments named as the command's flags:
    "give crs=" becomes "give --crs", "max_edge=3" "--max-edge 3", "prior_range=(2, 0.5)"
    "--prior-range 2 0.5"; plain words that are also argument names ("offset", "cutoff")
    stay words unless followed by "="."""
    message = _PAIR.sub(lambda m: f"{FLAGS[m.group(1)]} {m.group(2)} {m.group(3)}", message)

    def flag(match: re.Match) -> str:
        name, equals = match.group(1), match.group(2)
        if "_" not in name and not equals:
            return name
        return FLAGS[name] + (" " if equals else "")
    return re.sub(r" +([,;:)])", r"\1", _ARGUMENT.sub(flag, message).replace("  ", " "))


# The signals received while a command runs. Python swallows an exception raised in a
# weakref callback or a __del__ (it only prints it), so the handler's Interrupted can be
# lost when the signal lands in one: this list keeps the signal for raise_if_stopped.
_received: List[int] = []


@contextlib.contextmanager
def stopping_signals():
    """SIGTERM and SIGHUP (and SIGINT) raise Interrupted while the block runs, so that
    every `with` on the way out cleans up; the handlers before are restored after."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def stop(signum, frame):
        _received.append(signum)
        raise Interrupted(signum)
    names = ("SIGINT", "SIGTERM", "SIGHUP")
    _received.clear()
    previous = {s: signal.signal(s, stop) for s in (getattr(signal, n) for n in names if hasattr(signal, n))}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        _received.clear()


def raise_if_stopped() -> None:
    """Raises Interrupted for a signal received while a command runs whose exception was
    swallowed on its way (see _received); called before results are committed."""
    if _received:
        raise Interrupted(_received[-1])


def run_reporting(prog: str, work: Callable[[], None]) -> int:
    """Runs `work`, turning every failure a user can cause into one line and a status, and
    every warning into one line."""
    def show(message, category, filename, lineno, file=None, line=None) -> None:
        print(f"{prog}: warning: {in_flags(' '.join(str(message).split()))}", file=sys.stderr)

    try:
        with stopping_signals(), warnings.catch_warnings():
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
    except KeyboardInterrupt as exc:
        number = getattr(exc, "signum", signal.SIGINT)
        what = "the results were written first" if getattr(exc, "results_written", False) \
            else "nothing was written"
        return _fail(prog, f"interrupted by {signal.Signals(number).name}; {what}", 128 + number)
    return 0


def _fail(prog: str, message: str, status: int) -> int:
    line = in_flags(" ".join(message.split()))  # one line, whatever the message held
    print(f"{prog}: error: {line}", file=sys.stderr)
    return status


def first_line(exc: BaseException) -> str:
    """The first line of an exception's message (its type's name when it has none)."""
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__
