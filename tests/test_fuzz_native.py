"""Any Python object, and well-formed but extreme values, passed to every compiled function.

The property is the same for all functions, methods and properties of the native
modules: a call returns or raises an ordinary exception. It never crashes or hangs the
interpreter, never reports a broken native call (SystemError), and a known-good call made
after every example still gives its known result, so nothing was corrupted on the way.

CORVID_HYPOTHESIS_PROFILE=deep runs the long profile; the numbers of calls made and of
inputs drawn are printed when the module finishes.
"""

import collections
import contextlib
import faulthandler
import inspect
import os
import warnings
from types import SimpleNamespace

try:
    import resource
except ImportError:  # not on Windows
    resource = None

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from scipy import sparse

from corvid import options
from corvid.binary import call
from corvid.fit import _cholesky, factor
from corvid.meshkin import _locator, gfield
from corvid.meshkin.core import mk_fem
from corvid.meshkin.mesh import MkMesh
from corvid.safety import expression, family
from corvid.safety.errors import SafetyError

from array_layouts import relaid

MODULES = [expression, family, options, call, gfield, _locator, _cholesky]
TALLY = collections.Counter()
HANG_SECONDS = 120

# ---- hostile objects -------------------------------------------------------------------------


def raising(protocol):
    """An instance of a class whose `protocol` method raises."""
    def refuse(self, *args, **kwargs):
        raise RuntimeError(f"{protocol} refused")
    cls = type(f"Raising{protocol.strip('_').title()}", (),
               {protocol: refuse, "__repr__": lambda self: f"<raising {protocol}>"})
    return cls()


class Liar:
    """Answers every conversion with a value of the wrong type or out of range."""
    def __len__(self): return -1
    def __float__(self): return "1.0"
    def __index__(self): return 1.5
    def __int__(self): return None
    def __str__(self): return 3
    def __bool__(self): return 2
    def __iter__(self): return 7
    def __repr__(self): return "<liar>"


class Text(str): pass
class Pair(tuple): pass
class Table(dict): pass
class Items(list): pass
class Whole(int): pass
class Real(float): pass


class Sly(str):
    """A str whose methods return what no str method returns."""
    def strip(self, *args): return [self]
    def lower(self): return 5
    def startswith(self, *args): raise RuntimeError("startswith refused")


class NoAttributes:
    """Raises RuntimeError, not AttributeError, for any missing attribute."""
    def __getattr__(self, name):
        if name.startswith("__") or name == "_repr_pretty_":  # left to printing and copying
            raise AttributeError(name)
        raise RuntimeError(f"attribute {name} refused")
    def __repr__(self): return "<no attributes>"


class FalseLength:
    """Claims two items but has none."""
    def __len__(self): return 2
    def __getitem__(self, i): raise IndexError(i)
    def __repr__(self): return "<false length>"


PROTOCOLS = ["__float__", "__index__", "__int__", "__len__", "__iter__", "__str__", "__eq__",
             "__hash__", "__bool__", "__getitem__", "__fspath__", "__array__",
             "__lt__", "__sub__", "__mul__", "__matmul__"]
HOSTILE = [raising(p) for p in PROTOCOLS] + [
    Liar(), NoAttributes(), FalseLength(), Sly("gaussian"), Sly("expression: return(1)"), object()]
# Drawn by index: hypothesis hashes and compares the members of sampled_from.
hostile = st.integers(0, len(HOSTILE) - 1).map(HOSTILE.__getitem__)
# Integers far beyond any array size, so NumPy refuses them at once rather than allocating.
HUGE_INTS = [2**40, 2**62, 2**63 - 1, 2**63, 2**64, 10**30, -2**63, -2**63 - 1, -1]

# ---- values ----------------------------------------------------------------------------------

# No path separators: a text used as a file name stays in the working directory.
texts = st.text(st.characters(categories=["L", "N", "P", "S", "Z", "Cc", "Cs"],
                              exclude_characters="/\\"), max_size=8)
numbers = st.one_of(st.booleans(), st.integers(-3, 12), st.sampled_from(HUGE_INTS), st.floats(),
                    st.complex_numbers(), st.builds(Whole, st.integers(-3, 12)),
                    st.builds(Real, st.floats()))
scalars = st.one_of(st.none(), numbers, texts, st.binary(max_size=4), st.builds(Text, texts),
                    hostile, st.just(Ellipsis))

dtypes = st.one_of(hnp.boolean_dtypes(), hnp.integer_dtypes(endianness="?"),
                   hnp.unsigned_integer_dtypes(endianness="?"),
                   hnp.floating_dtypes(endianness="?", sizes=(16, 32, 64, 128)),
                   hnp.complex_number_dtypes(endianness="?"),
                   hnp.datetime64_dtypes(endianness="?"), hnp.timedelta64_dtypes(endianness="?"),
                   hnp.byte_string_dtypes(max_len=3), hnp.unicode_string_dtypes(max_len=3))
LAYOUTS = ["C", "fortran", "reversed", "strided", "read-only", "broadcast", "unaligned",
           "subclass"]


def object_array(items):
    a = np.empty(len(items), dtype=object)
    for i, item in enumerate(items):  # element by element: no conversion of the items
        a[i] = item
    return a


shapes = hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=6)
arrays = st.one_of(
    st.builds(relaid, hnp.arrays(dtypes, shapes), st.sampled_from(LAYOUTS)),
    st.builds(object_array, st.lists(st.one_of(numbers, hostile), max_size=4)),
)
coordinates = st.builds(  # (rows, 2 or 3) real coordinates, extreme values included
    relaid,
    hnp.arrays(st.sampled_from(["<f8", ">f8", "<f4", "<i8", "<u2", "<f2", "?"]),
               st.tuples(st.integers(0, 8), st.integers(1, 3))),
    st.sampled_from(LAYOUTS))

vectors = st.builds(  # one point: x, y and maybe z
    relaid, hnp.arrays(st.sampled_from(["<f8", ">f8", "<f4", "<i4", "<f2"]), st.integers(1, 3)),
    st.sampled_from(LAYOUTS))

SPARSE_FORMATS = ["csr", "csc", "coo", "lil", "dok", "dia", "bsr"]
sparse_values = hnp.arrays(st.sampled_from(["?", "i1", "u2", "i4", "i8", "u8", "f4", "f8", "g",
                                            "c16"]),
                           st.tuples(st.integers(0, 5), st.integers(0, 5)))


def as_sparse(a, fmt, array_api):
    matrix = (sparse.coo_array if array_api else sparse.coo_matrix)(a)
    return matrix.asformat(fmt)


@st.composite
def triplets(draw, sizes=(1, 3, 5)):
    """A COO matrix with duplicate entries and explicit zeros."""
    nrow, ncol = draw(st.sampled_from(sizes)), draw(st.sampled_from(sizes))
    k = draw(st.integers(0, 6))
    rows = draw(st.lists(st.integers(0, min(nrow, 5) - 1), min_size=k, max_size=k))
    cols = draw(st.lists(st.integers(0, min(ncol, 5) - 1), min_size=k, max_size=k))
    values = draw(st.lists(st.sampled_from([0.0, 1.5, -2.0, np.nan, np.inf]), min_size=k,
                           max_size=k))
    return sparse.coo_matrix((values, (rows, cols)), shape=(nrow, ncol))


matrices = st.one_of(
    st.builds(as_sparse, sparse_values, st.sampled_from(SPARSE_FORMATS), st.booleans()),
    triplets(),
)
# Shapes at and beyond the file format's int32 limit. Only for the matrix writer, which writes
# the shape alone: any product with such a matrix would make a dense vector of gigabytes.
vast_matrices = triplets(sizes=(1, 2**31 - 1, 2**31, 2**32))

GRID = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (4, 3))
MESHES = [
    GRID,
    MkMesh.from_points(np.random.default_rng(7).random((12, 2))),
    MkMesh([(0.0, 0.0), (1.0, 0.0)], []),                       # no triangulation possible
    MkMesh([(0.0, 0.0), (1.0, 1.0), (2.0, 2.0)], []),           # all on one line
    MkMesh([(0.0, 0.0, 1.0), (1e300, 0.0, 2.0), (0.0, 1e-300, 3.0)], [(0, 1, 2)]),
]
FEM = mk_fem(GRID)

# Sizes and counts get values NumPy refuses at once: never one it would try to allocate.
counts = st.one_of(st.integers(-2, 12), st.sampled_from(HUGE_INTS), st.floats(),
                   st.builds(Whole, st.integers(0, 12)), hostile, texts,
                   st.none())


def anything_but_arrays():
    def containers(kids):
        items, mapping = st.lists(kids, max_size=3), st.dictionaries(texts, kids, max_size=3)
        return st.one_of(items, items.map(tuple), items.map(Items), items.map(Pair), mapping,
                         mapping.map(Table))
    return st.recursive(scalars, containers, max_leaves=6)


anything = st.one_of(anything_but_arrays(), arrays, matrices, st.sampled_from(MESHES))


def mostly(usual, *rest):
    """`usual` three times as often as each of the other strategies."""
    return st.one_of(usual, usual, usual, *rest)


def pair_of(values):
    return st.one_of(st.tuples(values, values), st.lists(values, min_size=0, max_size=3),
                     st.builds(Pair, st.lists(values, max_size=3)), arrays)


finite = st.floats(-1e6, 1e6)
floats_or_worse = st.one_of(st.floats(), st.integers(-3, 3), hostile, texts)
triangle_lists = st.builds(  # (m, 3) vertex indices, some beyond the vertices
    relaid,
    hnp.arrays(st.sampled_from(["<i8", ">i8", "<i4", "<i2", "<f8"]),
               st.tuples(st.integers(0, 6), st.sampled_from([3, 3, 3, 2])),
               elements=st.integers(-2, 9)),
    st.sampled_from(LAYOUTS))
duck_meshes = st.builds(SimpleNamespace, n=counts, loc=st.one_of(coordinates, arrays, anything))
duck_fems = st.builds(SimpleNamespace, c0=st.one_of(arrays, anything),
                      g1=st.one_of(matrices, anything))
prior_texts = st.lists(st.sampled_from(
    ["expression:", " Expression :", "return(", ")", "theta", "__", "eval", "#", ":", " ",
     "\t", "\n", "x", "1", "'", "[", "é", "\ud800", "\x00", "exp(", ";"]), max_size=8).map("".join)
family_specs = st.one_of(texts, st.lists(st.one_of(texts, st.none()), max_size=3),
                         st.sampled_from(["gaussian", " Poisson ", "t"]))
OPTION_KEYS = list(options.quill_get_option_default()) + ["quill.call", "meshkin.call"]
option_keys = mostly(st.sampled_from(OPTION_KEYS),
                     st.sampled_from(["quill.remote", "num_threads"]), texts)
option_values = st.one_of(st.sampled_from(["remote", "QUILL.remote", "experimental", "compact",
                                           "default", "/no/such/lib.so", "je", "dir/é"]),
                          anything_but_arrays())

# A factor L D Lᵀ of order 4 and its parts changed one at a time: the selected inverse's input.
FACTOR = sparse.csc_matrix(np.array([[1.0, 0, 0, 0], [0.5, 1, 0, 0], [0, 0.25, 1, 0],
                                     [-0.5, 0, 0.5, 1]]))
factor_indices = st.one_of(st.just(FACTOR.indices), st.lists(st.integers(-2, 5), max_size=9).map(
    lambda v: np.array(v, dtype=np.int32)), st.sampled_from(HUGE_INTS).map(
    lambda v: np.array([0, 1, v, 1, 2, 2, 3], dtype=object)))
factor_pointers = st.one_of(st.just(FACTOR.indptr), st.lists(st.integers(-1, 9), max_size=6).map(
    np.array))
pivots = hnp.arrays(np.float64, st.integers(0, 5), elements=st.floats(allow_nan=True))
# The supernodal factor of FACTOR D FACTORᵀ (native handle), and right-hand sides for it: of
# its order or not, non-finite values included, in any layout.
DENSE = FACTOR.toarray() @ np.diag([2.0, 1.0, 3.0, 0.5]) @ FACTOR.toarray().T
FACTOR_HANDLE = factor.cholesky(sparse.csc_matrix(DENSE), backend="supernodal")._handle
right_hand_sides = st.builds(
    relaid, hnp.arrays(st.sampled_from(["<f8", ">f8", "<f4", "<i8", "?", "c16"]),
                       st.one_of(st.tuples(st.sampled_from([4, 4, 3])),
                                 st.tuples(st.sampled_from([4, 4, 0, 5]), st.integers(0, 9)))),
    st.sampled_from(LAYOUTS))

# Values by parameter (or attribute) name, extreme ones included.
BY_NAME = {
    "indptr": mostly(factor_pointers, arrays), "indices": mostly(factor_indices, arrays),
    "data": mostly(st.just(FACTOR.data), hnp.arrays(np.float64, st.integers(0, 9)), arrays),
    "d": mostly(st.just(np.array([2.0, 1.0, 3.0, 0.5])), pivots, arrays),
    "factor": mostly(st.just(FACTOR_HANDLE), st.none()),
    "b": mostly(right_hand_sides, arrays), "z": mostly(right_hand_sides, arrays),
    "rhs": mostly(right_hand_sides, arrays), "out": st.one_of(st.none(), right_hand_sides, arrays),
    "prior": mostly(prior_texts, st.builds(Text, prior_texts)),
    "family": family_specs,
    "link_val": st.builds(lambda v: {"model": v}, st.one_of(texts, st.none())),
    "kwargs": mostly(st.builds(lambda v: {"family": v}, family_specs),
                     st.dictionaries(texts, anything_but_arrays(), max_size=3)),
    "allowed": st.one_of(st.lists(texts, max_size=3), texts),
    "option": st.one_of(option_keys, st.lists(option_keys, max_size=3), st.none()),
    "value": option_values,
    "A": st.one_of(arrays, matrices, vast_matrices),
    "filename": st.one_of(st.sampled_from(["m.bin", "missing/m.bin", "known.bin/m", ".", "",
                                           "x" * 300, "a\x00b", "\ud800", "é.bin"]), texts),
    "prefix": st.one_of(st.sampled_from(["model", "out/a/b/model", "out/", "known.bin/m", "",
                                         "a\x00/m", "\ud800/m"]), texts),
    "mesh": mostly(st.sampled_from(MESHES), duck_meshes),
    "fem": mostly(st.just(FEM), duck_fems),
    "loc": mostly(coordinates, vectors, arrays), "lattice": mostly(coordinates, arrays),
    "point": mostly(vectors, coordinates, arrays), "v0": mostly(vectors, coordinates, arrays),
    "field": mostly(hnp.arrays(np.float64, 12), arrays),
    "alpha": mostly(st.sampled_from([2, 2.0]), st.sampled_from([1, 1.5]), floats_or_worse),
    "_d": mostly(st.just(2), counts),
    "prior_range": mostly(st.tuples(st.floats(0.01, 100), st.floats(0.01, 0.99)),
                          pair_of(floats_or_worse)),
    "theta": mostly(st.tuples(st.floats(-5, 5), st.floats(-5, 5)), pair_of(floats_or_worse)),
    "range_val": mostly(st.floats(0.01, 100), floats_or_worse),
    "fem_order": mostly(st.sampled_from([1, 2]), counts),
    "n": counts,
    "lambda_range": mostly(st.floats(0.01, 10), floats_or_worse),
    "xlim": mostly(st.one_of(st.none(), st.tuples(finite, finite)), pair_of(floats_or_worse)),
    "dims": mostly(st.tuples(st.integers(0, 12), st.integers(0, 12)),
                   st.tuples(counts, counts), st.lists(counts, max_size=3).map(tuple),
                   st.builds(Pair, st.lists(counts, max_size=3)), counts),
    "padding": mostly(st.floats(-1, 1), floats_or_worse),
    "x": arrays, "y": arrays, "inside": arrays,
    # The meshes' own arrays, so that a vertex and a triangle array sometimes match.
    "vertices": mostly(st.sampled_from([m.loc for m in MESHES]), coordinates, arrays),
    "triangles": mostly(st.sampled_from([m.tv for m in MESHES]), triangle_lists, arrays),
    "points": mostly(coordinates, vectors, arrays),
    "nearest": mostly(st.booleans(), anything_but_arrays()),
    "in_order": mostly(st.booleans(), anything_but_arrays()),
    "pad": mostly(st.floats(), floats_or_worse),
    "proj": matrices, "M0": matrices, "M1": matrices, "M2": matrices,
    "_B0": arrays, "_B1": arrays, "_B2": arrays, "_BLC": arrays,
}
for twin, name in [("v1", "v0"), ("v2", "v0"), ("prior_sigma", "prior_range"),
                   ("sigma", "range_val"), ("ylim", "xlim"), ("n_gfield", "n"),
                   ("lambda_sigma", "lambda_range")]:
    BY_NAME[twin] = BY_NAME[name]
# The positional arguments of functions taking *args, as a whole.
VARARGS = {
    "args": mostly(st.tuples(option_keys, option_values), st.lists(option_values, max_size=3)),
    "parts": st.lists(st.one_of(texts, st.sampled_from(["bin", "remote", "..", ""])), max_size=4),
}
SIZES = {"n", "n_gfield", "fem_order", "dims", "_d"}


def arbitrary(name):
    """Any object; a size never gets an array, whose values could ask NumPy for gigabytes."""
    return anything_but_arrays() if name in SIZES else anything


def plausible(name):
    """What a caller might pass as `name`, extreme values included."""
    return BY_NAME.get(name, arbitrary(name))


# ---- the functions ---------------------------------------------------------------------------


def native_callables():
    """Every compiled function of the five modules, with the class of a method's instance."""
    for module in MODULES:
        for name, value in sorted(vars(module).items()):
            if type(value).__name__ == "native_function":
                yield f"{module.__name__}.{name}", value, None
            elif isinstance(value, type) and value.__module__ == module.__name__:
                yield f"{module.__name__}.{name}", value, None
                for member_name, member in vars(value).items():
                    getter = member.fget if isinstance(member, property) else member
                    if type(getter).__name__ == "native_function":
                        yield f"{module.__name__}.{name}.{member_name}", getter, value


CALLABLES = {name: (fn, owner) for name, fn, owner in native_callables()}


MODEL_FIELDS = ["mesh", "fem", "alpha", "prior_range", "prior_sigma", "n_gfield", "lambda_range",
                "lambda_sigma", "_d", "_B0", "_B1", "_B2", "_BLC"]
PROJECTOR_FIELDS = ["mesh", "xlim", "ylim", "dims", "x", "y", "lattice", "proj", "inside"]
FEM_MESHES = MESHES[:2]  # the meshes with triangles of positive area


@st.composite
def instances_of(draw, owner):
    """A real instance, sometimes with one field changed afterwards; or a look-alike object
    whose attributes have the fields' names and any values."""
    if owner is gfield.GFIELD2PcMatern:
        prior = st.tuples(st.floats(0.01, 100), st.floats(0.01, 0.99))
        fields, build = MODEL_FIELDS, st.builds(
            gfield.gfield2_pcmatern, st.sampled_from(FEM_MESHES), prior_range=prior,
            prior_sigma=prior)
    else:
        fields, build = PROJECTOR_FIELDS, st.builds(
            gfield.gfield_grid_projector, st.sampled_from(MESHES),
            dims=st.tuples(st.integers(1, 6), st.integers(1, 6)), padding=st.floats(-0.5, 0.5))
    attributes = {f: mostly(plausible(f), arbitrary(f)) for f in fields}
    kind = draw(st.sampled_from(["real", "real", "changed", "look-alike", "sparse look-alike"]))
    if kind.endswith("look-alike"):
        optional = kind.startswith("sparse")
        values = draw(st.fixed_dictionaries({} if optional else attributes,
                                            optional=attributes if optional else None))
        return SimpleNamespace(**values)
    instance = draw(build)
    if kind == "changed":
        field = draw(st.sampled_from(fields))
        object.__setattr__(instance, field, draw(attributes[field]))
    return instance


@st.composite
def arguments(draw, fn, owner):
    """Plausible arguments for `fn` by its signature, except at most one that may be any
    object. After a default is left out, the rest are passed by keyword."""
    params = list(inspect.signature(fn).parameters.values())
    names = [p.name for p in params]
    odd_one = draw(st.sampled_from([None] * max(3, len(names)) + names))

    def value(name):
        if name == odd_one:
            return arbitrary(name)
        return instances_of(owner) if name == "self" and owner else plausible(name)

    args, kwargs, by_keyword = [], {}, False
    for p in params:
        if p.kind is p.VAR_POSITIONAL:
            odd = p.name == odd_one
            args += draw(st.lists(arbitrary(p.name), max_size=3) if odd else VARARGS[p.name])
        elif p.kind is p.VAR_KEYWORD:  # only the option setter takes **kwargs
            if p.name == odd_one:
                kwargs.update(draw(st.dictionaries(option_keys, arbitrary(p.name), max_size=3)))
            elif not args:
                kwargs.update(draw(st.dictionaries(option_keys, option_values, max_size=3)))
        elif p.default is not p.empty and draw(st.booleans()):
            by_keyword = True
        elif by_keyword or p.kind is p.KEYWORD_ONLY:
            kwargs[p.name] = draw(value(p.name))
        else:
            args.append(draw(value(p.name)))
    return args, kwargs


# ---- running them ----------------------------------------------------------------------------


def outcome(fn, args, kwargs):
    """The result of `fn(*args, **kwargs)` or the exception it raised; a hang ends the run."""
    TALLY["calls"] += 1
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return fn(*args, **kwargs)
    except Exception as exc:  # any ordinary exception is an acceptable answer
        return exc
    finally:
        faulthandler.cancel_dump_traceback_later()


def expected_matrix_file():
    header = np.array([8, 0, 6, 2, 3, 0, 1, 0, 1], dtype=np.int32).tobytes()
    return header + np.array([1, 4, 2, 5, 3, 6], dtype=np.float64).tobytes()


def expression_still_works(workdir):
    assert expression._is_expression_prior("  Expression: return(1)") is True
    with pytest.raises(SafetyError) as refused:
        expression._validate_expression_prior("expression: RETURN(x)")
    assert str(refused.value) == ("corvid safety check: expression prior must contain a "
                                  "return() statement.")


def family_still_works(workdir):
    assert family.enforce_allowed_family({"family": [" Poisson", None]}) == ("poisson",)
    with pytest.raises(SafetyError, match="^corvid safety check: 'family' may not be empty.$"):
        family.enforce_allowed_family({"family": []})


def options_still_work(workdir):
    assert options.quill_get_option(["keep", "quill.mode"]) == [False, "compact"]


def call_still_works(workdir):
    assert call._resolve_path() == call._package_root()
    assert call.meshkin_call_builtin() == os.environ["MESHKIN_BIN"]


def gfield_still_works(workdir):
    path = os.path.join(workdir, "known.bin")
    assert gfield._write_meshkin_file(np.array([[1.0, 2, 3], [4, 5, 6]]), path) == path
    with open(path, "rb") as f:
        assert f.read() == expected_matrix_file()
    A = gfield.gfield_make_A(GRID, [[0.5, 0.25]])
    assert A.shape == (1, 12) and A.sum() == pytest.approx(1.0)


def locator_still_works(workdir):
    triangle, weights = _locator._locate(GRID.loc, GRID.tv, np.array([[0.5, 0.25]]))
    assert triangle.tolist() == [1]
    assert weights[0].tolist() == pytest.approx([0.5, 0.0, 0.5], abs=1e-15)


def cholesky_still_works(workdir):
    indptr, indices, values = _cholesky.csc_selected_inverse(
        FACTOR.indptr, FACTOR.indices, FACTOR.data, np.array([2.0, 1.0, 3.0, 0.5]))
    dense = FACTOR.toarray() @ np.diag([2.0, 1.0, 3.0, 0.5]) @ FACTOR.toarray().T
    assert list(indptr) == [0, 3, 6, 8, 9]
    assert values[0] == pytest.approx(np.linalg.inv(dense)[0, 0], rel=1e-12)
    z = np.array([[1.0, 0.0], [0.0, 2.0], [3.0, 0.0], [0.0, 1.0]])
    x = _cholesky.solve_transposed_root(FACTOR_HANDLE, z)
    assert np.einsum("ij,ij->j", x, DENSE @ x) == pytest.approx([10.0, 5.0], rel=1e-12)
    rhs = np.array([[1.0, 2.0], [3.0, 4.0]])
    _cholesky.csc_unit_transposed_solve(np.array([0, 2, 3]), np.array([0, 1, 1]),
                                        np.array([1.0, 0.5, 1.0]), rhs)
    assert rhs.tolist() == [[-0.5, 0.0], [3.0, 4.0]]


# Calls with known results, made after every example in the module it exercised.
STILL_WORKS = {expression: expression_still_works, family: family_still_works,
               options: options_still_work, call: call_still_works, gfield: gfield_still_works,
               _locator: locator_still_works, _cholesky: cholesky_still_works}


@contextlib.contextmanager
def bounded_address_space(extra=4 << 30):
    """Caps this process's address space while fuzzing, so that an input asking NumPy for
    gigabytes meets a MemoryError rather than the machine's out-of-memory killer. Not under
    AddressSanitizer, which reserves terabytes of address space for itself."""
    if resource is None or not os.path.exists("/proc/self/statm"):
        yield
        return
    with open("/proc/self/maps") as f:
        if "libasan" in f.read():
            yield
            return
    with open("/proc/self/statm") as f:
        size = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    limit = size + extra if hard == resource.RLIM_INFINITY else min(size + extra, hard)
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


@pytest.fixture(scope="module")
def workdir(tmp_path_factory, request):
    """A private working directory, existing executables for the option reads, and a bound
    on memory."""
    path = tmp_path_factory.mktemp("fuzz")
    engine = path / "quill"
    engine.write_text("")
    with bounded_address_space(), pytest.MonkeyPatch.context() as mp:
        mp.chdir(path)
        mp.setenv("QUILL_BIN", str(engine))
        mp.setenv("MESHKIN_BIN", str(engine))
        mp.delenv("QUILL_REMOTE_BIN", raising=False)
        yield str(path)
    capture = request.config.pluginmanager.get_plugin("capturemanager")
    with capture.global_and_fixture_disabled() if capture else contextlib.nullcontext():
        print(f"\nnative fuzzing: {TALLY['calls']} calls, {TALLY['inputs']} inputs drawn")


class Restored:
    """Puts back the module attributes and the option store that an example may change."""
    def __enter__(self):
        self.namespaces = {m: dict(vars(m)) for m in MODULES}
        self.stored = dict(options._QUILL_OPTIONS)
        return self

    def __exit__(self, *exc):
        for module, namespace in self.namespaces.items():
            for name in set(vars(module)) - set(namespace):
                delattr(module, name)
            for name, value in namespace.items():
                setattr(module, name, value)
        options._QUILL_OPTIONS.clear()
        options._QUILL_OPTIONS.update(self.stored)


def module_of(name):
    return next(m for m in MODULES if name.startswith(m.__name__ + "."))


def run_example(name, fn, args, kwargs, workdir, rebind=None):
    """Calls `fn` (with one module name rebound, if asked) and checks its module afterwards."""
    TALLY["inputs"] += len(args) + len(kwargs) + (rebind is not None)
    module = module_of(name)
    with Restored():
        if rebind:
            setattr(module, *rebind)
        result = outcome(fn, args, kwargs)
    assert not isinstance(result, SystemError), f"broken native call: {result!r}"
    STILL_WORKS[module](workdir)


MODULE_IDS = {m: m.__name__ for m in MODULES}
# Every function gets a share of the profile's examples; the module-wide properties all.
PER_FUNCTION = settings(max_examples=max(10, settings.default.max_examples // 5))


@pytest.mark.parametrize("name", sorted(CALLABLES))
@PER_FUNCTION
@given(data=st.data())
def test_any_arguments_return_or_raise(workdir, name, data):
    fn, owner = CALLABLES[name]
    args, kwargs = data.draw(arguments(fn, owner))
    run_example(name, fn, args, kwargs, workdir)


def functions_of(module):
    return sorted(name for name in CALLABLES if module_of(name) is module)


@pytest.mark.parametrize("module", MODULES, ids=MODULE_IDS.get)
@given(data=st.data())
def test_any_argument_list_binds_or_raises(workdir, module, data):
    name = data.draw(st.sampled_from(functions_of(module)))
    args = data.draw(st.lists(anything, max_size=6))
    parameter_names = st.sampled_from(["self", "mesh", "prior", "A", "option", "kwargs",
                                       "allowed", "parts", "theta"])
    kwargs = data.draw(st.dictionaries(st.one_of(texts, parameter_names), anything, max_size=3))
    run_example(name, CALLABLES[name][0], args, kwargs, workdir)


@pytest.mark.parametrize("module", MODULES, ids=MODULE_IDS.get)
@given(data=st.data())
def test_module_names_rebound_to_anything(workdir, module, data):
    """Functions look module names up at each call; any object found there is survived."""
    name = data.draw(st.sampled_from(functions_of(module)))
    fn, owner = CALLABLES[name]
    names = sorted(n for n in vars(module) if not n.startswith("__"))
    rebound = data.draw(st.sampled_from(names))
    replacement = data.draw(anything)
    args, kwargs = data.draw(arguments(fn, owner))
    run_example(name, fn, args, kwargs, workdir, rebind=(rebound, replacement))


# ---- faults the fuzzing found ----------------------------------------------------------------


class ReturnsItsClass(Exception):
    def __new__(cls, *args):
        return cls


class ReturnsNothing(Exception):
    def __new__(cls, *args):
        return None


@pytest.mark.parametrize("factory, expected", [
    (ReturnsItsClass, "calling <class 'test_fuzz_native.ReturnsItsClass'> should have returned "
                      "an instance of BaseException, not <class 'type'>"),
    (lambda message: ReturnsNothing, "calling <class 'test_fuzz_native.ReturnsNothing'> should "
                                     "have returned an instance of BaseException, not "
                                     "<class 'NoneType'>"),
    (lambda message: 42, "exceptions must derive from BaseException"),
])
@pytest.mark.parametrize("refused", [
    lambda: family.enforce_allowed_family({}),
    lambda: expression._validate_expression_prior("return(1)"),
])
def test_a_strange_safety_error_is_a_type_error_as_raise_makes_it(monkeypatch, factory, expected,
                                                                 refused):
    for module in (family, expression):
        monkeypatch.setattr(module, "SafetyError", factory)
    with pytest.raises(TypeError) as error:
        refused()
    assert str(error.value) == expected.replace("test_fuzz_native", __name__)


@pytest.mark.parametrize("kwargs, quoted", [
    ({"family": "\ud800"}, "unsupported family requested: \ud800. Only"),
    ({"family": "gaussian", "allowed": ["\udcff"]}, "Only \udcff allowed."),
])
def test_a_family_name_with_a_lone_surrogate_is_refused_as_unsupported(kwargs, quoted):
    allowed = {"allowed": kwargs.pop("allowed")} if "allowed" in kwargs else {}
    with pytest.raises(SafetyError) as refused:
        family.enforce_allowed_family(kwargs, **allowed)
    assert quoted in str(refused.value)
