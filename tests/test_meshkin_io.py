"""Reading binary matrix files back, from files laid out byte by byte here."""

import struct

import numpy as np
import pytest
from scipy import sparse

from corvid.meshkin_io import MeshkinHeader, read_meshkin_entries, read_meshkin_file, read_meshkin_header

I4, F8 = np.dtype("=i4"), np.dtype("=f8")


def write(path, words, *arrays, length_word=8):
    """A file with the given header words after the length word, then the raw arrays."""
    with open(path, "wb") as f:
        f.write(struct.pack("=i", length_word) + struct.pack(f"={len(words)}i", *words))
        for a in arrays:
            f.write(np.asarray(a[1], dtype=a[0]).tobytes())
    return path


def sparse_file(path, nrow, ncol, rows, cols, values, vtype=F8, matrixtype=0):
    words = [0, len(rows), nrow, ncol, 1, int(vtype == F8), matrixtype, 1]
    return write(path, words, (I4, rows), (I4, cols), (vtype, values))


@pytest.mark.parametrize("vtype, valuetype", [(F8, 1), (I4, 0)])
def test_dense_file_is_read_column_by_column(tmp_path, vtype, valuetype):
    path = write(tmp_path / "a.M", [0, 6, 2, 3, 0, valuetype, 0, 1], (vtype, [1, 4, 2, 5, 3, 6]))
    a = read_meshkin_file(str(path))
    assert a.dtype == vtype
    np.testing.assert_array_equal(a, [[1, 2, 3], [4, 5, 6]])
    assert read_meshkin_header(path) == MeshkinHeader(0, 6, 2, 3, 0, valuetype, 0, 1)


def test_sparse_file_keeps_zeros_and_sums_duplicates(tmp_path):
    path = sparse_file(tmp_path / "s", 2, 3, [0, 1, 1, 0], [0, 0, 0, 2], [0.0, 2.0, 5.0, -1.0])
    m = read_meshkin_file(path)
    assert isinstance(m, sparse.csr_matrix) and m.shape == (2, 3) and m.nnz == 3
    np.testing.assert_array_equal(m.toarray(), [[0, 0, -1], [7, 0, 0]])
    header, rows, cols, values = read_meshkin_entries(path)
    assert header.elems == 4 and rows.tolist() == [0, 1, 1, 0] and cols.tolist() == [0, 0, 0, 2]
    assert values.tolist() == [0.0, 2.0, 5.0, -1.0]


def test_diagonal_file_gives_the_diagonal(tmp_path):
    path = sparse_file(tmp_path / "d", 3, 3, [0, 1, 2], [0, 1, 2], [7, 8, 9], vtype=I4, matrixtype=2)
    diagonal = read_meshkin_file(path)
    assert diagonal.dtype == I4 and diagonal.tolist() == [7, 8, 9]


@pytest.mark.parametrize("words, expected", [
    ([0, 0, 3, 2, 1, 1, 0, 1], (3, 2)),   # sparse without entries
    ([0, 0, 0, 0, 1, 1, 2, 1], (0,)),     # empty diagonal
    ([0, 0, 0, 5, 0, 0, 0, 1], (0, 5)),   # dense without rows
])
def test_empty_36_byte_files(tmp_path, words, expected):
    path = write(tmp_path / "e", words)
    assert path.stat().st_size == 36
    assert read_meshkin_file(path).shape == expected


GOOD = [0, 2, 2, 2, 1, 1, 0, 1]
BODY = [(I4, [0, 1]), (I4, [0, 1]), (F8, [1.0, 2.0])]


@pytest.mark.parametrize("words, body, length_word, message", [
    (GOOD, BODY, 7, "header length word is 7, expected 8"),
    (GOOD[:3], [], 8, "header truncated at 16 of 36 bytes"),
    ([1] + GOOD[1:], BODY, 8, "version 1, expected 0"),
    ([0, 2, 2, 2, 2, 1, 0, 1], BODY, 8, "unknown datatype 2"),
    ([0, 2, 2, 2, 1, 5, 0, 1], BODY, 8, "unknown valuetype 5"),
    ([0, 2, 2, 2, 1, 1, 1, 1], BODY, 8, "unknown matrixtype 1"),
    ([0, 2, 2, 2, 1, 1, 0, 0], BODY, 8, "unknown storagetype 0"),
    ([0, 2, -2, 2, 1, 1, 0, 1], BODY, 8, "negative count"),
    ([0, 3, 2, 2, 0, 1, 0, 1], [(F8, [1, 2, 3])], 8, "dense elems=3 is not nrow"),
    ([0, 2, 2, 2, 0, 1, 2, 1], [(F8, [1, 2])], 8, "dense body must hold a general matrix"),
    ([0, 2, 3, 2, 1, 1, 2, 1], BODY, 8, "diagonal matrix needs elems = nrow = ncol"),
    (GOOD, BODY[:2] + [(F8, [1.0])], 8, "body is truncated: file has 60 bytes, header announces 68"),
    (GOOD, BODY + [(I4, [0])], 8, "4 trailing bytes"),
    (GOOD, [(I4, [0, 2])] + BODY[1:], 8, "row index 2 of entry 1 outside 0..1"),
    (GOOD, [BODY[0], (I4, [-1, 0]), BODY[2]], 8, "column index -1 of entry 0"),
    ([0, 2, 2, 2, 1, 1, 2, 1], [(I4, [1, 0]), (I4, [1, 0]), BODY[2]], 8, "indices other than 0, 1"),
])
def test_malformed_files_are_refused(tmp_path, words, body, length_word, message):
    path = write(tmp_path / "bad", words, *body, length_word=length_word)
    with pytest.raises(ValueError, match=message) as info:
        read_meshkin_file(path)
    assert str(info.value).startswith(f"{path}: not a meshkin matrix file: ")


def test_file_shorter_than_a_word_is_refused(tmp_path):
    path = tmp_path / "tiny"
    path.write_bytes(b"\x08\x00")
    with pytest.raises(ValueError, match="too short for the length word"):
        read_meshkin_file(path)
