"""Entry points called many times keep reference counts and memory flat.

Every compiled function is called in batches, on a path that succeeds and on paths that
fail. After a warm-up, no batch may change the reference count of an argument or of an
object of the function's module, and the memory in use (Python's allocated blocks, the bytes
tracemalloc traces, and the C heap, or the resident set where the C heap cannot be asked)
may not grow in every batch: a leak grows it in each one, while caches filling up and
arenas being mapped do not.
"""

import ctypes
import gc
import os
import sys
import tracemalloc
import warnings
from types import SimpleNamespace

import numpy as np
import pytest
from scipy import sparse
import scipy.sparse.linalg  # noqa: F401  (sparse.linalg)

from corvid import options
from corvid.binary import call
from corvid.fit import _cholesky, factor
from corvid.fit._cholesky import csc_selected_inverse as selected_inverse
from corvid.meshkin import _locator, gfield
from corvid.meshkin.mesh import MkMesh
from corvid.safety import expression, family

BATCHES = 8  # measured batches at most; a leak must show in every one of them
SETTLE_BATCHES = 20  # batches at most for slowly filling caches to settle before measuring

# ---- measuring -------------------------------------------------------------------------------


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _c_heap_probe():
    """glibc's count of the C heap in use, or None where there is none to ask."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd
    return in_use


def _under_sanitizer():
    """AddressSanitizer keeps freed memory in quarantine, so no heap measure holds still."""
    try:
        with open("/proc/self/maps") as f:
            return "libasan" in f.read()
    except OSError:
        return False


def _resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


C_HEAP = None if _under_sanitizer() else _c_heap_probe()
HAS_STATM = os.path.exists("/proc/self/statm") and not _under_sanitizer()


def allocator_readings():
    """Python's allocated blocks, and the C heap in use (or the resident set), each with the
    growth per call that counts as a leak."""
    readings = {"allocated blocks": (sys.getallocatedblocks(), 0.5)}
    if C_HEAP:
        readings["C heap bytes"] = (C_HEAP(), 8)
    elif HAS_STATM:
        readings["resident bytes"] = (_resident_bytes(), 1024)
    return readings


def traced_readings():
    return {"traced bytes": (tracemalloc.get_traced_memory()[0], 256)}


def watched(fn, args, kwargs):
    """The objects whose reference counts must hold: arguments (and their items), the
    function, and everything its module holds."""
    objects = [fn, *args, *kwargs.values()]
    for arg in list(objects[1:]):
        if isinstance(arg, (list, tuple)):
            objects += arg
        elif isinstance(arg, dict):
            objects += arg.values()
    module = sys.modules.get(getattr(fn, "__module__", None) or "")
    if module:  # its own objects; the import system's entries are shared by everything
        objects += [v for name, v in vars(module).items() if not name.startswith("__")]
    # Singletons and small numbers are shared by all code (counted on before Python 3.12).
    return [o for o in objects if not (o is None or o is Ellipsis or isinstance(o, (bool, int)))]


def run_batch(fn, args, kwargs, calls):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(calls):
            try:
                fn(*args, **kwargs)
            except Exception:
                pass


def growing_in_every_batch(fn, args, kwargs, calls, readings):
    """The readings that grew by their leak bound in each of up to BATCHES batches."""
    growing = None
    for _ in range(BATCHES):
        gc.collect()
        before = readings()
        run_batch(fn, args, kwargs, calls)
        gc.collect()
        grew = {name for name, (value, per_call) in readings().items()
                if value - before[name][0] >= per_call * calls}
        growing = grew if growing is None else growing & grew
        if not growing:
            break
    return growing


def settle(fn, args, kwargs, calls):
    """Batches until one grows by less than the leak bound (at most SETTLE_BATCHES): caches
    in NumPy and SciPy fill over a thousand calls or so, then stop. A leak never settles,
    so it still grows in every measured batch after this."""
    for _ in range(SETTLE_BATCHES):
        gc.collect()
        before = allocator_readings()
        run_batch(fn, args, kwargs, calls)
        gc.collect()
        if all(value - before[name][0] < per_call * calls
               for name, (value, per_call) in allocator_readings().items()):
            return


def assert_no_leak(fn, args, kwargs, calls):
    run_batch(fn, args, kwargs, 3 * calls)  # imports, interned names and caches settle
    settle(fn, args, kwargs, calls)
    gc.collect()  # what earlier calls left in reference cycles goes now, not while counting
    objects = watched(fn, args, kwargs)
    counts = [sys.getrefcount(o) for o in objects]
    growing = growing_in_every_batch(fn, args, kwargs, calls, allocator_readings)
    # Apart: tracemalloc's own tables live on the C heap and grow with what it traces.
    tracemalloc.start()
    try:
        growing |= growing_in_every_batch(fn, args, kwargs, calls, traced_readings)
    finally:
        tracemalloc.stop()
    counts_after = [sys.getrefcount(o) for o in objects]  # counted the same way as before
    changed = [(repr(o)[:60], before, after)
               for o, before, after in zip(objects, counts, counts_after) if before != after]
    assert not changed, f"reference counts changed: {changed}"
    assert not growing, f"grew in each of {BATCHES} batches of {calls} calls: {growing}"


# ---- the calls -------------------------------------------------------------------------------


def text(s):
    """`s` as a new str object: literals are immortal, so their counts would tell nothing."""
    return "".join(list(s))


def num(x):
    """`x` as a new float object, shared with no literal elsewhere."""
    return float(repr(x))


GRID = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (8, 6))
TWO = MkMesh([(0.0, 0.0), (1.0, 0.0)], [])


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


def case(fn, *args, calls=300, **kwargs):
    return fn, list(args), kwargs, calls


def with_model(fn, *args, calls=100):
    return case(fn, gfield.gfield2_pcmatern(GRID, prior_range=(0.3, 0.5)), *args, calls=calls)


def with_projector(fn, *args, calls=100):
    return case(fn, gfield.gfield_grid_projector(GRID, dims=(7, 5)), *args, calls=calls)


M, P = gfield.GFIELD2PcMatern, gfield.GfieldGridProjector


def factor_of(matrix):
    """(indptr, indices, data, d) of matrix = L D Lᵀ, read off SciPy's symmetric-mode LU."""
    lu = sparse.linalg.splu(sparse.csc_matrix(matrix), permc_spec="NATURAL",
                            diag_pivot_thresh=0.0, options={"SymmetricMode": True})
    L = sparse.csc_matrix(lu.L)
    L.sort_indices()
    return L.indptr, L.indices, L.data, lu.U.diagonal()


FACTOR = factor_of(gfield.gfield2_pcmatern(GRID).precision([0.0, 0.0]))
OPEN_FACTOR = (np.array([0, 3, 5, 7, 8]), np.array([0, 1, 3, 1, 2, 2, 3, 3]),
               np.array([1.0, 0.5, -0.5, 1, 0.25, 1, 0.5, 1]), np.array([2.0, 1.0, 3.0, 0.5]))
PRECISION = sparse.csc_matrix(gfield.gfield2_pcmatern(GRID).precision([0.0, 0.0]))
RHS = np.linspace(0.0, 1.0, 2 * PRECISION.shape[0]).reshape(-1, 2)


def factor_and_ask(matrix):
    """A supernodal factor and everything it answers: the whole life of one."""
    f = factor.cholesky(matrix, backend="supernodal")
    f.solve(RHS)
    f.logdet()
    f.factor()
    return f.refactor(matrix).selected_inverse().diagonal()


FACTORED = factor.cholesky(PRECISION, backend="supernodal")
E, F = expression._validate_expression_prior, family.enforce_allowed_family
W = gfield._write_meshkin_file

# Each case is built in `place`: a directory holding a file `known`, with the engine and the
# mesher found through their overrides and a fresh option store.
CALLS = {
    "expression prior": lambda p: case(expression._is_expression_prior, text("expression: x")),
    "not an expression prior": lambda p: case(expression._is_expression_prior, 3.5),
    "valid prior": lambda p: case(E, text("Expression: x = exp(theta); return(x)")),
    "prior without colon": lambda p: case(E, text("return(1)")),
    "prior with bad characters": lambda p: case(E, text("expression: return(x['a']) # $")),
    "prior without return": lambda p: case(E, text("expression: RETURN(x)")),
    "prior with blocked token": lambda p: case(E, text("expression: a__b = 1; return(a__b)")),
    "prior of wrong type": lambda p: case(E, [text("x:")]),
    "family names": lambda p: case(family._normalize_family_spec,
                                   [text(" Poisson"), None, text("gamma ")]),
    "family name without text": lambda p: case(family._normalize_family_spec, [Unprintable()]),
    "link in dict": lambda p: case(family._normalize_link_value, {"model": text(" Logit ")}),
    "link missing": lambda p: case(family._normalize_link_value, {}),
    "allowed family": lambda p: case(F, {"family": [text("Gaussian "), text("t")]}),
    "unsupported family": lambda p: case(F, {"family": [text("cauchy"), text("CAUCHY")]},
                                         allowed=[text("poisson"), text("gamma")]),
    "missing family": lambda p: case(F, {"link": text("x")}),
    "empty family": lambda p: case(F, {"family": [None]}),
    "family kwargs of wrong type": lambda p: case(F, [("family", 1)]),
    "all options": lambda p: case(options.quill_get_option, calls=200),
    "some options": lambda p: case(options.quill_get_option, [text("keep"), text("quill.call")]),
    "unknown option": lambda p: case(options.quill_get_option, text("quill.remote")),
    "option of wrong type": lambda p: case(options.quill_get_option, 3),
    "option defaults": lambda p: case(options.quill_get_option_default),
    "tandem features": lambda p: case(options.quill_enabled_Tandem_features),
    "set option": lambda p: case(options.quill_set_option, text("keep"), True),
    "set options by keyword": lambda p: case(options.quill_set_option, verbose=True,
                                             **{"num.threads": text("2:1")}),
    "set missing allocator": lambda p: case(options.quill_set_option, text("malloc.lib"),
                                            text("/no/such/lib.so")),
    "set unknown allocator": lambda p: case(options.quill_set_option, text("malloc.lib"),
                                            text("nomalloc")),
    "set multibyte directory": lambda p: case(options.quill_set_option,
                                              text("working.directory"), text("dir/é")),
    "set invalid mode": lambda p: case(options.quill_set_option, text("quill.mode"),
                                       text("Compact")),
    "set unknown option": lambda p: case(options.quill_set_option, text("quill.remote"), 1),
    "set in wrong form": lambda p: case(options.quill_set_option, text("keep")),
    "set with key of wrong type": lambda p: case(options.quill_set_option, 1, 2),
    "set one": lambda p: case(options._set_one, text("debug"), False),
    "post-set checks": lambda p: case(options._post_set_checks),
    "processor default": lambda p: case(options._cpu_default_string),
    "width": lambda p: case(call._bits),
    "system": lambda p: case(call._system),
    "machine": lambda p: case(call._machine),
    "package root": lambda p: case(call._package_root),
    "existing path": lambda p: case(call._resolve_path, text("bin"), text("remote")),
    "missing path": lambda p: case(call._resolve_path, text("bin"), text("nowhere")),
    "path part of wrong type": lambda p: case(call._resolve_path, text("bin"), 7),
    "engine override": lambda p: case(call.quill_call_builtin),
    "engine not installed": lambda p: case(p.without("QUILL_BIN", call.quill_call_builtin)),
    "mesher override": lambda p: case(call.meshkin_call_builtin),
    "mesher not installed": lambda p: case(p.without("MESHKIN_BIN", call.meshkin_call_builtin)),
    "engine command": lambda p: case(call.quill_call_no_remote),
    "remote engine command": lambda p: case(p.stored("quill.call", text("Remote"),
                                                     call.quill_call_no_remote)),
    "engine command of wrong type": lambda p: case(p.stored("quill.call", [text("quill")],
                                                            call.quill_call_no_remote)),
    "remote script": lambda p: case(call.quill_remote_script),
    "dense file": lambda p: case(W, np.arange(12.0).reshape(3, 4).T, p.file("d"), calls=100),
    "sparse file": lambda p: case(W, sparse.random(30, 20, density=0.2, format="csc",
                                                   random_state=1), p.file("s"), calls=100),
    "diagonal file": lambda p: case(W, np.arange(5), p.file("diagonal"), calls=100),
    "file of unsupported type": lambda p: case(W, [1.0], p.file("list"), calls=100),
    "file of complex values": lambda p: case(W, np.ones((2, 2), complex), p.file("c"), calls=100),
    "file of values beyond int32": lambda p: case(W, np.array([[2**40]]), p.file("w"), calls=100),
    "file of objects but numbers": lambda p: case(W, np.array([[1, "x"]], dtype=object),
                                                  p.file("objects"), calls=100),
    "file in missing directory": lambda p: case(W, np.ones(3), p.file("missing/x"), calls=100),
    "file name of wrong type": lambda p: case(W, np.ones(3), None, calls=100),
    "model": lambda p: case(gfield.gfield2_pcmatern, GRID, prior_sigma=(num(2.0), num(0.1)),
                                   calls=50),
    "model with bad prior": lambda p: case(gfield.gfield2_pcmatern, GRID, prior_range=[1.0]),
    "model with bad order": lambda p: case(gfield.gfield2_pcmatern, GRID, fem_order=text("2")),
    "model with alpha 1": lambda p: case(gfield.gfield2_pcmatern, GRID, alpha=1, calls=50),
    "model on no mesh": lambda p: case(gfield.gfield2_pcmatern, None),
    "precision": lambda p: with_model(M.precision, [num(0.1), num(-0.2)]),
    "precision of short theta": lambda p: with_model(M.precision, [num(0.1)]),
    "log prior": lambda p: with_model(M.log_prior, np.array([0.1, -0.2])),
    "kappa and tau": lambda p: with_model(M._compute_kappa_tau, num(0.5), num(2.0)),
    "kappa and tau of text": lambda p: with_model(M._compute_kappa_tau, text("0.5"), num(2.0)),
    "B matrices": lambda p: with_model(M._compute_b_matrices),
    "summary": lambda p: with_model(M.summary),
    "repr": lambda p: with_model(M.__repr__),
    "post-init": lambda p: with_model(M.__post_init__),
    "post-init of look-alike": lambda p: case(M.__post_init__, SimpleNamespace(mesh=GRID)),
    **{f"model {name}": (lambda fget: lambda p: with_model(fget))(getattr(M, name).fget)
       for name in ["M0", "M1", "M2", "B0", "B1", "B2", "BLC", "n_theta", "nu"]},
    "model files": lambda p: with_model(M.write_gfield_files, p.file("out/m"), calls=20),
    "model files under a file": lambda p: with_model(M.write_gfield_files, p.file("known/m")),
    "model files of wrong prefix": lambda p: with_model(M.write_gfield_files, b"model"),
    "projector matrix": lambda p: case(gfield.gfield_make_A, GRID,
                                       np.random.default_rng(2).random((100, 3)), calls=30),
    "projector by nearest vertex": lambda p: case(gfield.gfield_make_A, TWO,
                                                  [[num(0.2), num(0.1)], [5, 5]]),
    "projector of bad locations": lambda p: case(gfield.gfield_make_A, GRID, [[text("x"), 1]]),
    "projector of one coordinate": lambda p: case(gfield.gfield_make_A, GRID, np.zeros((4, 1))),
    "barycentric weights": lambda p: case(gfield._compute_barycentric, np.array([0.2, 0.2]),
                                          np.zeros(2), np.array([1.0, 0]), np.array([0, 1.0])),
    "barycentric weights of lists": lambda p: case(gfield._compute_barycentric, [num(0.2), 0],
                                                   [0, 0], [1, 0], [0, text("1")]),
    "nearest vertex": lambda p: case(gfield._find_nearest_vertex, GRID, np.array([0.3, 0.7])),
    "nearest vertex of nothing": lambda p: case(gfield._find_nearest_vertex, GRID, None),
    "grid projector": lambda p: case(gfield.gfield_grid_projector, GRID, dims=(6, 4),
                                     padding=num(0.1), calls=30),
    "grid projector, list limits": lambda p: case(gfield.gfield_grid_projector, GRID, xlim=[0, 1]),
    "grid projector on no mesh": lambda p: case(gfield.gfield_grid_projector, None),
    "projection": lambda p: with_projector(P.project, GRID.loc[:, 0].copy()),
    "unmasked projection": lambda p: with_projector(P.project, np.ones(48), False),
    "projection of wrong length": lambda p: with_projector(P.project, np.ones(3)),
    "projector summary": lambda p: with_projector(P.summary),
    **{f"projector {name}": (lambda fget: lambda p: with_projector(fget))(getattr(P, name).fget)
       for name in ["n_grid", "n_inside", "inside_2d"]},
    "location": lambda p: case(_locator._locate, GRID.loc, GRID.tv,
                               np.random.default_rng(3).uniform(-0.2, 1.2, (200, 3)), calls=50),
    "basis rows": lambda p: case(_locator._basis, GRID.loc, GRID.tv,
                                 np.random.default_rng(4).uniform(-0.2, 1.2, (200, 2)), True,
                                 False, calls=50),
    "basis rows in order": lambda p: case(_locator._basis, GRID.loc, GRID.tv,
                                          np.random.default_rng(4).uniform(-0.2, 1.2, (200, 2)),
                                          False, True, calls=50),
    "location of strided points": lambda p: case(_locator._locate, GRID.loc, GRID.tv,
                                                 np.ones((5, 6))[:, ::2]),
    "location of points of one column": lambda p: case(_locator._locate, GRID.loc, GRID.tv,
                                                       np.zeros((3, 1))),
    "location in overlapping triangles": lambda p: case(_locator._basis, GRID.loc,
                                                        np.vstack([GRID.tv, GRID.tv[:1]]),
                                                        np.zeros((2, 2)), False, False),
    "location in triangles beyond the vertices": lambda p: case(_locator._locate, GRID.loc,
                                                                GRID.tv + 40, np.zeros((2, 2))),
    "location with a list for triangles": lambda p: case(_locator._locate, GRID.loc, [[0, 1, 2]],
                                                         np.zeros((2, 2))),
    "triangles near a point": lambda p: case(_locator._triangles_near, GRID.loc, GRID.tv,
                                             (num(0.3), num(0.4)), num(0.1)),
    "selected inverse": lambda p: case(selected_inverse, *FACTOR, calls=100),
    "selected inverse, pattern closed first": lambda p: case(selected_inverse, *OPEN_FACTOR),
    "selected inverse of a malformed factor": lambda p: case(
        selected_inverse, FACTOR[0], FACTOR[1][::-1].copy(), *FACTOR[2:]),
    "selected inverse of no pivot": lambda p: case(selected_inverse, *FACTOR[:3], np.zeros(20)),
    "selected inverse of text indices": lambda p: case(selected_inverse, FACTOR[0], [text("x")],
                                                       *FACTOR[2:]),
    # Supernodal factors, over 10^4 of them in all (batches of 500 calls).
    "supernodal factor and its answers": lambda p: case(factor_and_ask, PRECISION, calls=500),
    "supernodal refactor and selected inverse": lambda p: case(
        lambda: FACTORED.refactor(PRECISION * num(2.0)).selected_inverse(), calls=500),
    "supernodal factor of a matrix with a nan": lambda p: case(
        factor.cholesky, PRECISION * np.nan, backend="supernodal"),
    "supernodal factor of an indefinite matrix": lambda p: case(
        factor.cholesky, -PRECISION, backend="supernodal"),
    "supernodal factor of an asymmetric matrix": lambda p: case(
        factor.cholesky, sparse.csc_matrix(np.triu(PRECISION.toarray())), backend="supernodal"),
    "factorize with a wrong handle": lambda p: case(_cholesky.factorize, text("x"),
                                                    PRECISION.data),
    "solve with a block of the wrong height": lambda p: case(_cholesky.solve, FACTORED._handle,
                                                             np.ones((3, 2))),
    "forward half of a solve, and with the wrong height": lambda p: case(
        lambda: (_cholesky.solve_root(FACTORED._handle, np.ones((FACTORED.n, 3))),
                 _cholesky.solve_root(FACTORED._handle, np.ones(3))), calls=500),
}


@pytest.fixture
def place(tmp_path, monkeypatch):
    engine = tmp_path / "engine"
    engine.write_text("")
    (tmp_path / "known").write_text("")
    monkeypatch.setenv("QUILL_BIN", str(engine))
    monkeypatch.setenv("MESHKIN_BIN", str(engine))
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path))  # no engine installed for this user
    store = {}
    monkeypatch.setattr(options, "_QUILL_OPTIONS", store)

    def without(variable, fn):
        monkeypatch.delenv(variable)
        return fn

    def stored(key, value, fn):
        store[key] = value
        return fn
    return SimpleNamespace(file=lambda name: text(str(tmp_path / name)), without=without,
                           stored=stored)


@pytest.mark.parametrize("case_id", sorted(CALLS))
def test_repeated_calls_leak_nothing(place, case_id):
    assert_no_leak(*CALLS[case_id](place))


def test_the_check_sees_a_leaked_object_and_a_kept_reference():
    kept = []
    with pytest.raises(AssertionError, match="grew in each"):
        assert_no_leak(lambda: kept.append(bytearray(1000)), [], {}, 100)
    argument = text("an argument")
    with pytest.raises(AssertionError, match="reference counts changed"):
        assert_no_leak(kept.append, [argument], {}, 100)
