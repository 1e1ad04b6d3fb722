"""The output directory of a command: checked before any work, filled in a hidden staging
directory beside it, and moved into place only when everything succeeded.

A run that fails or is interrupted leaves nothing behind, and never touches a file of the
user's: an existing directory that is not empty is refused unless the command was asked to
overwrite, and then only the entries the command writes are replaced. Symbolic links met on
the way are replaced as links, never followed.
"""

from __future__ import annotations

import os
import shutil
import stat
import tempfile
from typing import Iterable, Optional

from corvid.cli.errors import CommandError


class OutputDirectory:
    """`with OutputDirectory(out, overwrite, writes) as staging:` write everything into
    `staging`; on leaving the block without an exception it becomes `out`.

    `writes` names the top-level entries the command writes (a trailing "/" marks a
    directory). The constructor makes every check that needs no work, so a bad `out` is
    refused before the command starts: a symbolic link, a file, a directory that is not
    empty (without `overwrite`), an entry the command would write that is a directory where
    it writes a file, a place where nothing can be created.
    """

    def __init__(self, out: str, overwrite: bool, writes: Iterable[str]) -> None:
        self.out = os.path.normpath(out)
        self.overwrite = overwrite
        self.writes = list(writes)
        self._staging: Optional[str] = None
        self._made_parents: list[str] = []
        self._check()
        self._stage()

    def path(self, *parts: str) -> str:
        """Where an entry will be once the run succeeded (for messages)."""
        return os.path.join(self.out, *parts)

    # ---- before the work --------------------------------------------------------------

    def _check(self) -> None:
        out = self.out
        try:
            info = os.lstat(out)
        except FileNotFoundError:
            return
        except OSError as exc:
            raise CommandError(f"cannot use {out} as the output directory: "
                               f"{exc.strerror or exc}") from None
        if stat.S_ISLNK(info.st_mode):
            raise CommandError(f"{out} is a symbolic link: give the directory it points to, "
                               "or a new name, as the output directory")
        if not stat.S_ISDIR(info.st_mode):
            raise CommandError(f"{out} exists and is not a directory: give a new name, or an "
                               "existing directory, as the output directory")
        try:
            present = os.listdir(out)
        except OSError as exc:
            raise CommandError(f"cannot read the output directory {out}: "
                               f"{exc.strerror or exc}") from None
        if present and not self.overwrite:
            raise CommandError(f"{out} already exists and is not empty: give a new output "
                               "directory, or --overwrite to replace what this command writes "
                               "there (other files are kept)")
        for entry in self.writes:
            name = entry.rstrip("/")
            target = os.path.join(out, name)
            if not entry.endswith("/") and os.path.isdir(target) and not os.path.islink(target):
                raise CommandError(f"{target} is a directory, where this command writes a file: "
                                   "move it away or choose another output directory")

    def _stage(self) -> None:
        parent = os.path.dirname(os.path.abspath(self.out))
        missing = []
        probe = parent
        while not os.path.lexists(probe):
            missing.append(probe)
            probe = os.path.dirname(probe)
        try:
            for directory in reversed(missing):
                os.mkdir(directory)
                self._made_parents.append(directory)
            self._staging = tempfile.mkdtemp(prefix=f".{os.path.basename(self.out)}.partial-",
                                             dir=parent)
        except OSError as exc:
            self._remove_parents()
            raise CommandError(f"cannot create the output directory {self.out}: "
                               f"{exc.strerror or exc}") from None

    # ---- after the work ----------------------------------------------------------------

    def __enter__(self) -> str:
        assert self._staging is not None
        return self._staging

    def __exit__(self, kind, value, traceback) -> None:
        staging, self._staging = self._staging, None
        if staging is None:
            return
        if kind is not None:
            shutil.rmtree(staging, ignore_errors=True)
            self._remove_parents()
            return
        try:
            self._commit(staging)
        except OSError as exc:
            shutil.rmtree(staging, ignore_errors=True)
            raise CommandError(f"cannot move the results into {self.out}: "
                               f"{exc.strerror or exc}") from None

    def _commit(self, staging: str) -> None:
        try:
            os.rename(staging, self.out)  # atomic; also replaces an empty directory
            return
        except OSError:
            if not os.path.isdir(self.out) or os.path.islink(self.out):
                raise
        _move_entries(staging, self.out)
        os.rmdir(staging)

    def _remove_parents(self) -> None:
        for directory in reversed(self._made_parents):
            try:
                os.rmdir(directory)
            except OSError:
                break
        self._made_parents = []


def _move_entries(source: str, target: str) -> None:
    """Moves every entry of `source` into the directory `target`, replacing entries of the
    same name: a real directory is merged into, anything else (a file, a symbolic link) is
    replaced by the entry itself, so nothing a link points to is ever written."""
    for name in os.listdir(source):
        new, old = os.path.join(source, name), os.path.join(target, name)
        new_is_dir = os.path.isdir(new) and not os.path.islink(new)
        old_is_dir = os.path.isdir(old) and not os.path.islink(old)
        if new_is_dir and old_is_dir:
            _move_entries(new, old)
            os.rmdir(new)
            continue
        if old_is_dir:
            raise OSError(f"{old} is a directory, where the command wrote a file")
        if new_is_dir and os.path.lexists(old):
            os.unlink(old)  # a file or link where a directory goes
        os.replace(new, old)  # replaces a link itself, never what it points to
