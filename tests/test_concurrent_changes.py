"""Arrays changed by another thread while a kernel runs without the GIL.

The writer's sort, the stiffness product, the projector and the selected inversion read the
caller's arrays with the GIL released. Another thread writing to those arrays meanwhile may give a wrong answer or an
error, but never a read or write outside the arrays: each call below must return a well-formed
result or raise. The changes land at random moments, so each case runs for a fixed time.
"""

import threading
import time
from types import SimpleNamespace

import numpy as np
import pytest
from scipy import sparse

from corvid.meshkin.gfield import GFIELD2PcMatern, _write_meshkin_file, gfield_make_A
from corvid.meshkin.mesh import MkMesh

SECONDS = 0.5


def keep_changing(array, index, values):
    """Starts a thread that writes `values` in turn to `array[index]`; returns its stop()."""
    stop = threading.Event()

    def run():
        while not stop.is_set():
            for value in values:
                array[index] = value

    thread = threading.Thread(target=run, daemon=True)
    thread.start()

    def stopped():
        stop.set()
        thread.join()
    return stopped


def call_while_changing(array, index, values, call, errors):
    """Calls `call()` repeatedly for SECONDS while `array[index]` keeps changing."""
    stop = keep_changing(array, index, values)
    outcomes = []
    try:
        deadline = time.monotonic() + SECONDS
        while time.monotonic() < deadline:
            try:
                outcomes.append(call())
            except errors:
                outcomes.append(None)
    finally:
        stop()
    return outcomes


def test_sparse_writer(tmp_path):
    rng = np.random.default_rng(1)
    n, elems = 500, 200_000
    A = sparse.coo_matrix((rng.random(elems), (rng.integers(0, n, elems), rng.integers(0, n, elems))),
                          shape=(n, n))
    path = str(tmp_path / "A.bin")
    call_while_changing(A.row, slice(0, 1000), [0, n - 1, 10**6], lambda: _write_meshkin_file(A, path),
                        ValueError)


def test_stiffness_product(make_grid_mesh):
    from corvid.meshkin.core import mk_fem
    mesh = make_grid_mesh((0.0, 1.0), (0.0, 1.0), (150, 150))
    fem = mk_fem(mesh)
    g1 = fem.g1.copy()
    model = GFIELD2PcMatern(mesh, SimpleNamespace(c0=fem.c0, g1=g1))
    for Q in call_while_changing(g1.indices, slice(-2000, None), [1, 10**9, -(10**9)],
                                 lambda: model.precision((0.0, 0.0)), ValueError):
        if Q is not None:
            Q.check_format(full_check=True)


def test_projector():
    mesh = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (20, 20))
    rng = np.random.default_rng(2)
    loc = rng.uniform(0.0, 1.0, (100_000, 2))
    # Inside a triangle (three weights) or on a vertex (one).
    changes = [np.array([0.31, 0.52]), np.array([0.0, 0.0])]
    for A in call_while_changing(loc, slice(0, 5000), changes, lambda: gfield_make_A(mesh, loc),
                                 RuntimeError):
        if A is not None:
            A.check_format(full_check=True)
            assert A.shape == (len(loc), mesh.n)


@pytest.mark.parametrize("part", ["indices", "indptr", "d"])
def test_selected_inverse(part):
    from corvid.fit._cholesky import csc_selected_inverse as selected_inverse
    from corvid.meshkin.gfield import gfield2_pcmatern
    from scipy.sparse import linalg as sparse_linalg
    Q = gfield2_pcmatern(MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (40, 40))).precision((0.0, 0.0))
    lu = sparse_linalg.splu(Q.tocsc(), permc_spec="MMD_AT_PLUS_A", diag_pivot_thresh=0.0,
                            options={"SymmetricMode": True})
    L = sparse.csc_matrix(lu.L)
    L.sort_indices()
    arrays = {"indptr": L.indptr, "indices": L.indices, "d": lu.U.diagonal()}
    changes = {"indptr": [0, 10**9, -5], "indices": [1, 10**9, -(10**9)], "d": [1.0, -1.0, np.nan]}
    target = arrays[part]
    index = slice(len(target) // 2, len(target) // 2 + 50)
    for outcome in call_while_changing(
            target, index, changes[part],
            lambda: selected_inverse(arrays["indptr"], arrays["indices"], L.data, arrays["d"]),
            ValueError):
        if outcome is not None:
            indptr, indices, values = outcome
            assert indptr[-1] == len(indices) == len(values)
