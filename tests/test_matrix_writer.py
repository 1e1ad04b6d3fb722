"""Writing matrices in the binary matrix format with `_write_meshkin_file`."""

import pathlib
import warnings

import numpy as np
import pytest
from scipy import sparse

from corvid.meshkin import gfield
from corvid.meshkin.gfield import _write_meshkin_file
from corvid.meshkin_io import read_meshkin_entries, read_meshkin_file

INT32_MAX = 2**31 - 1


def words(path, count):
    """The length word and the header words of a file."""
    return np.fromfile(path, dtype=np.int32, count=count).tolist()


def reference_bytes(A):
    """The file a plain NumPy writer produces: header, then the column-major body."""
    if sparse.issparse(A):
        M = A.tocoo()
        i, j, values = M.row.astype(np.int32), M.col.astype(np.int32), M.data
        order = np.lexsort((i, j))
        i, j, values = i[order], j[order], values[order]
        layout, matrix, nrow, ncol = 1, 0, *M.shape
    elif A.ndim == 1:
        i = j = np.arange(A.size, dtype=np.int32)
        values, layout, matrix, nrow, ncol = A, 1, 2, A.size, A.size
    else:
        values, layout, matrix, (nrow, ncol) = A.ravel(order="F"), 0, 0, A.shape
    integer = np.issubdtype(values.dtype, np.integer)
    header = np.array([8, 0, values.size, nrow, ncol, layout, 0 if integer else 1, matrix, 1],
                      dtype=np.int32).tobytes()
    body = values.astype(np.int32 if integer else np.float64).tobytes()
    return header + (body if layout == 0 else i.tobytes() + j.tobytes() + body)


def test_dense_float_matrix_is_written_column_by_column(tmp_path):
    path = str(tmp_path / "a.bin")
    _write_meshkin_file(np.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]), path)
    assert pathlib.Path(path).stat().st_size == 84
    assert words(path, 9) == [8, 0, 6, 2, 3, 0, 1, 0, 1]
    assert np.fromfile(path, dtype=np.float64, offset=36).tolist() == [1, 4, 2, 5, 3, 6]


@pytest.mark.parametrize("dtype", [np.int8, np.uint16, np.int32, np.int64, np.uint64])
def test_integer_matrix_is_written_as_int32(tmp_path, dtype):
    path = str(tmp_path / "a.bin")
    _write_meshkin_file(np.array([[1, 2, 3], [4, 5, 6]], dtype=dtype), path)
    assert pathlib.Path(path).stat().st_size == 60
    assert words(path, 9) == [8, 0, 6, 2, 3, 0, 0, 0, 1]
    assert np.fromfile(path, dtype=np.int32, offset=36).tolist() == [1, 4, 2, 5, 3, 6]


def test_boolean_matrix_is_written_as_float64(tmp_path):
    path = str(tmp_path / "a.bin")
    _write_meshkin_file(np.array([[True, False], [False, True]]), path)
    assert words(path, 9)[6] == 1
    assert np.fromfile(path, dtype=np.float64, offset=36).tolist() == [1, 0, 0, 1]


def test_sparse_triplets_are_ordered_by_column_then_row(tmp_path):
    path = str(tmp_path / "s.bin")
    A = sparse.coo_matrix(([7.0, 8.0, 9.0], ([0, 1, 0], [1, 0, 0])), shape=(2, 2))
    _write_meshkin_file(A, path)
    header, rows, cols, values = read_meshkin_entries(path)
    assert header[:7] == (0, 3, 2, 2, 1, 1, 0) and header.storagetype == 1
    assert rows.tolist() == [0, 1, 0] and cols.tolist() == [0, 0, 1]
    assert values.tolist() == [9.0, 8.0, 7.0]
    assert pathlib.Path(path).stat().st_size == 36 + 16 * 3


def test_stored_zeros_and_duplicates_are_kept_in_input_order(tmp_path):
    path = str(tmp_path / "s.bin")
    A = sparse.coo_matrix(([1.0, 0.0, 2.0, 3.0], ([1, 0, 1, 1], [1, 0, 1, 0])), shape=(2, 2))
    _write_meshkin_file(A, path)
    _, rows, cols, values = read_meshkin_entries(path)
    assert list(zip(rows, cols, values)) == [(0, 0, 0.0), (1, 0, 3.0), (1, 1, 1.0), (1, 1, 2.0)]

    csr = sparse.csr_matrix(([0.0, 5.0], [1, 0], [0, 1, 2]), shape=(2, 3))
    _write_meshkin_file(csr, path)
    _, rows, cols, values = read_meshkin_entries(path)
    assert list(zip(rows, cols, values)) == [(1, 0, 5.0), (0, 1, 0.0)]


@pytest.mark.parametrize("A, shape", [
    (sparse.csr_matrix((4, 7)), (4, 7)),
    (np.zeros(0), (0, 0)),
    (np.zeros((0, 5)), (0, 5)),
])
def test_empty_matrices_give_a_bare_header(tmp_path, A, shape):
    path = str(tmp_path / "e.bin")
    _write_meshkin_file(A, path)
    assert pathlib.Path(path).stat().st_size == 36
    assert words(path, 5)[2:5] == [0, *shape]


def test_vector_is_written_as_a_diagonal_matrix(tmp_path):
    path = str(tmp_path / "d.bin")
    _write_meshkin_file(np.array([2.5, -1.0, 0.0, 4.0]), path)
    header, rows, cols, values = read_meshkin_entries(path)
    assert header == (0, 4, 4, 4, 1, 1, 2, 1)
    assert rows.tolist() == cols.tolist() == [0, 1, 2, 3]
    assert read_meshkin_file(path).tolist() == [2.5, -1.0, 0.0, 4.0]


def test_returns_the_filename_object(tmp_path):
    path = str(tmp_path / "r.bin")
    assert _write_meshkin_file(np.eye(2), path) is path


def layouts():
    rng = np.random.default_rng(3)
    A = rng.standard_normal((301, 7))
    yield "C order", A
    yield "Fortran order", np.asfortranarray(A)
    yield "reversed rows, every other column", A[::-1, ::2]
    yield "transposed", A.T
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        yield "matrix subclass", np.asmatrix(A[:5])
    yield "big-endian", A.astype(">f8")
    yield "float32", A.astype(np.float32)
    yield "float16", A.astype(np.float16)
    yield "long double", A.astype(np.longdouble)
    yield "object", A[:4].astype(object)
    yield "narrow C order", rng.standard_normal((100_001, 3))
    yield "wide C order", rng.standard_normal((3, 70_001))
    yield "int16 with negatives", rng.integers(-300, 300, (40, 9)).astype(np.int16)
    yield "uint32", rng.integers(0, 2**31, (40, 9)).astype(np.uint32)
    yield "big-endian int64", rng.integers(-5, 5, (8, 3)).astype(">i8")
    yield "vector view", A[::-3, 2]
    yield "csr", sparse.random(300, 200, density=0.05, format="csr", random_state=1)
    yield "csc array", sparse.csc_array(sparse.random(50, 80, density=0.1, random_state=2))
    yield "int64 coordinates", sparse.coo_matrix(
        (rng.integers(-9, 9, 500), (rng.integers(0, 30, 500), rng.integers(0, 20, 500))),
        shape=(30, 20))
    yield "wide sparse shape", sparse.coo_matrix(
        (np.ones(3), ([0, 0, 0], [1_999_999, 5, 5])), shape=(1, 2_000_000))


@pytest.mark.parametrize("A", [a for _, a in layouts()], ids=[name for name, _ in layouts()])
def test_any_layout_gives_the_same_bytes_as_numpy(tmp_path, A):
    path = tmp_path / "m.bin"
    _write_meshkin_file(A, str(path))
    assert path.read_bytes() == reference_bytes(A)


class _Opaque:
    """An element NumPy cannot turn into a number."""


@pytest.mark.parametrize("A, error, message", [
    (None, TypeError, "Unsupported type: <class 'NoneType'>"),
    ([[1.0, 2.0]], TypeError, "Unsupported type: <class 'list'>"),
    (np.float64(1.0), TypeError, "Unsupported type: <class 'numpy.float64'>"),
    (np.zeros(()), TypeError, "Unsupported type: <class 'numpy.ndarray'>"),
    (np.zeros((2, 2, 2)), TypeError, "Unsupported type: <class 'numpy.ndarray'>"),
    (np.ones((2, 2), dtype=complex), TypeError, "Unsupported element type: complex128"),
    (sparse.eye(3, dtype=np.complex64, format="csr"), TypeError, "Unsupported element type"),
    (np.array([1, 2**31]), ValueError, "integer value 2147483648 is outside the int32 range"),
    (np.array([[-(2**31) - 1]]), ValueError, "outside the int32 range"),
    (np.array([2**64 - 1], dtype=np.uint64), ValueError, "18446744073709551615"),
    (sparse.csr_matrix(np.array([[0, 2**40]])), ValueError, "outside the int32 range"),
    (np.broadcast_to(np.zeros(1), (50_000, 50_000)), ValueError, "elems = 2500000000"),
    (sparse.csr_matrix((2**31, 1)), ValueError, "nrow = 2147483648 does not fit"),
    (np.array([[_Opaque()]], dtype=object), TypeError, None),
])
def test_refused_matrix_leaves_an_existing_file_untouched(tmp_path, A, error, message):
    path = tmp_path / "keep.bin"
    path.write_bytes(b"previous contents")
    with pytest.raises(error, match=message):
        _write_meshkin_file(A, str(path))
    assert path.read_bytes() == b"previous contents"


def test_refused_matrix_creates_no_file(tmp_path):
    with pytest.raises(TypeError):
        _write_meshkin_file([1, 2, 3], str(tmp_path / "new.bin"))
    assert not (tmp_path / "new.bin").exists()


def test_sparse_entry_outside_the_shape_is_refused(tmp_path):
    A = sparse.coo_matrix(([1.0, 2.0], ([0, 1], [0, 1])), shape=(2, 2))
    A.row[1] = 5  # corrupted after construction
    with pytest.raises(ValueError, match="stored entry outside its shape"):
        _write_meshkin_file(A, str(tmp_path / "bad.bin"))
    assert not (tmp_path / "bad.bin").exists()


@pytest.mark.parametrize("filename, got", [
    (b"m.bin", "bytes"), (pathlib.Path("m.bin"), "PosixPath"), (None, "NoneType")])
def test_filename_must_be_a_str(filename, got):
    with pytest.raises(TypeError, match=fr"Argument 'filename' has incorrect type "
                                        fr"\(expected str, got {got}\)"):
        _write_meshkin_file(np.eye(2), filename)


def test_missing_directory_is_the_interpreters_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        _write_meshkin_file(np.eye(2), str(tmp_path / "no" / "such" / "m.bin"))


def test_writes_through_the_interpreters_open(tmp_path, monkeypatch):
    import builtins

    opened = []
    real_open = builtins.open

    def recording_open(name, mode="r", *args, **kwargs):
        opened.append((name, mode))
        return real_open(name, mode, *args, **kwargs)

    monkeypatch.setattr(builtins, "open", recording_open)
    path = str(tmp_path / "o.bin")
    gfield._write_meshkin_file(np.eye(3), path)
    assert opened == [(path, "wb")]
    assert read_meshkin_file(path).tolist() == np.eye(3).tolist()
