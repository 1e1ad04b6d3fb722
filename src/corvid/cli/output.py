"""The output directory of a command: checked and claimed before any work, filled in a hidden
staging directory on its own filesystem, and moved into place only when everything
succeeded.

A run that fails or is interrupted (SIGINT, SIGTERM, SIGHUP) leaves nothing behind, and
never touches a file of the user's: an existing directory that is not empty is refused
unless the command was asked to overwrite, and then only the entries the command writes are
replaced. Symbolic links met on the way are replaced as links, never followed.

- A new directory is staged beside it (`.OUT.partial-XXXX`), made with the permissions the
  umask gives (and the parent's setgid bit), and renamed into place in one step; a
  directory that appeared meanwhile (another run's) is never merged into: the run that
  renames first wins, the other is refused.
- An existing directory (an empty one, or with --overwrite; a mount point, say) is kept
  as it is, with its mode, owner and group: the staging directory is made inside it, on
  its filesystem, and the entries are moved out of it when all are written.
- Two runs into the same directory: the second is refused at once (a lock, `.OUT.lock`
  beside a new directory or `.corvid-lock` in an existing one, held for the run by flock,
  which the system releases when a run dies).
- Where a rename cannot cross filesystems, the results are copied instead.
"""

from __future__ import annotations

import contextlib
import errno
import hashlib
import os
import shutil
import signal
import stat
import tempfile
from typing import Iterable, Optional

from corvid.cli.errors import CommandError, raise_if_stopped

try:
    import fcntl
except ImportError:  # no flock: runs are kept apart by the final rename alone
    fcntl = None  # type: ignore[assignment]

# Entries corvid itself makes in an existing output directory while it works.
LOCK_NAME, STAGING_PREFIX = ".corvid-lock", ".corvid-partial-"
# Characters mkdtemp adds to a prefix.
RANDOM_CHARACTERS = 8
# Signals that end a run as SIGINT does, and are held while the results are moved.
STOPPING = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))


class OutputDirectory:
    """`with OutputDirectory(out, overwrite, writes) as staging:` write everything into
    `staging`; on leaving the block without an exception it becomes `out`.

    `writes` names the top-level entries the command writes (a trailing "/" marks a
    directory). The constructor makes every check that needs no work, so a bad `out` is
    refused before the command starts: a symbolic link, a file, a directory that is not
    empty (without `overwrite`), an entry the command would write that is a directory where
    it writes a file, a name too long for the filesystem, a place where nothing can be
    created, a directory another run is writing into.
    """

    def __init__(self, out: str, overwrite: bool, writes: Iterable[str]) -> None:
        self.out = os.path.normpath(out)
        self.overwrite = overwrite
        self.writes = list(writes)
        self.committed = False
        self._staging: Optional[str] = None
        self._made_parents: list[str] = []
        self._lock: Optional[_Lock] = None
        self._existing = self._check()
        try:
            self._claim()
            self._stage()
        except BaseException:
            self._release()
            raise

    def path(self, *parts: str) -> str:
        """Where an entry will be once the run succeeded (for messages)."""
        return os.path.join(self.out, *parts)

    # ---- before the work --------------------------------------------------------------

    def _check(self) -> bool:
        """Whether `out` exists (as a directory that may be used)."""
        out = self.out
        _check_name(out)
        try:
            info = os.lstat(out)
        except FileNotFoundError:
            return False
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
        present = self._without_leftovers(present)
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
        return True

    def _without_leftovers(self, present: list) -> list:
        """The entries of an existing `out` that are not corvid's own: its lock and staging
        directories are a run's at work (refused), or a killed run's (removed)."""
        own = [name for name in present if name == LOCK_NAME or name.startswith(STAGING_PREFIX)]
        if not own:
            return present
        try:
            lock = _Lock.take(os.path.join(self.out, LOCK_NAME))
        except OSError as exc:
            raise CommandError(f"cannot write into the output directory {self.out}: "
                               f"{exc.strerror or exc}") from None
        if lock is None:
            raise CommandError(f"another corvid run is writing into {self.out}: wait for it to "
                               "finish, or give another output directory")
        try:
            for name in own:
                if name.startswith(STAGING_PREFIX):
                    shutil.rmtree(os.path.join(self.out, name), ignore_errors=True)
        finally:
            lock.release()
        return [name for name in present if name not in own]

    def _claim(self) -> None:
        if self._existing:
            where = os.path.join(self.out, LOCK_NAME)
        else:
            parent = os.path.dirname(os.path.abspath(self.out))
            if not os.path.isdir(parent):
                return  # made below; a new parent has no other run in it yet
            where = os.path.join(parent, _hidden(os.path.basename(self.out), ".lock", parent, 0))
        try:
            self._lock = _Lock.take(where)
        except OSError as exc:
            if self._existing:
                raise CommandError(f"cannot write into the output directory {self.out}: "
                                   f"{exc.strerror or exc}") from None
            return  # a parent where no lock can be made: the staging fails below, saying so
        if self._lock is None:
            raise CommandError(f"another corvid run is writing into {self.out}: wait for it to "
                               "finish, or give another output directory")

    def _stage(self) -> None:
        if self._existing:
            try:
                self._staging = tempfile.mkdtemp(prefix=STAGING_PREFIX, dir=self.out)
            except OSError as exc:
                raise CommandError(f"cannot write into the output directory {self.out}: "
                                   f"{exc.strerror or exc}") from None
            return
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
            prefix = _hidden(os.path.basename(self.out), ".partial-", parent, RANDOM_CHARACTERS)
            self._staging = tempfile.mkdtemp(prefix=prefix, dir=parent)
            _as_umask_gives(self._staging)
        except OSError as exc:
            if self._staging is not None:
                os.rmdir(self._staging)
                self._staging = None
            self._remove_parents()
            raise CommandError(f"cannot create the output directory {self.out}: "
                               f"{exc.strerror or exc}") from None

    # ---- after the work ----------------------------------------------------------------

    def __enter__(self) -> str:
        assert self._staging is not None
        return self._staging

    def __exit__(self, kind, value, traceback) -> None:
        staging, self._staging = self._staging, None
        try:
            if staging is None:
                return
            if kind is not None:
                shutil.rmtree(staging, ignore_errors=True)
                self._remove_parents()
                return
            with _signals_held(self):
                try:
                    raise_if_stopped()
                    self._commit(staging)
                except OSError as exc:
                    raise CommandError(f"cannot move the results into {self.out}: "
                                       f"{exc.strerror or exc}; nothing was written") from None
                finally:
                    shutil.rmtree(staging, ignore_errors=True)
                    if not self.committed:
                        self._remove_parents()
        finally:
            self._release()

    def _commit(self, staging: str) -> None:
        if self._existing:
            if not self.overwrite:
                self._refuse_newcomers(staging)
            _move_entries(staging, self.out)
            self.committed = True
            return
        try:
            os.rename(staging, self.out)  # atomic; refused when `out` appeared meanwhile
            self.committed = True
            return
        except OSError as exc:
            if exc.errno != errno.EXDEV and not os.path.lexists(self.out):
                raise
            if exc.errno == errno.EXDEV:
                try:
                    _copy_new(staging, self.out)
                    self.committed = True
                    return
                except FileExistsError:
                    pass
        if not self.overwrite:
            raise CommandError(f"{self.out} was created by another run while this one worked: "
                               "its files are kept, and this run's results are not written; give "
                               "another output directory")
        self._existing = True
        _move_entries(staging, self.out)
        self.committed = True

    def _refuse_newcomers(self, staging: str) -> None:
        """Refuses to mix this run's results with entries that appeared in the empty `out`
        while it worked (another program's)."""
        mine = {os.path.basename(staging), LOCK_NAME}
        others = sorted(name for name in os.listdir(self.out) if name not in mine)
        if others:
            raise CommandError(f"{self.out} was empty, and {', '.join(others[:3])}"
                               f"{' ...' if len(others) > 3 else ''} appeared in it while this run "
                               "worked: they are kept, and this run's results are not written; "
                               "give another output directory, or --overwrite")

    def _remove_parents(self) -> None:
        for directory in reversed(self._made_parents):
            try:
                os.rmdir(directory)
            except OSError:
                break
        self._made_parents = []

    def _release(self) -> None:
        if self._lock is not None:
            self._lock.release()
            self._lock = None


class _Lock:
    """An exclusive flock on a file, held until `release`, which removes the file."""

    def __init__(self, path: str, fd: int) -> None:
        self.path, self.fd = path, fd

    @classmethod
    def take(cls, path: str) -> Optional["_Lock"]:
        """The lock, or None when another process holds it (OSError when the file cannot
        be made). Without flock, a lock that never refuses."""
        while True:
            fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o666)
            if fcntl is None:
                return cls(path, fd)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                os.close(fd)
                return None
            # The holder before us removes the file as it lets go: lock the file at `path`.
            try:
                same = os.stat(path).st_ino == os.fstat(fd).st_ino
            except FileNotFoundError:
                same = False
            if same:
                return cls(path, fd)
            os.close(fd)

    def release(self) -> None:
        with contextlib.suppress(OSError):
            os.unlink(self.path)
        os.close(self.fd)


@contextlib.contextmanager
def writing(name: str):
    """Turns a failure to write the output `name` (a full disk, a file size limit, a
    failing device; OSError, or the RuntimeError netCDF4 raises for HDF5's) into a
    CommandError naming it; the staging directory goes with the run, so nothing is left."""
    try:
        yield
    except OSError as exc:
        raise CommandError(f"cannot write {name}: {exc.strerror or exc}; nothing was "
                           "written") from None
    except RuntimeError as exc:
        reason = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise CommandError(f"cannot write {name}: {reason} (the disk may be full); nothing "
                           "was written") from None


def _name_max(directory: str) -> int:
    try:
        return int(os.pathconf(directory, "PC_NAME_MAX"))
    except (OSError, ValueError, AttributeError):
        return 255


def _check_name(out: str) -> None:
    """Refuses a new directory whose name the filesystem cannot hold, before any work."""
    parent = os.path.dirname(os.path.abspath(out))
    probe = parent
    while not os.path.isdir(probe) and probe != os.path.dirname(probe):
        probe = os.path.dirname(probe)
    limit = _name_max(probe)
    for part in os.path.abspath(out).split(os.sep):
        if len(os.fsencode(part)) > limit:
            raise CommandError(f"the output directory's name {part[:40]}... is "
                               f"{len(os.fsencode(part))} bytes long, more than the {limit} the "
                               "filesystem allows: give a shorter --out")


def _hidden(name: str, suffix: str, directory: str, random: int) -> str:
    """`.NAME` + `suffix`, with NAME cut short (and told apart by a hash of the whole) where
    the filesystem's longest name (less `random` characters mkdtemp adds) demands."""
    limit = _name_max(directory) - random
    full = f".{name}{suffix}"
    if len(os.fsencode(full)) <= limit:
        return full
    digest = hashlib.sha1(os.fsencode(name)).hexdigest()[:8]
    room = limit - len(os.fsencode(f"..{digest}{suffix}"))
    short = os.fsencode(name)[:room].decode("utf-8", errors="ignore")
    return f".{short}.{digest}{suffix}"


def _umask() -> int:
    try:  # Linux says it without changing it
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _as_umask_gives(directory: str) -> None:
    """Gives a directory mkdtemp made (0700) the mode mkdir would have given it, keeping
    the setgid bit it inherited from its parent."""
    inherited = os.stat(directory).st_mode & stat.S_ISGID
    os.chmod(directory, (0o777 & ~_umask()) | inherited)


@contextlib.contextmanager
def _signals_held(output: OutputDirectory):
    """Holds SIGINT, SIGTERM and SIGHUP while the results are moved, so that they land
    whole or not at all; a signal that came meanwhile acts when they are in place, and
    its KeyboardInterrupt says whether they were (`results_written`)."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, STOPPING)
    try:
        yield
    finally:
        try:
            signal.pthread_sigmask(signal.SIG_SETMASK, previous)
        except KeyboardInterrupt as exc:
            exc.results_written = output.committed  # type: ignore[attr-defined]
            raise


def _replace(source: str, target: str) -> None:
    """os.replace, or a copy where the two are on different filesystems."""
    try:
        os.replace(source, target)
    except OSError as exc:
        if exc.errno != errno.EXDEV:
            raise
        if os.path.isdir(source) and not os.path.islink(source):
            shutil.copytree(source, target, symlinks=True)
            shutil.rmtree(source)
        else:
            if os.path.islink(target):
                os.unlink(target)  # the link itself is replaced, never what it points to
            shutil.copy2(source, target, follow_symlinks=False)
            os.unlink(source)


def _copy_new(staging: str, out: str) -> None:
    """The staging directory copied to the new `out` (a rename across filesystems);
    nothing left of the copy when it fails. FileExistsError when `out` appeared meanwhile."""
    os.mkdir(out)
    try:
        shutil.copystat(staging, out)
        shutil.copytree(staging, out, symlinks=True, dirs_exist_ok=True)
    except BaseException:
        shutil.rmtree(out, ignore_errors=True)
        raise


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
        _replace(new, old)  # replaces a link itself, never what it points to
