"""The type stubs of the compiled modules match what they define at run time."""

import ast
import dataclasses
import importlib
import inspect
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


def _stub_defaults(path):
    """(qualified name, parameter or field, default) for every default a stub file writes."""
    tree = ast.parse(open(path).read())

    def walk(body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef):
                yield from walk(node.body, prefix + node.name + ".")
                for stmt in node.body:  # dataclass fields with a plain default
                    if isinstance(stmt, ast.AnnAssign) and stmt.value is not None:
                        value = stmt.value
                        if not (isinstance(value, ast.Call) and getattr(value.func, "id", "") == "field"):
                            yield prefix + node.name, stmt.target.id, ast.literal_eval(value)
            elif isinstance(node, ast.FunctionDef):
                args = node.args
                positional = args.posonlyargs + args.args
                for arg, default in zip(positional[len(positional) - len(args.defaults):], args.defaults):
                    yield prefix + node.name, arg.arg, ast.literal_eval(default)
                for arg, default in zip(args.kwonlyargs, args.kw_defaults):
                    if default is not None:
                        yield prefix + node.name, arg.arg, ast.literal_eval(default)

    yield from walk(tree.body, "")


STUBS = {
    "corvid.meshkin.gfield": "meshkin/gfield.pyi",
    "corvid.options": "options.pyi",
    "corvid.binary.call": "binary/call.pyi",
    "corvid.safety.expression": "safety/expression.pyi",
    "corvid.safety.family": "safety/family.pyi",
}


@pytest.mark.parametrize("module_name", sorted(STUBS))
def test_stub_defaults_are_the_runtime_defaults(module_name):
    module = importlib.import_module(module_name)
    path = os.path.join(os.path.dirname(module.__file__), os.path.basename(STUBS[module_name]))
    checked = 0
    for qualname, name, stub_default in _stub_defaults(path):
        obj = module
        for part in qualname.split("."):
            obj = getattr(obj, part)
        if isinstance(obj, type):  # a dataclass field
            runtime = {f.name: f.default for f in dataclasses.fields(obj)}[name]
        else:
            runtime = inspect.signature(obj).parameters[name].default
        assert runtime == stub_default and type(runtime) is type(stub_default), (qualname, name)
        checked += 1
    assert checked or module_name in ("corvid.binary.call", "corvid.safety.expression")
