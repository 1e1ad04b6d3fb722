"""Evaluations at several theta at once: how many run together, and fits whose results do not
depend on it (the Laplace model's warm starts included)."""

import io
import os
import threading
import time
import warnings

import numpy as np
import pytest

from corvid.fit import SpaceTime, fit, workers
from corvid.fit.factor import NotPositiveDefiniteError
from corvid.fit.marginals import ridge_scales
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.mesh import MkMesh

MESH = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (8, 7))
MODEL = gfield2_pcmatern(MESH, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))


@pytest.mark.parametrize("cores, running, bytes_each, free, want", [
    ([2], [1], 0, None, 2),                # an idle machine: every core
    ([2], [2, 3, 2], 0, None, 1),          # another process busy: one, in the calling thread
    ([2], [4, 1, 3], 0, None, 2),          # a passing command is not a busy core
    ([8], [3], 0, None, 6),
    ([64], [1], 0, None, workers.MAX_WORKERS),
    ([2], [1], 10**9, 3 * 10**9, 1),       # not the memory for two more at once
    ([4], [1], 10**9, 8 * 10**9, 4),
])
def test_the_count_follows_the_free_cores_and_memory(monkeypatch, cores, running, bytes_each, free, want):
    readings = iter(running * workers.SAMPLES)
    real_open = open

    def fake_open(path, *args, **kwargs):
        if path == "/proc/loadavg":
            return io.StringIO(f"0.50 0.40 0.30 {next(readings)}/300 12345\n")
        return real_open(path, *args, **kwargs)

    monkeypatch.delenv(workers.ENVIRONMENT, raising=False)
    monkeypatch.setattr(workers, "_cores", lambda: cores[0])
    monkeypatch.setattr("builtins.open", fake_open)
    monkeypatch.setattr(workers._memory, "available_memory", lambda: free)
    assert workers.worker_count(bytes_each) == want


def test_a_process_pinned_to_a_few_cores_of_a_busy_machine_uses_them(monkeypatch):
    monkeypatch.delenv(workers.ENVIRONMENT, raising=False)
    monkeypatch.setattr(workers, "_cores", lambda: 4)
    monkeypatch.setattr(os, "cpu_count", lambda: 64)
    monkeypatch.setattr(workers, "_others_running", lambda machine: 30)
    assert workers.worker_count() == 4
    monkeypatch.setattr(workers, "_others_running", lambda machine: 62)
    assert workers.worker_count() == 2


def test_without_the_kernels_count_the_load_average_stands_in(monkeypatch):
    def no_file(*args, **kwargs):
        raise OSError("no /proc here")

    monkeypatch.delenv(workers.ENVIRONMENT, raising=False)
    monkeypatch.setattr(workers, "_cores", lambda: 4)
    monkeypatch.setattr("builtins.open", no_file)
    monkeypatch.setattr(os, "getloadavg", lambda: (2.2, 2.0, 2.0))
    assert workers.worker_count() == 3


@pytest.mark.parametrize("given, want", [("1", 1), ("3", 3), (" 2 ", 2), ("99", workers.MAX_WORKERS)])
def test_the_environment_sets_the_count(monkeypatch, given, want):
    monkeypatch.setenv(workers.ENVIRONMENT, given)
    assert workers.worker_count() == want


@pytest.mark.parametrize("given", ["0", "-1", "two", "1.5"])
def test_a_count_that_is_not_a_whole_number_from_one_is_refused_before_any_fitting(monkeypatch, given):
    monkeypatch.setenv(workers.ENVIRONMENT, given)
    with pytest.raises(ValueError, match="CORVID_WORKERS"):
        workers.worker_count()
    loc = np.random.default_rng(0).uniform(0, 1, (30, 2))
    with pytest.raises(ValueError, match="CORVID_WORKERS"):
        fit(MODEL, loc, np.ones(30), family="poisson")


def test_results_keep_their_places_and_the_first_unexpected_failure_is_raised():
    def work(k):
        time.sleep(0.01 * (5 - k))       # the later ones finish first
        if k == 1:
            raise NotPositiveDefiniteError("far out")
        if k in (3, 4):
            raise KeyError(k)
        return k * k, threading.current_thread().name

    out = workers.run_all(lambda k: work(k) if k in (1, 3, 4) else work(k)[0], range(3), 3,
                          expected=(NotPositiveDefiniteError,))
    assert out[0] == 0 and out[2] == 4 and isinstance(out[1], NotPositiveDefiniteError)
    with pytest.raises(KeyError, match="3"):
        workers.run_all(work, range(5), 3, expected=(NotPositiveDefiniteError,))


def test_a_failure_stands_in_bare_and_every_item_runs_in_the_callers_numpy_settings():
    def work(k):
        held = np.ones(1000)   # what a failed evaluation's frames would hold
        if k % 2:
            raise NotPositiveDefiniteError(f"far out {held.size}")
        return np.geterr()["divide"]

    with np.errstate(divide="ignore"):
        out = workers.run_all(work, range(4), 2, expected=(NotPositiveDefiniteError,))
    assert out[0] == out[2] == "ignore"
    for failure in out[1::2]:
        assert isinstance(failure, NotPositiveDefiniteError)
        assert failure.__traceback__ is None and failure.__context__ is None


def test_the_ridge_is_measured_a_distance_at_a_time_as_it_is_point_by_point():
    cov = np.array([[0.5, 0.2, 0.0], [0.2, 0.3, 0.05], [0.0, 0.05, 0.2]])
    precision = np.linalg.inv(cov)

    def evaluate(x):
        if x[0] > 2.2:
            raise NotPositiveDefiniteError("out of range")
        return -0.5 * x @ precision @ x + 0.2 * x[0] ** 3 / (1 + x[0] ** 2) + 0.3 * x[1] * x[2] ** 2

    batches = []

    def evaluate_all(offsets):
        batches.append(len(offsets))
        out = []
        for offset in offsets:
            try:
                out.append(evaluate(offset))
            except NotPositiveDefiniteError:
                out.append(None)
        return out

    together = ridge_scales(None, cov, evaluate_all)
    np.testing.assert_array_equal(together, ridge_scales(evaluate, cov))
    # the centre's probes along two directions each, then every side at 1.5 sd along both,
    # at 3 sd along the second only where it mattered at 1.5
    assert batches[:2] == [12, 30] and 18 <= batches[2] <= 30


def _fit(family, count, monkeypatch, **options):
    """A small fit with `count` evaluations at once."""
    monkeypatch.setenv(workers.ENVIRONMENT, str(count))
    rng = np.random.default_rng(3)
    loc = rng.uniform(0.0, 1.0, (120, 2))
    eta = 0.3 + np.sin(3.0 * loc[:, 0]) + 0.5 * np.cos(4.0 * loc[:, 1])
    y = rng.poisson(np.exp(eta)).astype(float) if family == "poisson" else eta + 0.3 * rng.normal(size=120)
    if options.pop("space_time", False):
        options["effects"] = [SpaceTime(rng.integers(0, 3, 120), "ar1")]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fit(MODEL, loc, y, family=family, **options)


@pytest.mark.parametrize("family, options", [
    ("gaussian", {}),
    ("poisson", {}),
    ("poisson", {"integrate": True}),
    ("poisson", {"space_time": True}),
])
def test_a_fit_gives_the_same_numbers_whatever_the_count(monkeypatch, family, options):
    one = _fit(family, 1, monkeypatch, **dict(options))
    run_all, threads = workers.run_all, set()

    def spied(work, items, count, expected=()):
        return run_all(lambda item: (threads.add(threading.current_thread().name), work(item))[1],
                       items, count, expected)

    monkeypatch.setattr(workers, "run_all", spied)
    for count in (2, 3):
        many = _fit(family, count, monkeypatch, **dict(options))
        np.testing.assert_array_equal(many.theta, one.theta)
        np.testing.assert_array_equal(many.theta_scales, one.theta_scales)
        np.testing.assert_array_equal(many.field_mean, one.field_mean)
        np.testing.assert_array_equal(many.field_sd, one.field_sd)
        np.testing.assert_array_equal(many.fixed_mean, one.fixed_mean)
        assert many.n_evaluations == one.n_evaluations
    assert any(name.startswith("corvid-fit") for name in threads)


def test_a_spare_core_is_one_beside_the_caller_and_never_within_a_batch(monkeypatch):
    monkeypatch.setenv(workers.ENVIRONMENT, "2")
    assert not workers.has_spare_core()
    with workers.spare_core(10**6):
        assert workers.has_spare_core()
        inside = workers.run_all(lambda k: workers.has_spare_core(), [0, 1, 2], 2)
        alone = workers.run_all(lambda k: workers.has_spare_core(), [0, 1], 1)
        assert workers.has_spare_core()
    assert inside == [False] * 3 and alone == [False] * 2 and not workers.has_spare_core()
    for count, bytes_each in (("1", 10**6), ("2", 0)):   # one worker; a backend not threaded
        monkeypatch.setenv(workers.ENVIRONMENT, count)
        with workers.spare_core(bytes_each):
            assert not workers.has_spare_core()


def test_a_selected_inverse_started_early_is_the_one_computed_in_place():
    from corvid.fit import factor
    from spd_matrices import observed_field

    A = observed_field()
    f = factor.cholesky(A, backend="supernodal")
    want = f.selected_inverse()
    f.start_selected_inverse()
    f.start_selected_inverse()       # once started, it is not started again
    got = f.selected_inverse()
    np.testing.assert_array_equal(got.values, want.values)
    np.testing.assert_array_equal(got.indices, want.indices)
    np.testing.assert_array_equal(f.selected_inverse().values, want.values)   # and again
    factor.cholesky(A, backend="supernodal").start_selected_inverse()   # never taken: let go


def test_a_batch_holds_no_more_factors_than_it_keeps_and_keeps_those_of_the_last_theta():
    from corvid.fit import laplace
    from test_fit_latent_mode import THETA, latent_model, simulate

    model = latent_model("poisson", *simulate("poisson"))
    model.evaluate(THETA["poisson"], gradient=False)
    offsets = [[0.3, -0.2], [-0.1, 0.4], [0.2, 0.2], [-0.3, -0.1], [0.1, -0.4], [0.0, 0.3]]
    held = []
    with model.together():
        for offset in offsets:
            model.evaluate(THETA["poisson"] + offset, gradient=False)
            held.append(sum(item[-1] is not None for item in model._pending))
    assert max(held) <= laplace.KEPT_FACTORS
    last = sorted(tuple(THETA["poisson"] + o) for o in offsets)[-laplace.KEPT_FACTORS:]
    assert [tuple(theta) for theta, _ in model._blocks] == last
    assert len(model._modes) == 1 + len(offsets)


@pytest.mark.parametrize("groups, want", [
    ({"": "max 100000"}, 4),                             # no quota
    ({"": "150000 100000"}, 2),                          # 1.5 cores: two threads share them
    ({"": "max 100000", "app": "100000 100000"}, 1),     # the process's own group
    ({"": "50000 100000", "app": "max 100000"}, 1),      # a group above it
    ({"cpu,cpuacct/app": ("300000", "100000")}, 3),      # cgroup v1
    ({"cpu,cpuacct/app": ("-1", "100000")}, 4),          # v1 without a quota
])
def test_a_containers_cpu_quota_caps_the_cores(tmp_path, monkeypatch, groups, want):
    (tmp_path / "proc" / "self").mkdir(parents=True)
    v1 = any(isinstance(text, tuple) for text in groups.values())
    (tmp_path / "proc" / "self" / "cgroup").write_text("4:cpu,cpuacct:/app\n" if v1 else "0::/app\n")
    for group, text in groups.items():
        folder = tmp_path / "sys" / "fs" / "cgroup" / group
        folder.mkdir(parents=True, exist_ok=True)
        if isinstance(text, tuple):
            (folder / "cpu.cfs_quota_us").write_text(text[0] + "\n")
            (folder / "cpu.cfs_period_us").write_text(text[1] + "\n")
        else:
            (folder / "cpu.max").write_text(text + "\n")
    monkeypatch.setattr(os, "sched_getaffinity", lambda pid: {0, 1, 2, 3})
    assert workers._cores(str(tmp_path)) == want
