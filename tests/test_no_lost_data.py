"""What is on disk after the matrix writer or the model-file writer fails.

The matrix writer checks a matrix before it opens the file, so a refused matrix leaves no new
file and an existing file as it was; an error while writing (a full disk, a failing file) is
raised, never taken for success, and short writes lose nothing. The model-file writer creates
nothing for a refused prefix; when one of its seven files fails, the files before it are
complete and stay, and the files after it are not touched.
"""

import builtins
import errno
import os
import pathlib

import numpy as np
import pytest
from scipy import sparse

from corvid.meshkin import gfield
from corvid.meshkin.gfield import _write_meshkin_file, gfield2_pcmatern

REAL_OPEN = builtins.open  # tests below replace the interpreter's open
SUFFIXES = [".M0", ".M1", ".M2", ".B0", ".B1", ".B2", ".BLC"]
OLD = b"an earlier file"


class Text(str):
    pass


def snapshot(directory):
    """Every path below `directory` with the bytes of its files (None for directories)."""
    found = {}
    for root, dirs, files in os.walk(directory):
        for name in dirs:
            found[os.path.relpath(os.path.join(root, name), directory)] = None
        for name in files:
            path = os.path.join(root, name)
            found[os.path.relpath(path, directory)] = pathlib.Path(path).read_bytes()
    return found


def root_ignores_permissions(directory):
    """Whether this process writes into a directory it made read-only (root does)."""
    probe = directory / "probe"
    probe.mkdir()
    probe.chmod(0o500)
    try:
        (probe / "x").write_bytes(b"")
        return True
    except PermissionError:
        return False
    finally:
        probe.chmod(0o700)
        for child in probe.iterdir():
            child.unlink()
        probe.rmdir()


# ---- one matrix ------------------------------------------------------------------------------


class Opaque:
    """An element that is no number."""


REFUSED_MATRICES = {
    "list": [[1.0, 2.0]],
    "None": None,
    "zero-dimensional array": np.zeros(()),
    "three-dimensional array": np.zeros((2, 2, 2)),
    "complex array": np.ones((2, 2), dtype=complex),
    "complex diagonal": np.ones(3, dtype=np.complex64),
    "objects that are no numbers": np.array([[1.0, Opaque()]], dtype=object),
    "text in an object diagonal": np.array([1.0, "x"], dtype=object),
    "integer beyond int32": np.array([[1, 2**31]]),
    "integer diagonal beyond int32": np.array([-(2**31) - 1, 0]),
    "sparse integers beyond int32": sparse.coo_matrix(np.array([[0, 2**40]])),
    "complex sparse": sparse.eye(2, dtype=complex, format="csr"),
}


@pytest.mark.parametrize("A", REFUSED_MATRICES.values(), ids=REFUSED_MATRICES.keys())
def test_refused_matrix_creates_no_file(tmp_path, A):
    with pytest.raises((TypeError, ValueError)):
        _write_meshkin_file(A, str(tmp_path / "A.bin"))
    assert snapshot(tmp_path) == {}


@pytest.mark.parametrize("existing", [False, True], ids=["new", "existing"])
@pytest.mark.parametrize("as_name", [Text, str.encode, pathlib.Path],
                         ids=["str subclass", "bytes", "path object"])
def test_refused_file_name_touches_no_file(tmp_path, existing, as_name):
    path = tmp_path / "A.bin"
    if existing:
        path.write_bytes(OLD)
    with pytest.raises(TypeError, match="Argument 'filename' has incorrect type"):
        _write_meshkin_file(np.eye(2), as_name(str(path)))
    assert snapshot(tmp_path) == ({"A.bin": OLD} if existing else {})


@pytest.mark.parametrize("target, error", [
    ("a directory", IsADirectoryError),
    ("a file/A.bin", NotADirectoryError),
    ("missing/A.bin", FileNotFoundError),
])
def test_file_that_cannot_be_opened_changes_nothing(tmp_path, target, error):
    (tmp_path / "a directory").mkdir()
    (tmp_path / "a file").write_bytes(OLD)
    before = snapshot(tmp_path)
    with pytest.raises(error):
        _write_meshkin_file(np.eye(2), str(tmp_path / target))
    assert snapshot(tmp_path) == before


@pytest.fixture
def locked(tmp_path):
    """A read-only directory (the test is skipped where that does not stop writes)."""
    if root_ignores_permissions(tmp_path):
        pytest.skip("this process writes into read-only directories (it runs as root)")
    directory = tmp_path / "locked"
    directory.mkdir()
    directory.chmod(0o500)
    yield directory
    directory.chmod(0o700)


def test_read_only_directory_gets_no_file(locked):
    with pytest.raises(PermissionError):
        _write_meshkin_file(np.eye(2), str(locked / "A.bin"))
    assert list(locked.iterdir()) == []


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("A", [np.ones((300, 300)), sparse.random(400, 400, density=0.1),
                               np.arange(100_000)], ids=["dense", "sparse", "diagonal"])
def test_full_disk_is_an_error(A):
    with pytest.raises(OSError) as error:
        _write_meshkin_file(A, "/dev/full")
    assert error.value.errno == errno.ENOSPC


class FailingFile:
    """A binary file that takes at most `piece` bytes per write and fails as it is told."""

    def __init__(self, path, piece=None, fail_after=None, returns=len, close_fails=False):
        self.file = REAL_OPEN(path, "wb")
        self.piece, self.fail_after, self.returns = piece, fail_after, returns
        self.close_fails, self.written = close_fails, 0

    def write(self, data):
        data = bytes(data)[:self.piece]
        if self.fail_after is not None and self.written + len(data) > self.fail_after:
            raise OSError(errno.EIO, "device failed")
        self.written += self.file.write(data)
        return self.returns(data)

    def seek(self, offset, whence=0):
        return self.file.seek(offset, whence)

    def seekable(self):
        return True

    def fileno(self):
        return self.file.fileno()

    def close(self):
        self.file.close()
        if self.close_fails:
            raise OSError(errno.EIO, "close failed")


@pytest.fixture
def opened(monkeypatch):
    """Makes the writer's `open` hand out FailingFile objects built with the given options."""
    files = []

    def use(**options):
        def failing_open(name, mode="r", *args, **kwargs):
            assert mode == "wb"
            files.append(FailingFile(name, **options))
            return files[-1]
        monkeypatch.setattr(builtins, "open", failing_open)
        return files
    return use


MATRICES = {"dense": np.arange(60.0).reshape(6, 10), "Fortran": np.asfortranarray(np.ones((9, 7))),
            "sparse": sparse.random(20, 30, density=0.3, random_state=4),
            "diagonal": np.arange(17)}


def expected_file(A, tmp_path):
    path = tmp_path / "expected.bin"
    _write_meshkin_file(A, str(path))
    return path.read_bytes()


@pytest.mark.parametrize("A", MATRICES.values(), ids=MATRICES.keys())
def test_short_writes_lose_nothing(tmp_path, opened, A):
    expected = expected_file(A, tmp_path)
    files = opened(piece=7)
    _write_meshkin_file(A, str(tmp_path / "A.bin"))
    assert files[0].file.closed
    assert (tmp_path / "A.bin").read_bytes() == expected


class KeepingFile(FailingFile):
    """A file whose `write` keeps something of what it is given, and a copy of its bytes then."""

    def __init__(self, path, keep):
        super().__init__(path)
        self.keep, self.kept = keep, []

    def write(self, data):
        kept = self.keep(data)
        self.kept.append((kept, bytes(kept)))
        return super().write(data)


KEEPS = {"the view": lambda data: data, "an array over it": lambda data: np.frombuffer(data, np.uint8),
         "a slice of it": lambda data: data[:], "a view of it": memoryview,
         "the bytearray behind it": lambda data: data.obj}


@pytest.mark.parametrize("keep", KEEPS.values(), ids=KEEPS.keys())
@pytest.mark.parametrize("A", MATRICES.values(), ids=MATRICES.keys())
def test_bytes_kept_by_the_file_stay_as_written(tmp_path, monkeypatch, A, keep):
    files = []
    monkeypatch.setattr(builtins, "open", lambda name, mode: files.append(KeepingFile(name, keep)) or files[-1])
    _write_meshkin_file(A, str(tmp_path / "A.bin"))
    del A
    assert all(bytes(kept) == then for kept, then in files[0].kept)


def test_file_cannot_resize_the_bytes_it_is_given(tmp_path, monkeypatch):
    class Resizing(FailingFile):
        def write(self, data):
            data.obj.clear()
            return super().write(data)
    monkeypatch.setattr(builtins, "open", lambda name, mode: Resizing(name))
    with pytest.raises(BufferError):
        _write_meshkin_file(np.ones((3, 3)), str(tmp_path / "A.bin"))


@pytest.mark.parametrize("failure, error, message", [
    ({"fail_after": 50}, OSError, "device failed"),
    ({"returns": lambda data: 0}, OSError, "write returned 0"),
    ({"piece": 0}, OSError, "write returned 0"),
    ({"returns": lambda data: None}, TypeError, "NoneType"),  # a raw file that would block
    ({"close_fails": True}, OSError, "close failed"),
], ids=["failing", "writing nothing", "taking nothing", "would block", "failing to close"])
@pytest.mark.parametrize("A", MATRICES.values(), ids=MATRICES.keys())
def test_failing_file_is_an_error_and_closed(tmp_path, opened, A, failure, error, message):
    expected = expected_file(A, tmp_path)
    files = opened(**failure)
    with pytest.raises(error, match=message):
        _write_meshkin_file(A, str(tmp_path / "A.bin"))
    assert files[0].file.closed
    assert expected.startswith((tmp_path / "A.bin").read_bytes())  # what was written is right


# ---- the model files -------------------------------------------------------------------------


@pytest.fixture
def model(grid_mesh):
    return gfield2_pcmatern(grid_mesh)


@pytest.fixture
def complete(model, tmp_path_factory):
    """The bytes of each of the model's seven files, from a write that succeeded."""
    prefix = str(tmp_path_factory.mktemp("complete") / "m")
    model.write_gfield_files(prefix)
    return {suffix: pathlib.Path(prefix + suffix).read_bytes() for suffix in SUFFIXES}


@pytest.mark.parametrize("as_prefix", [Text, str.encode, pathlib.Path, lambda p: None],
                         ids=["str subclass", "bytes", "path object", "None"])
def test_refused_prefix_creates_nothing(model, tmp_path, as_prefix):
    with pytest.raises(TypeError, match="Argument 'prefix' has incorrect type"):
        model.write_gfield_files(as_prefix(str(tmp_path / "out" / "sub" / "m")))
    assert snapshot(tmp_path) == {}


def test_prefix_in_a_file_creates_nothing(model, tmp_path):
    (tmp_path / "out").write_bytes(OLD)
    with pytest.raises(NotADirectoryError):
        model.write_gfield_files(str(tmp_path / "out" / "m"))
    assert snapshot(tmp_path) == {"out": OLD}


def test_read_only_directory_gets_no_model_file(model, locked):
    with pytest.raises(PermissionError):
        model.write_gfield_files(str(locked / "sub" / "m"))
    assert list(locked.iterdir()) == []


def earlier_set(tmp_path, in_the_way):
    """A prefix whose seven files hold an earlier model, one of them replaced by a directory."""
    for suffix in SUFFIXES:
        (tmp_path / ("m" + suffix)).write_bytes(OLD)
    (tmp_path / ("m" + in_the_way)).unlink()
    (tmp_path / ("m" + in_the_way)).mkdir()
    return str(tmp_path / "m")


@pytest.mark.parametrize("stops_at", range(len(SUFFIXES)), ids=SUFFIXES)
def test_unwritable_file_stops_the_set_keeping_earlier_and_later_files(model, tmp_path, complete,
                                                                       stops_at):
    prefix = earlier_set(tmp_path, SUFFIXES[stops_at])
    with pytest.raises(IsADirectoryError):
        model.write_gfield_files(prefix)
    on_disk = snapshot(tmp_path)
    for k, suffix in enumerate(SUFFIXES):
        expected = complete[suffix] if k < stops_at else None if k == stops_at else OLD
        assert on_disk["m" + suffix] == expected, suffix


@pytest.mark.parametrize("stops_at", [0, 3, 6], ids=[SUFFIXES[k] for k in (0, 3, 6)])
def test_failing_disk_stops_the_set_keeping_what_was_written(model, tmp_path, complete,
                                                            monkeypatch, stops_at):
    prefix = str(tmp_path / "m")
    for suffix in SUFFIXES:
        pathlib.Path(prefix + suffix).write_bytes(OLD)

    def open_failing_at(name, mode="r", *args, **kwargs):
        if name.endswith(SUFFIXES[stops_at]):
            return FailingFile(name, fail_after=40)
        return REAL_OPEN(name, mode, *args, **kwargs)
    monkeypatch.setattr(builtins, "open", open_failing_at)
    with pytest.raises(OSError, match="device failed"):
        model.write_gfield_files(prefix)
    for k, suffix in enumerate(SUFFIXES):
        content = pathlib.Path(prefix + suffix).read_bytes()
        if k < stops_at:
            assert content == complete[suffix], suffix
        elif k == stops_at:  # opened for writing: it holds what was written before the failure
            assert complete[suffix].startswith(content) and len(content) <= 40, suffix
        else:
            assert content == OLD, suffix
