"""Making the quill engine available when the package does not ship it.

corvid cannot download the engine. ``ensure_binary()`` looks for one installed by the user
in a per-user directory laid out like the package's own ``bin`` tree::

    $XDG_DATA_HOME/corvid/bin/<platform directory>/<engine file>

where ``$XDG_DATA_HOME`` defaults to ``~/.local/share`` when it is unset, empty or not an
absolute path. For example, on 64-bit Linux: ``~/.local/share/corvid/bin/linux/64bit/quill.mkl.run``;
on macOS arm64: ``~/.local/share/corvid/bin/mac.arm64/quill.run``; on 64-bit Windows:
``~/.local/share/corvid/bin/windows/64bit/quill.exe``.

The environment variable ``QUILL_BIN`` and the option "quill.call" take precedence over this
location and are the simpler ways to point corvid at an engine.
"""

import os
from typing import Tuple

from . import call

_ENGINE_HELP = (
    "Point corvid at a quill engine in one of these ways: set the environment variable "
    "QUILL_BIN to the engine's path; or call "
    "corvid.options.quill_set_option('quill.call', '/path/to/quill'); or place the engine "
    "at {path}."
)


def _platform_parts() -> Tuple[str, ...]:
    """The engine's path below a ``bin`` directory, by the package's platform rule."""
    system, width, machine = call._system(), call._bits(), call._machine()
    if system == "darwin":
        if machine in ("arm64", "aarch64"):
            return ("mac.arm64", "quill.run")
        return ("mac", width + "bit", "quill.run")
    if system == "linux":
        return ("linux", width + "bit", "quill.mkl.run")
    if system.startswith("win"):
        return ("windows", width + "bit", "quill.exe")
    raise RuntimeError("Unknown OS")


def user_data_dir() -> str:
    """The per-user data directory: ``$XDG_DATA_HOME``, else ``~/.local/share``."""
    base = os.environ.get("XDG_DATA_HOME", "")
    if not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".local", "share")
    return base


def user_engine_path() -> str:
    """Where ``ensure_binary`` looks for a user-installed engine on this platform."""
    return os.path.join(user_data_dir(), "corvid", "bin", *_platform_parts())


def ensure_binary() -> str:
    """Return the path of a user-installed quill engine.

    Raises FileNotFoundError, with instructions, when there is no engine at
    ``user_engine_path()``.
    """
    path = user_engine_path()
    if os.path.isfile(path):
        return path
    raise FileNotFoundError(
        "quill engine not found: corvid ships no engine for this platform and none is "
        "installed for this user. " + _ENGINE_HELP.format(path=path)
    )
