"""The type stubs of the compiled modules match what they define at run time."""

import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(__file__)
ALLOWLIST = os.path.join(HERE, "stubtest_allowlist.txt")
MYPY_CONFIG = os.path.join(HERE, "stubtest_mypy.ini")


def test_stubtest_finds_no_difference():
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "corvid", "--allowlist", ALLOWLIST,
         "--mypy-config-file", MYPY_CONFIG],
        capture_output=True, text=True, cwd=os.path.dirname(ALLOWLIST))
    assert result.returncode == 0, result.stdout + result.stderr
