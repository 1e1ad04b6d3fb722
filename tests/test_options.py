"""Reading and setting the package's options."""

import os
import types

import pytest

from corvid import options
from corvid.options import (quill_enabled_Tandem_features, quill_get_option,
                            quill_get_option_default, quill_set_option)
from corvid.utils import quill_anyMultibyteUTF8Characters

ENGINE = "/pkg/bin/linux/64bit/quill.mkl.run"
MESHER = "/pkg/bin/linux/64bit/meshkin.run"
SCRIPT = "/pkg/bin/remote/quill.remote"
MESHER_MISSING = "QUILL installation error; meshkin binary not found for this OS/arch."
CALLING_FORM = "Use either quill_set_option('key', value) or quill_set_option(key=value, ...)."
INVALID_MODE = "Invalid 'quill.mode'. Must be 'compact', 'classic', 'twostage', or 'experimental'."

TABLE = [
    ("quill.arg", None), ("meshkin.arg", ""), ("num.threads", "8:1"), ("smtp", "default"),
    ("safe", True), ("keep", False), ("verbose", False), ("save.memory", False),
    ("internal.opt", True), ("working.directory", None), ("silent", True), ("debug", False),
    ("show.warning.graph.file", True), ("scale.model.default", False),
    ("short.summary", False), ("quill.timeout", 0), ("meshkin.timeout", 0),
    ("quill.mode", "compact"), ("malloc.lib", "mi"), ("meshkin.evolution", 2),
    ("meshkin.evolution.warn", True), ("meshkin.evolution.verbosity", "default"),
    ("Tandem.features", False), ("numa", False),
]


@pytest.fixture(autouse=True)
def store(monkeypatch):
    """A fresh store, 8 processors, and stub locators that record their calls."""
    monkeypatch.setattr(os, "cpu_count", lambda: 8)
    fresh = {}
    monkeypatch.setattr(options, "_QUILL_OPTIONS", fresh)
    return fresh


@pytest.fixture(autouse=True)
def locators(monkeypatch):
    calls = []
    found = {"quill": ENGINE, "meshkin": MESHER, "remote": None}

    def locator(name):
        def locate():
            calls.append(name)
            if isinstance(found[name], BaseException):
                raise found[name]
            return found[name]
        return locate

    monkeypatch.setattr(options, "quill_call_builtin", locator("quill"))
    monkeypatch.setattr(options, "meshkin_call_builtin", locator("meshkin"))
    monkeypatch.setattr(options, "quill_remote_script", locator("remote"))
    return types.SimpleNamespace(calls=calls, found=found)


@pytest.fixture
def checks_run(monkeypatch):
    """Counts the runs of the post-set checks (still running them)."""
    runs = []
    real = options._post_set_checks
    monkeypatch.setattr(options, "_post_set_checks", lambda: (runs.append(1), real())[1])
    return runs


# ---- reading ---------------------------------------------------------------------------

def test_fresh_store_reads_the_table_then_the_commands(locators):
    current = quill_get_option()
    assert list(current.items()) == TABLE + [("quill.call", ENGINE), ("meshkin.call", MESHER)]
    assert locators.calls == ["quill", "meshkin"]


def test_defaults_hold_the_table_only():
    assert list(quill_get_option_default().items()) == TABLE


@pytest.mark.parametrize("cpus, threads", [
    (1, "1:1"), (4, "4:1"), (16, "16:1"), (32, "16:1"), (None, "1:1"), (0, "1:1"),
])
def test_thread_default_follows_the_processor_count(monkeypatch, cpus, threads):
    monkeypatch.setattr(os, "cpu_count", lambda: cpus)
    assert quill_get_option("num.threads") == threads
    assert quill_get_option()["num.threads"] == threads


@pytest.mark.parametrize("word", ["REMOTE", "Quill.Remote", "remote"])
@pytest.mark.parametrize("script", [SCRIPT, None])
def test_remote_word_single_read_vs_full_dict(locators, word, script):
    locators.found["remote"] = script
    quill_set_option("quill.call", word)
    assert quill_get_option("quill.call") == word
    assert quill_get_option(["quill.call"]) == [word]
    assert quill_get_option()["quill.call"] == (script or word)


def test_remote_word_as_default_is_resolved_in_a_single_read(locators):
    locators.found.update(quill="Remote", remote=SCRIPT)
    assert quill_get_option("quill.call") == SCRIPT
    assert quill_get_option()["quill.call"] == "Remote"


@pytest.mark.parametrize("keys, values", [
    (["keep", "quill.mode"], [False, "compact"]),
    (("keep",), [False]),
    (("keep", "keep"), [False, False]),
    ((k for k in ["smtp", "meshkin.call"]), ["default", MESHER]),
    ({"numa": 1}, [False]),
])
def test_list_of_keys_gives_a_list_of_values(keys, values):
    assert quill_get_option(keys) == values


def test_empty_list_still_finds_the_commands(locators):
    assert quill_get_option([]) == []
    assert locators.calls == ["quill", "meshkin"]


@pytest.mark.parametrize("option, shown", [
    ("quill.remote", "quill.remote"), ("num_threads", "num_threads"), ("", ""),
    (["keep", "Keep"], "Keep"), ([None], "None"), (b"k", "107"),
])
def test_unknown_key_is_a_key_error(option, shown):
    with pytest.raises(KeyError) as info:
        quill_get_option(option)
    assert info.value.args == (f"Unknown option '{shown}'",)


@pytest.mark.parametrize("call", [
    lambda: quill_get_option([["keep"]]),
    lambda: quill_get_option(["keep", {"a": 1}]),
    lambda: options._set_one(["keep"], 1),
])
def test_unhashable_key_fails_in_the_lookup(call):
    # The dictionary lookup's own error, as `key in store` gives it.
    with pytest.raises(TypeError, match="unhashable type"):
        call()


@pytest.mark.parametrize("option", [5, 2.5, object()])
def test_non_iterable_option_is_a_type_error(option):
    with pytest.raises(TypeError, match="not iterable"):
        quill_get_option(option)


def test_stored_none_is_a_value(locators):
    quill_set_option("working.directory", None)
    assert quill_get_option("working.directory") is None
    locators.found["quill"] = AssertionError("the engine locator must not run")
    quill_set_option("quill.call", None)
    assert quill_get_option("quill.call") is None
    assert quill_get_option()["quill.call"] is None


@pytest.mark.parametrize("read", [
    lambda: quill_get_option(), lambda: quill_get_option("keep"), lambda: quill_get_option([]),
    quill_enabled_Tandem_features,
])
def test_missing_mesher_fails_every_read_until_its_command_is_stored(locators, read):
    locators.found["meshkin"] = FileNotFoundError(MESHER_MISSING)
    with pytest.raises(FileNotFoundError, match=MESHER_MISSING):
        read()
    # The checks after this set read nothing unstored, so the set succeeds.
    quill_set_option("meshkin.call", "/opt/meshkin")
    read()


def test_returned_dicts_are_copies():
    quill_get_option_default()["keep"] = True
    quill_get_option()["verbose"] = True
    assert quill_get_option(["keep", "verbose"]) == [False, False]


@pytest.mark.parametrize("value, enabled", [(None, False), (1, True), ("x", True), (0, False),
                                            ("", False), (True, True)])
def test_tandem_features(value, enabled):
    if value is not None:
        quill_set_option("Tandem.features", value)
    assert quill_enabled_Tandem_features() is enabled


# ---- setting ---------------------------------------------------------------------------

def test_set_positionally_then_read(store, recwarn):
    assert quill_set_option("keep", True) is None
    assert quill_get_option("keep") is True
    assert store == {"keep": True}
    assert not recwarn.list


def test_keywords_are_stored_in_call_order_and_checked_once(store, checks_run):
    quill_set_option(verbose=True, keep=True, **{"num.threads": "4:1"})
    assert list(store.items()) == [("verbose", True), ("keep", True), ("num.threads", "4:1")]
    assert checks_run == [1]


def test_a_str_subclass_key_is_accepted(store):
    quill_set_option(type("Key", (str,), {})("keep"), 1)
    assert quill_get_option("keep") == 1


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), (("keep",), {}), (("keep", True, 1), {}), (("keep", True), {"verbose": True}),
    (("keep",), {"verbose": True}),
])
def test_calling_form_errors_change_nothing(store, checks_run, args, kwargs):
    with pytest.raises(TypeError) as info:
        quill_set_option(*args, **kwargs)
    assert info.value.args == (CALLING_FORM,)
    assert store == {} and checks_run == []


@pytest.mark.parametrize("key", [1, None, b"keep", ("keep",)])
def test_key_must_be_a_str(store, checks_run, key):
    with pytest.raises(TypeError) as info:
        quill_set_option(key, True)
    assert info.value.args == ("First positional argument must be a string key",)
    assert store == {} and checks_run == []


@pytest.mark.parametrize("key", ["quill.remote", "num_threads", "Keep", "args", "kwargs"])
def test_unknown_key_is_refused(store, checks_run, key):
    with pytest.raises(KeyError) as info:
        quill_set_option(key, 1)
    assert info.value.args == (f"Unknown option '{key}'",)
    with pytest.raises(KeyError):
        quill_set_option(**{key: 1})
    assert store == {} and checks_run == []


def test_unknown_keyword_keeps_the_earlier_ones(store, checks_run):
    with pytest.raises(KeyError) as info:
        quill_set_option(keep=True, bogus=1, verbose=True)
    assert info.value.args == ("Unknown option 'bogus'",)
    assert store == {"keep": True} and checks_run == []


@pytest.mark.parametrize("mode, stored", [
    ("compact", "compact"), ("classic", "classic"), ("twostage", "twostage"),
    ("experimental", "compact"),
])
def test_valid_modes(mode, stored):
    quill_set_option("quill.mode", mode)
    assert quill_get_option("quill.mode") == stored


@pytest.mark.parametrize("mode", ["Compact", " compact", "", None, 1, ["compact"]])
def test_invalid_mode_stays_and_fails_every_later_set(store, mode):
    with pytest.raises(ValueError) as info:
        quill_set_option("quill.mode", mode)
    assert info.value.args == (INVALID_MODE,)
    assert quill_get_option("quill.mode") == mode
    with pytest.raises(ValueError, match="Invalid 'quill.mode'"):
        quill_set_option("keep", True)
    assert store["keep"] is True
    quill_set_option("quill.mode", "classic")


def test_invalid_mode_stops_the_later_checks(store):
    with pytest.raises(ValueError):
        quill_set_option(**{"malloc.lib": "default", "quill.mode": "fast"})
    assert store["malloc.lib"] == "default"


@pytest.fixture
def existing_lib(tmp_path, monkeypatch):
    (tmp_path / "libmine.so").touch()
    monkeypatch.chdir(tmp_path)
    return str(tmp_path / "libmine.so")


@pytest.mark.parametrize("lib, stored", [
    ("default", "mi"), (None, "mi"), ("je", "je"), ("tc", "tc"), ("compiler", "compiler"),
    ("mi", "mi"), ("EXISTING", "EXISTING"), ("libmine.so", "libmine.so"),
])
def test_allocator_without_warning(recwarn, existing_lib, lib, stored):
    lib = existing_lib if lib == "EXISTING" else lib
    stored = existing_lib if stored == "EXISTING" else stored
    quill_set_option("malloc.lib", lib)
    assert quill_get_option("malloc.lib") == stored
    assert not recwarn.list


def test_missing_absolute_allocator_falls_back_with_a_warning():
    with pytest.warns(UserWarning) as record:
        quill_set_option("malloc.lib", "/no/such/libjemalloc.so")
    assert [str(w.message) for w in record] == [
        "User-defined library for option 'malloc.lib', /no/such/libjemalloc.so, "
        "does not exist. Using default."]
    assert quill_get_option("malloc.lib") == "mi"


def test_unknown_allocator_stays_and_warns_at_every_set(existing_lib):
    message = "Value for option 'malloc.lib' = 'jemalloc' may not be available on this system."
    for key, value in [("malloc.lib", "jemalloc"), ("keep", True)]:
        with pytest.warns(UserWarning) as record:
            quill_set_option(key, value)
        assert [str(w.message) for w in record] == [message]
    assert quill_get_option("malloc.lib") == "jemalloc"


@pytest.mark.parametrize("lib, error", [(["je"], TypeError), (2.5, TypeError),
                                        (2**70, OverflowError)])
def test_allocator_the_existence_test_refuses_stays_stored(store, lib, error):
    with pytest.raises(error):
        quill_set_option("malloc.lib", lib)
    assert store["malloc.lib"] == lib


def test_multibyte_working_directory_warns_at_every_set():
    message = ("*** working.directory=[/tmp/Résumé] contains multibyte characters. "
               "This may fail on some systems.")
    for key, value in [("working.directory", "/tmp/Résumé"), ("keep", True)]:
        with pytest.warns(UserWarning) as record:
            quill_set_option(key, value)
        assert [str(w.message) for w in record] == [message]


@pytest.mark.parametrize("directory", ["/tmp/plain", None, b"/tmp/R\xc3\xa9sum\xc3\xa9"])
def test_plain_or_non_str_working_directory_is_quiet(recwarn, directory):
    quill_set_option("working.directory", directory)
    assert not recwarn.list


@pytest.mark.parametrize("text, multibyte", [
    ("", False), ("abc/def", False), ("\x7f", False), ("\x80", True), ("é", True),
    ("日本", True), ("\U0001F600", True), ("\ud800", True),
])
def test_multibyte_detection(text, multibyte):
    assert quill_anyMultibyteUTF8Characters(text) is multibyte


# ---- module-level names are looked up at each call ------------------------------------

def test_rebinding_the_store_takes_effect(monkeypatch):
    monkeypatch.setattr(options, "_QUILL_OPTIONS", {"keep": "rebound"})
    assert quill_get_option("keep") == "rebound"
    quill_set_option("verbose", 1)
    assert options._QUILL_OPTIONS == {"keep": "rebound", "verbose": 1}


@pytest.mark.parametrize("name, replacement, read, expected", [
    ("_cpu_default_string", lambda: "3:1", lambda: quill_get_option("num.threads"), "3:1"),
    ("quill_get_option_default", lambda: {"only": 1},
     lambda: quill_get_option(), {"only": 1, "quill.call": ENGINE, "meshkin.call": MESHER}),
    ("quill_get_option", lambda key: 1, quill_enabled_Tandem_features, True),
    ("os", types.SimpleNamespace(cpu_count=lambda: 12), lambda: quill_get_option("num.threads"),
     "12:1"),
    ("quill_call_builtin", lambda: "/elsewhere", lambda: quill_get_option("quill.call"),
     "/elsewhere"),
    ("meshkin_call_builtin", lambda: "/m", lambda: quill_get_option("meshkin.call"), "/m"),
])
def test_rebinding_a_name_takes_effect_at_the_next_read(monkeypatch, name, replacement, read,
                                                         expected):
    monkeypatch.setattr(options, name, replacement)
    assert read() == expected


def test_rebinding_the_remote_script_takes_effect():
    options.quill_remote_script = lambda: "/rebound.remote"  # the fixture restores it
    quill_set_option("quill.call", "remote")
    assert quill_get_option()["quill.call"] == "/rebound.remote"


def test_rebinding_set_one_and_the_defaults_changes_the_valid_keys(monkeypatch, store):
    monkeypatch.setattr(options, "quill_get_option_default", lambda: {"only": 1})
    with pytest.raises(KeyError):
        quill_set_option("keep", True)
    seen = []
    monkeypatch.setattr(options, "_set_one", lambda key, value: seen.append((key, value)))
    monkeypatch.setattr(options, "_post_set_checks", lambda: None)
    quill_set_option("anything", 1)
    assert seen == [("anything", 1)] and store == {}


def test_rebinding_the_check_helpers_takes_effect(monkeypatch):
    warned = []
    monkeypatch.setattr(options, "warnings", types.SimpleNamespace(warn=warned.append))
    fake_path = types.SimpleNamespace(exists=lambda p: False)
    monkeypatch.setattr(options, "os", types.SimpleNamespace(cpu_count=lambda: 2, path=fake_path))
    quill_set_option("malloc.lib", "je-custom")
    assert warned == ["Value for option 'malloc.lib' = 'je-custom' may not be available on "
                      "this system."]

    def refuse(text):
        raise UnicodeError(text)
    monkeypatch.setattr(options, "_any_mb", refuse)
    with pytest.raises(UnicodeError):
        quill_set_option("working.directory", "/tmp/x")
    assert quill_get_option("working.directory") == "/tmp/x"


def test_a_cycle_of_rebound_functions_is_a_recursion_error(monkeypatch):
    monkeypatch.setattr(options, "quill_get_option_default", options.quill_get_option)
    with pytest.raises(RecursionError):
        quill_get_option()
