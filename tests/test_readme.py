"""The README's code runs as written."""

import os
import re

import pytest

README = os.path.join(os.path.dirname(__file__), os.pardir, "README.md")


def _python_blocks():
    with open(README, encoding="utf-8") as f:
        return re.findall(r"```python\n(.*?)```", f.read(), flags=re.S)


@pytest.fixture
def fresh_options():
    import corvid.options

    saved = dict(corvid.options._QUILL_OPTIONS)
    corvid.options._QUILL_OPTIONS.clear()
    yield
    corvid.options._QUILL_OPTIONS.clear()
    corvid.options._QUILL_OPTIONS.update(saved)


def test_readme_code_blocks_run_in_order(tmp_path, monkeypatch, fresh_options, capsys):
    monkeypatch.chdir(tmp_path)
    blocks = _python_blocks()
    assert len(blocks) >= 5
    namespace = {}
    for block in blocks:
        exec(compile(block, README, "exec"), namespace)
    printed = capsys.readouterr().out
    assert "['4:1', 'compact', True]" in printed
    assert "('poisson',)" in printed
    assert (tmp_path / "model" / "field.BLC").stat().st_size == 180
