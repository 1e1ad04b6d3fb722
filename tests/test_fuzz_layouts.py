"""Arrays in any memory layout and element type give the answers of plain arrays.

The compiled code reads array memory itself, so every layout NumPy can hand it (Fortran
order, negative, zero and odd strides, unaligned and read-only memory, other byte orders,
subclasses) must give exactly what the C-contiguous float64 (or native) copy gives, and a
matrix file must hold exactly the bytes of the file format, or the call must refuse the input
without touching the file.
"""

import os

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from scipy import sparse

from corvid.meshkin import gfield
from corvid.meshkin.mesh import MkMesh

from array_layouts import relaid

# NumPy's own warnings about the values (overflow, NaN, discarded imaginary parts) are expected.
pytestmark = [pytest.mark.filterwarnings("ignore::RuntimeWarning"),
              pytest.mark.filterwarnings("ignore:Casting complex values to real"),
              pytest.mark.filterwarnings("ignore::DeprecationWarning"),
              pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")]

LAYOUTS = ["C", "fortran", "reversed", "strided", "read-only", "broadcast", "unaligned",
           "matrix"]


def plain(a):
    """The same values in C order and native byte order, as a base-class array."""
    return np.ascontiguousarray(a, dtype=a.dtype.newbyteorder("="))


numeric_dtypes = st.one_of(hnp.boolean_dtypes(), hnp.integer_dtypes(endianness="?"),
                           hnp.unsigned_integer_dtypes(endianness="?"),
                           hnp.floating_dtypes(endianness="?", sizes=(16, 32, 64, 128)),
                           hnp.complex_number_dtypes(endianness="?"),
                           hnp.datetime64_dtypes(endianness="?"),
                           hnp.timedelta64_dtypes(endianness="?"))
shapes = hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=5)
laid_out_arrays = st.builds(relaid, hnp.arrays(numeric_dtypes, shapes), st.sampled_from(LAYOUTS))


# ---- the matrix file -------------------------------------------------------------------------


def file_bytes(A):
    """The matrix file of `A` as the format defines it, by NumPy's own conversions."""
    def header(elems, nrow, ncol, datatype, values, matrixtype):
        valuetype = 0 if np.issubdtype(values.dtype, np.integer) else 1
        words = [8, 0, elems, nrow, ncol, datatype, valuetype, matrixtype, 1]
        body = values.astype(np.int32 if valuetype == 0 else np.float64)
        return np.array(words, dtype=np.int32).tobytes(), body

    if isinstance(A, np.ndarray) and A.ndim == 2:
        head, body = header(A.size, *A.shape, 0, A, 0)
        return head + body.ravel(order="F").tobytes()
    if sparse.issparse(A):
        M = A.tocoo()
        i, j = M.row.astype(np.int32), M.col.astype(np.int32)
        order = np.lexsort((i, j))
        head, body = header(len(i), *M.shape, 1, M.data[order], 0)
        return head + i[order].tobytes() + j[order].tobytes() + body.tobytes()
    if isinstance(A, np.ndarray) and A.ndim == 1:
        k = np.arange(A.size, dtype=np.int32)
        head, body = header(A.size, A.size, A.size, 1, np.asarray(A), 2)
        return head + k.tobytes() + k.tobytes() + body.tobytes()
    raise TypeError(f"Unsupported type: {type(A)}")


def fits_the_format(A):
    """Refusals the writer makes on purpose: complex values, integers beyond int32."""
    values = A.tocoo().data if sparse.issparse(A) else np.asarray(A)
    if np.issubdtype(values.dtype, np.complexfloating):
        return False
    if np.issubdtype(values.dtype, np.integer) and values.size:
        return np.iinfo(np.int32).min <= values.min() and values.max() <= np.iinfo(np.int32).max
    return True


def as_sparse(a, fmt, array_api):
    return (sparse.coo_array if array_api else sparse.coo_matrix)(a).asformat(fmt)


sparse_matrices = st.builds(
    as_sparse,
    hnp.arrays(st.sampled_from(["?", "i1", "u2", "i4", "i8", "u8", "f4", "f8", "g", "c16"]),
               st.tuples(st.integers(0, 6), st.integers(0, 6))),
    st.sampled_from(["csr", "csc", "coo", "lil", "dok", "dia", "bsr"]), st.booleans())

OLD_CONTENT = b"an earlier file"


@pytest.fixture(scope="module")
def target(tmp_path_factory):
    return str(tmp_path_factory.mktemp("layouts") / "A.bin")


@given(A=st.one_of(laid_out_arrays, sparse_matrices))
def test_matrix_file_holds_the_format_bytes_or_is_left_alone(target, A):
    with open(target, "wb") as f:
        f.write(OLD_CONTENT)
    try:
        expected = file_bytes(A)
    except (TypeError, ValueError) as exc:
        expected = exc
    try:
        gfield._write_meshkin_file(A, target)
    except (TypeError, ValueError) as refusal:
        assert isinstance(expected, Exception) or not fits_the_format(A), refusal
        with open(target, "rb") as f:
            assert f.read() == OLD_CONTENT
        return
    with open(target, "rb") as f:
        assert f.read() == expected


# ---- the projector ---------------------------------------------------------------------------

# numpy.matrix changes what `**` means, so it is no mere layout for the arithmetic below.
MEMORY_LAYOUTS = [layout for layout in LAYOUTS if layout != "matrix"]
MESH = MkMesh.from_points(np.random.default_rng(3).random((15, 2)))
values = st.one_of(st.floats(-0.5, 1.5), st.sampled_from([np.nan, np.inf, -np.inf, 1e300]))


def cast(dtypes, shape):
    """Arrays of `shape` holding coordinates, then cast to one of `dtypes`."""
    def astype(a, dtype):
        with np.errstate(invalid="ignore", over="ignore"):  # NaN and inf as integers
            return a.astype(dtype)
    return st.builds(astype, hnp.arrays(np.float64, shape, elements=values),
                     st.sampled_from(dtypes))


coordinates = cast(["<f8", ">f8", "<f4", ">i4", "<u1", "<f2", "?", "g"],
                   st.tuples(st.integers(0, 6), st.integers(1, 3)))
points = cast(["<f8", ">f8", "<f4", "<i2"], st.integers(1, 3))


def same_answer(call, laid_out, plain_args):
    """`call` gives equal results (or equal refusals) for both argument lists."""
    outcomes = []
    for args in (laid_out, plain_args):
        try:
            outcomes.append(call(*args))
        except Exception as exc:  # compared by type and message below
            outcomes.append(exc)
    got, expected = outcomes
    if isinstance(expected, Exception):
        assert type(got) is type(expected) and str(got) == str(expected)
    elif sparse.issparse(expected):
        assert got.shape == expected.shape and (got != expected).nnz == 0
    else:
        np.testing.assert_array_equal(got, expected)


@given(loc=coordinates, layout=st.sampled_from(MEMORY_LAYOUTS))
def test_projector_rows_do_not_depend_on_the_layout(loc, layout):
    loc = relaid(loc, layout)
    same_answer(gfield.gfield_make_A, (MESH, loc),
                (MESH, np.ascontiguousarray(loc, dtype=np.float64)))


class Mesh:
    def __init__(self, loc):
        self.n, self.loc = len(loc), loc


@given(vertices=coordinates, point=points,
       layouts=st.tuples(*[st.sampled_from(MEMORY_LAYOUTS)] * 2))
def test_nearest_vertex_does_not_depend_on_the_layout(vertices, point, layouts):
    vertices, point = relaid(vertices, layouts[0]), relaid(point, layouts[1])
    same_answer(gfield._find_nearest_vertex, (Mesh(vertices), point),
                (Mesh(plain(vertices)), plain(point)))


@given(corners=st.lists(points, min_size=4, max_size=4), layout=st.sampled_from(MEMORY_LAYOUTS))
def test_barycentric_weights_do_not_depend_on_the_layout(corners, layout):
    corners = [relaid(c, layout) for c in corners]
    same_answer(gfield._compute_barycentric, corners, [plain(c) for c in corners])
