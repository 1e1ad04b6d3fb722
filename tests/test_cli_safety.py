"""The commands never lose or clobber a user's file, refuse what they cannot do before any
work, and say so in one line with exit status 2."""

import os
import re
import subprocess
import sys

import numpy as np
import pytest

from corvid.__main__ import main
from user_files import write_table

pytest.importorskip("triangle")


@pytest.fixture
def data(tmp_path):
    rng = np.random.default_rng(5)
    x, y = rng.uniform(0, 4, 120), rng.uniform(0, 2, 120)
    value = np.sin(x) + np.cos(2 * y) + 0.1 * rng.normal(size=120)
    return write_table(tmp_path / "data.csv", {"x": x, "y": y, "value": value})


def fit(data, out, *more):
    return main(["fit", data, "--x", "x", "--y", "y", "--value", "value", "--out", str(out),
                 "--grid", "20", "10", "--quiet", *more])


def snapshot(root):
    """Every entry below root (links not followed) with its bytes or link target."""
    seen = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            key = os.path.relpath(path, root)
            if os.path.islink(path):
                seen[key] = ("link", os.readlink(path))
            elif os.path.isfile(path):
                seen[key] = open(path, "rb").read()
    return seen


def last_error_line(capsys):
    err = capsys.readouterr().err.strip().splitlines()
    return err[-1] if err else ""


def test_an_existing_directory_is_refused_before_any_work_and_kept(data, tmp_path, capsys):
    out = tmp_path / "results"
    out.mkdir()
    (out / "posterior.png").write_bytes(b"the user's own picture")
    before = snapshot(tmp_path)
    assert fit(data, out) == 2
    captured = capsys.readouterr()
    assert "--overwrite" in captured.err and "optimise" not in captured.err + captured.out
    assert snapshot(tmp_path) == before


def test_overwrite_replaces_only_what_the_command_writes_and_follows_no_link(data, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "precious.png").write_bytes(b"not corvid's")
    (elsewhere / "gfield.M0").write_bytes(b"not corvid's either")
    out = tmp_path / "results"
    out.mkdir()
    (out / "notes.txt").write_text("keep me")
    os.symlink(elsewhere / "precious.png", out / "posterior.png")
    os.symlink(elsewhere, out / "model")
    outside = snapshot(elsewhere)
    assert fit(data, out, "--overwrite") == 0
    assert snapshot(elsewhere) == outside
    assert (out / "notes.txt").read_text() == "keep me"
    assert not os.path.islink(out / "posterior.png") and not os.path.islink(out / "model")
    assert (out / "posterior.png").read_bytes()[:4] == b"\x89PNG"
    assert (out / "model" / "gfield.M0").stat().st_size > 0
    assert [p for p in os.listdir(tmp_path) if ".partial-" in p] == []


@pytest.mark.parametrize("make, message", [
    (lambda out: out.write_text("a file"), "is not a directory"),
    (lambda out: os.symlink(out.parent, out), "symbolic link"),
    (lambda out: (out.mkdir(), (out / "posterior.png").mkdir()), "is not empty"),
])
def test_unusable_output_paths_are_refused_first(data, tmp_path, capsys, make, message):
    out = tmp_path / "results"
    make(out)
    before = snapshot(tmp_path)
    assert fit(data, out) == 2
    line = last_error_line(capsys)
    assert line.startswith("python -m corvid fit: error: ") and message in line
    assert snapshot(tmp_path) == before


def test_overwrite_refuses_a_directory_where_a_file_goes(data, tmp_path, capsys):
    out = tmp_path / "results"
    (out / "posterior.png").mkdir(parents=True)
    assert fit(data, out, "--overwrite") == 2
    assert "is a directory, where this command writes a file" in last_error_line(capsys)


def test_a_place_where_nothing_can_be_created_is_refused_before_the_fit(data, tmp_path, capsys):
    blocker = tmp_path / "blocker"
    blocker.write_text("a file where a directory would go")
    assert fit(data, blocker / "sub" / "out") == 2
    captured = capsys.readouterr()
    assert "as the output directory: Not a directory" in captured.err
    assert "optimise" not in captured.err
    assert sorted(os.listdir(tmp_path)) == ["blocker", "data.csv"]


def test_a_failed_run_leaves_nothing_behind(data, tmp_path, monkeypatch):
    import corvid.fit

    def fail(*args, **kwargs):
        raise ValueError("the fit failed")
    monkeypatch.setattr(corvid.fit, "fit", fail)
    assert fit(data, tmp_path / "deep" / "results") == 2
    assert sorted(os.listdir(tmp_path)) == ["data.csv"]


@pytest.mark.parametrize("argv, message", [
    (["fit", "{data}", "--x", "x", "--y", "y", "--value", "value", "--grid", "1000000", "1000000"],
     "maps of 1,000,000 x 1,000,000 cells would need about"),
    (["demo", "--n-obs", "1000000000"], "1,000,000,000 observations"),
    (["demo", "--grid", "300000", "300000"], "300,000 x 300,000 cells"),
])
def test_work_that_cannot_fit_in_memory_is_refused_at_once(data, tmp_path, argv, message):
    argv = [a.replace("{data}", data) for a in argv] + ["--out", str(tmp_path / "out")]
    result = subprocess.run([sys.executable, "-m", "corvid", *argv], capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and message in result.stderr
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("content, message", [
    ("x,y,value,x\n" + "1,2,3,4\n" * 12, "2 columns named 'x' (columns 1, 4 of the header)"),
    ('x,y,note,value\n' + "1,2,a,3\n" * 3 + '1,2,"two\nlines",3\n' + "1,2,a,3\n" * 3
     + "1,2,a,three\n" + "1,2,a,3\n" * 4, "line 10, column 'value': 'three' is not a number"),
    ("x,y,value\n" + "".join(f"{i},{i % 3},1e200\n" for i in range(12)),
     "column 'value' holds values up to 1e+200"),
    ("x,y,value\n" + "".join(f"{i * 1e-200},{(i % 3) * 1e-200},1\n" for i in range(12)),
     "the locations span only"),
])
def test_bad_tables_are_one_line_with_status_2(tmp_path, capsys, content, message):
    path = tmp_path / "bad.csv"
    path.write_text(content)
    assert fit(str(path), tmp_path / "out") == 2
    line = last_error_line(capsys)
    assert line.startswith("python -m corvid fit: error: ") and message in line


def test_many_locations_are_located_in_a_mesh_that_follows_max_edge(tmp_path, capsys):
    rng = np.random.default_rng(1)
    xy = rng.uniform(0, 10, (20_000, 2))
    value = np.sin(xy[:, 0]) + 0.1 * rng.normal(size=len(xy))
    data = write_table(tmp_path / "many.csv", {"x": xy[:, 0], "y": xy[:, 1], "value": value})
    assert fit(data, tmp_path / "out", "--max-edge", "1", "3") == 0
    printed = capsys.readouterr().out
    vertices = int(re.search(r"mesh: (\d+) vertices", printed).group(1))
    assert "20,000 locations are located in it" in printed and vertices < 1000


def test_the_advice_for_a_mesh_too_fine_works(data, tmp_path, capsys):
    assert fit(data, tmp_path / "a", "--max-edge", "1e-4", "--max-vertices", "5000") == 2
    line = last_error_line(capsys)
    suggested = re.search(r"use --max-edge ([0-9.e+-]+) ([0-9.e+-]+) or longer", line).groups()
    assert "--max-vertices" in line
    assert fit(data, tmp_path / "b", "--max-edge", *suggested, "--max-vertices", "5000") == 0
