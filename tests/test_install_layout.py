"""Wheel and editable installs alike keep the compiled modules beside the bin/ data tree."""

import importlib
import os

import pytest

COMPILED = ["corvid.meshkin.gfield", "corvid.meshkin._locator", "corvid.options",
            "corvid.binary.call", "corvid.fit._cholesky", "corvid.safety.expression",
            "corvid.safety.family"]


@pytest.mark.parametrize("name", COMPILED)
def test_compiled_module_sits_under_the_package_root_with_bin(name):
    module = importlib.import_module(name)
    package_dir = os.path.dirname(os.path.abspath(module.__file__))
    root = package_dir
    for _ in name.split(".")[1:-1]:
        root = os.path.dirname(root)
    assert os.path.basename(root) == "corvid"
    for platform_dir in ["linux/64bit", "mac.arm64", "mac/64bit", "windows/64bit", "remote"]:
        assert os.path.isdir(os.path.join(root, "bin", *platform_dir.split("/")))
