"""The compiled functions behave like Python functions: binding, errors, introspection."""

import dataclasses
import gc
import inspect
import pickle
import weakref

import pytest
from hypothesis import given
from hypothesis import strategies as st

from corvid.safety import expression, family

NATIVE = [
    expression._is_expression_prior,
    expression._validate_expression_prior,
    family._normalize_family_spec,
    family._normalize_link_value,
    family.enforce_allowed_family,
]


def _twin(native):
    """A pure-Python function with the same signature and names as `native`."""
    sig = inspect.signature(native)
    pieces, kwonly = [], False
    for p in sig.parameters.values():
        if p.kind is p.KEYWORD_ONLY and not kwonly:
            pieces.append("*")
            kwonly = True
        pieces.append(p.name + ("=None" if p.default is not p.empty else ""))
    namespace = {}
    exec(f"def {native.__name__}({', '.join(pieces)}): pass", namespace)
    twin = namespace[native.__name__]
    twin.__qualname__ = native.__qualname__
    return twin


def _error(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except TypeError as exc:
        return str(exc)
    except Exception:
        return None
    return None


call_shapes = st.tuples(
    st.lists(st.just(None), max_size=3),
    st.dictionaries(st.sampled_from(["prior", "family", "link_val", "kwargs", "allowed", "other"]),
                    st.just(None), max_size=3),
)


@pytest.mark.parametrize("native", NATIVE, ids=lambda f: f.__name__)
@given(shape=call_shapes)
def test_argument_errors_read_like_the_interpreters(native, shape):
    args, kwargs = shape
    expected = _error(_twin(native), args, kwargs)
    if expected is not None:
        assert _error(native, args, kwargs) == expected


def test_signature_defaults_and_annotations():
    f = family.enforce_allowed_family
    assert f.__defaults__ is None
    assert list(f.__kwdefaults__) == ["allowed"] and len(f.__kwdefaults__["allowed"]) == 21
    assert f.__annotations__ == {"kwargs": "Dict[str, Any]", "allowed": "Iterable[str]",
                                 "return": "Tuple[str, ...]"}
    assert f.__name__ == "enforce_allowed_family"
    assert f.__qualname__ == "enforce_allowed_family"
    assert f.__module__ == "corvid.safety.family"
    assert f.__doc__
    assert str(inspect.signature(expression._validate_expression_prior)) == "(prior: 'str') -> 'None'"


def test_kwdefaults_are_read_at_each_call():
    f = family.enforce_allowed_family
    saved = f.__kwdefaults__
    try:
        f.__kwdefaults__ = {"allowed": ("custom",)}
        assert f({"family": "Custom"}) == ("custom",)
        assert "= ('custom',)" in str(inspect.signature(f))
        f.__kwdefaults__ = None
        with pytest.raises(TypeError, match=r"missing 1 required keyword-only argument: 'allowed'"):
            f({"family": "t"})
    finally:
        f.__kwdefaults__ = saved
    with pytest.raises(TypeError, match="__kwdefaults__ must be set to a dict object"):
        f.__kwdefaults__ = 3


def test_defaults_setter_and_attribute_dict():
    f = expression._is_expression_prior
    f.__defaults__ = ("expression: return(1)",)
    try:
        assert f() is True
        assert str(inspect.signature(f)) == "(prior: 'Any' = 'expression: return(1)') -> 'bool'"
    finally:
        f.__defaults__ = None
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'prior'"):
        f()
    f.custom_marker = 1
    assert f.__dict__["custom_marker"] == 1
    del f.custom_marker


def test_binds_as_method_property_and_dataclass_hook():
    @dataclasses.dataclass
    class Prior:
        text: str
        is_expression = expression._is_expression_prior
        shown = property(family._normalize_link_value)

    p = Prior("expression: return(1)")
    assert p.is_expression() is False  # bound: the instance itself is the argument
    assert Prior.is_expression("expression: x") is True
    assert p.shown == str(p).strip().lower()


def test_pickles_by_reference_and_is_collected():
    for fn in NATIVE:
        assert pickle.loads(pickle.dumps(fn)) is fn
    assert repr(family.enforce_allowed_family).startswith("<function enforce_allowed_family at 0x")

    class Holder:
        pass

    holder = Holder()
    fn = family._normalize_link_value
    fn.cycle = holder
    holder.fn = fn
    ref = weakref.ref(holder)
    del holder
    del fn.cycle
    gc.collect()
    assert ref() is None


def test_weak_references_work_as_on_python_functions():
    f = family._normalize_link_value
    ref = weakref.ref(f)
    assert ref() is f
    assert weakref.WeakSet([f]) == weakref.WeakSet([f])


@pytest.mark.parametrize("defaults", [(), ("a",), ("a", "expression: x"), ("a", "b", "expression: y")])
def test_defaults_tuples_behave_as_on_python_functions(defaults):
    native = expression._is_expression_prior
    twin_body = {}
    exec("def _is_expression_prior(prior):\n"
         "    return isinstance(prior, str) and prior.strip().lower().startswith('expression:')", twin_body)
    twin = twin_body["_is_expression_prior"]
    twin.__annotations__ = dict(native.__annotations__)
    try:
        for fn in (native, twin):
            fn.__defaults__ = defaults
        assert native.__defaults__ == twin.__defaults__ == defaults
        assert str(inspect.signature(native)) == str(inspect.signature(twin))
        assert _error(native, (), {}) == _error(twin, (), {})
        if defaults:
            assert native() == twin()  # the last default fills the one parameter
    finally:
        native.__defaults__ = None
