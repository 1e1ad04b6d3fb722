"""The fit command's results are never lost, mixed or left half-written: concurrent runs,
permissions, mount points, signals and full disks."""

import errno
import os
import signal
import stat
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from corvid.__main__ import main
from user_files import write_table

pytest.importorskip("triangle")
pytest.importorskip("netCDF4")
rasterio = pytest.importorskip("rasterio")


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    """A small table and a larger one (a fit of a few seconds)."""
    root = tmp_path_factory.mktemp("data")
    rng = np.random.default_rng(7)
    for name, n in (("small.csv", 80), ("large.csv", 3000)):
        x, y = rng.uniform(0, 4, n), rng.uniform(0, 2, n)
        write_table(root / name, {"x": x, "y": y, "v": np.sin(x) + 0.1 * rng.normal(size=n)})
    return root


def argv(data, out, *more, table="small.csv"):
    return ["fit", str(data / table), "--x", "x", "--y", "y", "--value", "v", "--out", str(out),
            "--quiet", "--no-integrate", "--max-edge", "0.2", *more]


def command(data, out, *more, table="small.csv"):
    return [sys.executable, "-m", "corvid", *argv(data, out, *more, table=table)]


def leftovers(directory):
    """corvid's hidden staging directories and locks below `directory`."""
    return sorted(os.path.relpath(os.path.join(root, name), directory)
                  for root, dirs, files in os.walk(directory) for name in dirs + files
                  if ".partial-" in name or name.endswith(".lock") or name.startswith(".corvid"))


def grid_of(out):
    with rasterio.open(out / "posterior.tif") as tif:
        return tif.width, tif.height


# ---- one run wins ----------------------------------------------------------------------------


def test_two_runs_into_one_new_directory_one_wins_and_nothing_is_mixed(data, tmp_path):
    out = tmp_path / "results"
    runs = [subprocess.Popen(command(data, out, "--grid", str(n), str(n)), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True) for n in (21, 34)]
    finished = [(run.wait(timeout=300), *run.communicate()) for run in runs]
    assert sorted(status for status, _, _ in finished) == [0, 2], finished
    loser = next(err for status, _, err in finished if status == 2)
    assert loser.count("\n") == 1 and "python -m corvid fit: error: " in loser
    winner = (21, 34)[[status for status, _, _ in finished].index(0)]
    assert grid_of(out) == (winner, winner)                   # every file is the winner's
    npz = np.load(out / "posterior_grid.npz")
    assert npz["mean"].shape == (winner, winner)
    assert sorted(os.listdir(tmp_path)) == ["results"] and leftovers(tmp_path) == []


@pytest.mark.parametrize("existing", [False, True], ids=["new directory", "empty directory"])
def test_files_that_appear_while_the_run_works_are_kept_and_not_mixed(data, tmp_path, capsys,
                                                                     monkeypatch, existing):
    import corvid.fit

    out = tmp_path / "results"
    if existing:
        out.mkdir()
    real = corvid.fit.fit

    def fit_while_another_writes(*args, **kwargs):
        out.mkdir(exist_ok=True)
        (out / "posterior.tif").write_bytes(b"another program's")
        return real(*args, **kwargs)
    monkeypatch.setattr(corvid.fit, "fit", fit_while_another_writes)
    assert main(argv(data, out)) == 2
    said = "appeared in it while this run worked" if existing else "was created by another run"
    assert said in capsys.readouterr().err
    assert os.listdir(out) == ["posterior.tif"]
    assert (out / "posterior.tif").read_bytes() == b"another program's"
    assert leftovers(tmp_path) == []


def test_a_directory_another_run_is_writing_into_is_refused_at_once(data, tmp_path, capsys):
    from corvid.cli.output import OutputDirectory

    out = tmp_path / "results"
    out.mkdir()
    with OutputDirectory(str(out), False, ["posterior.tif"]):
        assert main(argv(data, out)) == 2
    err = capsys.readouterr()
    assert "another corvid run is writing into" in err.err and "optimise" not in err.err
    assert os.listdir(out) == []


def test_what_a_killed_run_left_in_a_directory_does_not_block_the_next(data, tmp_path):
    out = tmp_path / "results"
    (out / ".corvid-partial-dead0001").mkdir(parents=True)
    (out / ".corvid-partial-dead0001" / "posterior.tif").write_bytes(b"half")
    (out / ".corvid-lock").write_bytes(b"")
    assert main(argv(data, out, "--grid", "10", "10")) == 0
    assert sorted(os.listdir(out)) == ["diagnostics.png", "model", "posterior.nc", "posterior.png",
                                       "posterior.tif", "posterior_grid.npz", "residuals.csv"]


# ---- permissions and filesystems -------------------------------------------------------------


@pytest.mark.parametrize("mask", [0o022, 0o002, 0o077])
def test_a_new_directory_has_the_mode_the_umask_gives(data, tmp_path, mask):
    out = tmp_path / "results"
    before = os.umask(mask)
    try:
        assert main(argv(data, out, "--grid", "10", "10")) == 0
    finally:
        os.umask(before)
    assert stat.S_IMODE(os.stat(out).st_mode) == 0o777 & ~mask


def test_an_existing_empty_directory_keeps_its_mode_group_and_identity(data, tmp_path):
    out = tmp_path / "shared"
    out.mkdir()
    os.chmod(out, 0o2775)
    group = os.getgroups()[-1] if os.getgroups() else os.getgid()
    os.chown(out, -1, group)
    before = os.stat(out)
    assert main(argv(data, out, "--grid", "10", "10")) == 0
    after = os.stat(out)
    assert (after.st_ino, stat.S_IMODE(after.st_mode), after.st_gid) == \
        (before.st_ino, 0o2775, before.st_gid)
    assert os.stat(out / "posterior.tif").st_gid == before.st_gid  # the setgid bit at work
    assert os.stat(out / "model").st_mode & stat.S_ISGID


def crossing(real, out, every):
    """`real` (os.rename or os.replace) as on a mount point at `out`: nothing moves into it
    from outside (or, with `every`, nothing moves at all) without a copy."""
    def move(source, target, *args, **kwargs):
        inside = os.path.abspath(source).startswith(str(out) + os.sep)
        if every or (os.path.abspath(target).startswith(str(out)) and not inside):
            raise OSError(errno.EXDEV, "Invalid cross-device link")
        return real(source, target, *args, **kwargs)
    return move


@pytest.mark.parametrize("existing, every", [(True, False), (True, True), (False, True)],
                         ids=["mount point", "mount point, no rename at all", "new, no rename at all"])
def test_results_land_on_another_filesystem(data, tmp_path, monkeypatch, existing, every):
    out = tmp_path / "volume"
    if existing:
        out.mkdir()
        (out / "notes.txt").write_text("the user's")
    options = ["--grid", "10", "10"] + (["--overwrite"] if existing else [])
    monkeypatch.setattr(os, "rename", crossing(os.rename, out, every))
    monkeypatch.setattr(os, "replace", crossing(os.replace, out, every))
    assert main(argv(data, out, *options)) == 0
    monkeypatch.undo()
    assert grid_of(out) == (10, 10) and (out / "model" / "gfield.M0").stat().st_size > 0
    assert leftovers(tmp_path) == []
    if existing:
        assert (out / "notes.txt").read_text() == "the user's"


def test_a_name_as_long_as_the_filesystem_allows_is_written(data, tmp_path):
    out = tmp_path / ("r" * 250)
    assert main(argv(data, out, "--grid", "10", "10")) == 0
    assert grid_of(out) == (10, 10) and leftovers(tmp_path) == []


def test_a_name_longer_than_the_filesystem_allows_is_refused_before_the_fit(data, tmp_path, capsys):
    assert main(argv(data, tmp_path / ("r" * 300))) == 2
    err = capsys.readouterr().err
    assert "is 300 bytes long, more than the 255 the filesystem allows" in err and "optimise" not in err
    assert os.listdir(tmp_path) == []


# ---- signals ---------------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["SIGTERM", "SIGHUP"])  # as SIGINT always did
def test_a_stopped_run_leaves_nothing(data, tmp_path, name):
    out = tmp_path / "results"
    run = subprocess.Popen(command(data, out, table="large.csv"), stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while not leftovers(tmp_path) and time.monotonic() < deadline and run.poll() is None:
        time.sleep(0.05)
    time.sleep(0.5)  # into the reading or the fit
    run.send_signal(getattr(signal, name))
    _, err = run.communicate(timeout=120)
    number = getattr(signal, name)
    assert run.returncode == 128 + number, err
    assert err.strip().splitlines()[-1] == f"python -m corvid fit: error: interrupted by {name}; " \
                                           "nothing was written"
    assert os.listdir(tmp_path) == []


# ---- full disks ------------------------------------------------------------------------------


FILE_LIMIT = textwrap.dedent("""
    import resource, signal, sys
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # writes beyond the limit fail with EFBIG
    limit = int(sys.argv[1])
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    from corvid.__main__ import main
    sys.exit(main(sys.argv[2:]))
""")


# A 40 x 40 map of two layers is about 26 kB raw: a GeoTIFF of at most 28 kB (compressed), a
# NetCDF file of at least 35 kB (with HDF5's headers). libtiff truncated the GeoTIFF without
# an error, and netCDF4 raised a RuntimeError.
@pytest.mark.parametrize("limit, failing", [(3000, "posterior.tif"), (31_000, "posterior.nc")])
def test_a_file_size_limit_while_writing_is_one_line_and_leaves_nothing(data, tmp_path, limit, failing):
    out = tmp_path / "results"
    result = subprocess.run([sys.executable, "-c", FILE_LIMIT, str(limit),
                             *argv(data, out, "--grid", "40", "40")],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 2, result.stderr
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith(f"python -m corvid fit: error: cannot write {failing}: ")
    assert "Traceback" not in result.stderr and os.listdir(tmp_path) == []


def no_space(*args, **kwargs):
    raise OSError(errno.ENOSPC, "No space left on device")


@pytest.mark.parametrize("target, failing", [
    ("xarray.Dataset.to_netcdf", "posterior.nc"), ("numpy.savez", "posterior_grid.npz"),
    ("matplotlib.figure.Figure.savefig", "posterior.png")])
def test_a_full_disk_is_one_line_and_leaves_nothing(data, tmp_path, capsys, monkeypatch, target, failing):
    monkeypatch.setattr(target, no_space)
    assert main(argv(data, tmp_path / "results", "--grid", "10", "10")) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert err[-1] == (f"python -m corvid fit: error: cannot write {failing}: No space left on "
                       "device; nothing was written")
    assert os.listdir(tmp_path) == []


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # Python's report of it
def test_a_signal_whose_exception_python_swallows_still_stops_the_run(tmp_path, capsys):
    from corvid.cli.errors import run_reporting
    from corvid.cli.output import OutputDirectory

    class Collected:  # the signal lands in a __del__, where Python only prints an exception
        def __del__(self):
            os.kill(os.getpid(), signal.SIGHUP)
            time.sleep(0.01)

    out = tmp_path / "results"

    def work():
        with OutputDirectory(str(out), False, ["a.txt"]) as staging:
            open(os.path.join(staging, "a.txt"), "w").write("done")
            Collected()

    assert run_reporting("prog", work) == 128 + signal.SIGHUP
    assert "interrupted by SIGHUP; nothing was written" in capsys.readouterr().err
    assert os.listdir(tmp_path) == []
