"""Finding the engine, the mesher and the remote launcher script."""

import ntpath
import os
import pathlib
import platform
import subprocess
import sys
import types

import pytest

import corvid.options
from corvid.binary import call, manager

MESHER_MISSING = "QUILL installation error; meshkin binary not found for this OS/arch."
LOCATORS = [("QUILL_BIN", call.quill_call_builtin), ("MESHKIN_BIN", call.meshkin_call_builtin)]


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch, tmp_path):
    for variable in ("QUILL_BIN", "MESHKIN_BIN", "QUILL_REMOTE_BIN"):
        monkeypatch.delenv(variable, raising=False)
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "user-data"))


@pytest.fixture
def root(monkeypatch, tmp_path):
    """An empty package root whose bin tree the test fills."""
    fake = tmp_path / "corvid"
    fake.mkdir()
    monkeypatch.setattr(call, "_package_root", lambda: str(fake))
    return fake


def touch(root, *parts):
    path = root.joinpath(*parts)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.touch()
    return str(path)


@pytest.fixture
def on(monkeypatch):
    """on(system, machine, maxsize): what the platform module and the interpreter report."""
    def set_platform(system, machine="x86_64", maxsize=2**63 - 1):
        monkeypatch.setattr(platform, "system", lambda: system)
        monkeypatch.setattr(platform, "machine", lambda: machine)
        monkeypatch.setattr(sys, "maxsize", maxsize)
    return set_platform


@pytest.mark.parametrize("maxsize, width", [
    (2**63 - 1, "64"), (2**32 + 1, "64"), (2**32, "32"), (2**31 - 1, "32"),
])
def test_width_follows_the_interpreter(on, maxsize, width):
    on("Linux", maxsize=maxsize)
    assert call._bits() == width


def test_system_and_machine_are_lower_cased(on):
    on("Windows", "AMD64")
    assert (call._system(), call._machine()) == ("windows", "amd64")


def test_package_root_holds_the_bin_tree():
    root = call._package_root()
    assert os.path.basename(root) == "corvid"
    assert os.path.isdir(os.path.join(root, "bin", "remote"))


def test_package_root_of_a_relative_module_path_follows_the_current_directory(
        monkeypatch, tmp_path):
    monkeypatch.setattr(call, "__file__", os.path.join("pkg", "binary", "call.so"))
    monkeypatch.chdir(tmp_path)
    assert call._package_root() == str(tmp_path / "pkg")


def test_resolve_path_tests_existence_afresh(root):
    assert call._resolve_path() == str(root)
    assert call._resolve_path("bin") is None
    remote = touch(root, "bin", "remote", "quill.remote")
    assert call._resolve_path("bin") == str(root / "bin")
    assert call._resolve_path("bin", "remote", "quill.remote") == remote


def test_resolve_path_takes_no_keywords():
    with pytest.raises(TypeError):
        call._resolve_path(part="bin")


@pytest.mark.parametrize("system, machine, maxsize, engine, mesher", [
    ("Linux", "x86_64", 2**63 - 1, "linux/64bit/quill.mkl.run", "linux/64bit/meshkin.run"),
    ("Linux", "aarch64", 2**63 - 1, "linux/64bit/quill.mkl.run", "linux/64bit/meshkin.run"),
    ("Linux", "i686", 2**31 - 1, "linux/32bit/quill.mkl.run", "linux/32bit/meshkin.run"),
    ("Darwin", "arm64", 2**63 - 1, "mac.arm64/quill.run", "mac.arm64/meshkin.run"),
    ("Darwin", "AArch64", 2**63 - 1, "mac.arm64/quill.run", "mac.arm64/meshkin.run"),
    ("Darwin", "x86_64", 2**63 - 1, "mac/64bit/quill.run", "mac/64bit/meshkin.run"),
    ("Windows", "AMD64", 2**63 - 1, "windows/64bit/quill.exe", "windows/64bit/meshkin.exe"),
    ("WinNT", "x86", 2**31 - 1, "windows/32bit/quill.exe", "windows/32bit/meshkin.exe"),
])
def test_packaged_executables_by_platform(root, on, system, machine, maxsize, engine, mesher):
    on(system, machine, maxsize)
    engine_path = touch(root, "bin", *engine.split("/"))
    mesher_path = touch(root, "bin", *mesher.split("/"))
    assert call.quill_call_builtin() == engine_path
    assert call.meshkin_call_builtin() == mesher_path


@pytest.mark.parametrize("system", ["FreeBSD", "CYGWIN_NT-10.0", "Java", ""])
@pytest.mark.parametrize("variable, locator", LOCATORS)
def test_unknown_system_is_refused_unless_overridden(root, on, monkeypatch, tmp_path,
                                                     system, variable, locator):
    on(system)
    with pytest.raises(RuntimeError, match="^Unknown OS$"):
        locator()
    monkeypatch.setenv(variable, touch(tmp_path, "own", "executable"))
    assert locator() == str(tmp_path / "own" / "executable")


@pytest.mark.parametrize("variable, locator", LOCATORS)
def test_override_is_returned_as_written(root, on, monkeypatch, tmp_path, variable, locator):
    on("Linux")
    monkeypatch.chdir(tmp_path)
    touch(tmp_path, "tools", "exe")
    monkeypatch.setenv(variable, os.path.join("tools", "exe"))
    assert locator() == os.path.join("tools", "exe")
    monkeypatch.setenv(variable, "tools")  # existence is all that is tested
    assert locator() == "tools"


@pytest.mark.parametrize("value", ["", "/no/such/engine"])
@pytest.mark.parametrize("variable, locator", LOCATORS)
def test_unusable_override_falls_back_silently(root, on, monkeypatch, recwarn,
                                               value, variable, locator):
    on("Linux")
    touch(root, "bin", "linux", "64bit", "quill.mkl.run")
    touch(root, "bin", "linux", "64bit", "meshkin.run")
    monkeypatch.setenv(variable, value)
    assert locator().startswith(str(root / "bin" / "linux" / "64bit"))
    assert not recwarn.list


def test_missing_mesher_is_an_installation_error(root, on):
    on("Linux")
    with pytest.raises(FileNotFoundError) as info:
        call.meshkin_call_builtin()
    assert info.value.args == (MESHER_MISSING,)


def test_missing_engine_is_asked_of_the_manager(root, on, monkeypatch, tmp_path):
    on("Linux")
    monkeypatch.setattr(manager, "ensure_binary", lambda: tmp_path / "fetched" / "quill")
    engine = call.quill_call_builtin()
    assert type(engine) is str and engine == str(tmp_path / "fetched" / "quill")


def test_manager_finds_a_user_installed_engine(root, on, tmp_path):
    on("Darwin", "arm64")
    with pytest.raises(FileNotFoundError, match="QUILL_BIN") as info:
        call.quill_call_builtin()
    expected = tmp_path / "user-data" / "corvid" / "bin" / "mac.arm64" / "quill.run"
    assert str(expected) in str(info.value)
    touch(expected.parent, expected.name)
    assert call.quill_call_builtin() == str(expected)


def test_manager_ignores_a_relative_data_home(on, monkeypatch, tmp_path):
    on("Linux")
    monkeypatch.setenv("XDG_DATA_HOME", "relative")
    monkeypatch.setenv("HOME", str(tmp_path))
    assert manager.user_engine_path() == str(
        tmp_path / ".local" / "share" / "corvid" / "bin" / "linux" / "64bit" / "quill.mkl.run")


def test_remote_script_override_packaged_or_none(root, monkeypatch, tmp_path):
    assert call.quill_remote_script() is None
    packaged = touch(root, "bin", "remote", "quill.remote")
    assert call.quill_remote_script() == packaged
    monkeypatch.setenv("QUILL_REMOTE_BIN", touch(tmp_path, "my.remote"))
    assert call.quill_remote_script() == str(tmp_path / "my.remote")


@pytest.fixture
def store(monkeypatch, root, on):
    """A fresh option store, on Linux with both executables packaged."""
    on("Linux")
    touch(root, "bin", "linux", "64bit", "quill.mkl.run")
    touch(root, "bin", "linux", "64bit", "meshkin.run")
    fresh = {}
    monkeypatch.setattr(corvid.options, "_QUILL_OPTIONS", fresh)
    return fresh


@pytest.mark.parametrize("stored", [None, "remote", "REMOTE", "Quill.Remote", "quill.REMOTE"])
def test_no_remote_falls_back_to_the_builtin_engine(store, root, stored):
    store["quill.call"] = stored
    assert call.quill_call_no_remote() == str(root / "bin" / "linux" / "64bit" / "quill.mkl.run")


@pytest.mark.parametrize("stored", [" remote", "remote ", "/Opt/Quill/Quill.Run"])
def test_no_remote_returns_a_configured_command_unchanged(store, stored):
    store["quill.call"] = stored
    assert call.quill_call_no_remote() == stored


def test_no_remote_without_a_stored_command_gives_the_default(store, root):
    assert call.quill_call_no_remote() == call.quill_call_builtin()


@pytest.mark.parametrize("stored, got", [
    (5, "int"), (pathlib.PurePosixPath("/opt/quill"), "PurePosixPath"),
    (type("Command", (str,), {})("/opt/quill"), "Command"),
])
def test_no_remote_requires_exactly_a_str(store, stored, got):
    store["quill.call"] = stored
    with pytest.raises(TypeError, match=rf"expected str, got {got}\)"):
        call.quill_call_no_remote()


def test_windows_paths_use_the_module_os(monkeypatch, on):
    # Rebinding the module's `os` takes effect at the next call: here, Windows path rules.
    on("Windows", "AMD64")
    mesher = r"C:\corvid\bin\windows\64bit\meshkin.exe"
    fake_path = types.SimpleNamespace(join=ntpath.join, exists=lambda p: p == mesher)
    monkeypatch.setattr(call, "os", types.SimpleNamespace(path=fake_path, environ={}))
    monkeypatch.setattr(call, "_package_root", lambda: "C:\\corvid")
    assert call.meshkin_call_builtin() == mesher


@pytest.mark.parametrize("system, machine, name, replacement, expected", [
    ("Darwin", "x86_64", "_system", lambda: "linux", "linux/64bit/meshkin.run"),
    ("Linux", "x86_64", "_bits", lambda: "32", "linux/32bit/meshkin.run"),
    ("Darwin", "x86_64", "_machine", lambda: "arm64", "mac.arm64/meshkin.run"),
    ("Darwin", "arm64", "_MAC_ARM64_MESHKIN", ("bin", "m1", "mesher"), "m1/mesher"),
    ("Darwin", "arm64", "platform",
     types.SimpleNamespace(system=lambda: "Windows", machine=lambda: "arm64"),
     "windows/64bit/meshkin.exe"),
])
def test_rebinding_a_platform_name_takes_effect(root, on, monkeypatch,
                                                system, machine, name, replacement, expected):
    on(system, machine)
    wanted = touch(root, "bin", *expected.split("/"))
    monkeypatch.setattr(call, name, replacement)
    assert call.meshkin_call_builtin() == wanted


def test_rebinding_resolver_and_builtin_take_effect(store, monkeypatch):
    monkeypatch.setattr(call, "_resolve_path", lambda *parts: "/".join(("X",) + parts))
    assert call.meshkin_call_builtin() == "X/bin/linux/64bit/meshkin.run"
    monkeypatch.setattr(call, "_REMOTE_SCRIPT", ("r",))
    assert call.quill_remote_script() == "X/r"
    monkeypatch.setattr(call, "quill_call_builtin", lambda: "rebound")
    store["quill.call"] = "remote"
    assert call.quill_call_no_remote() == "rebound"


def test_importing_the_module_imports_neither_options_nor_manager():
    code = ("import sys, corvid.binary.call; "
            "print('corvid.options' in sys.modules, 'corvid.binary.manager' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "False"]


def test_a_cycle_of_rebound_functions_is_a_recursion_error(monkeypatch):
    monkeypatch.setattr(call, "platform", types.SimpleNamespace(system=call._system))
    with pytest.raises(RecursionError):
        call._system()
