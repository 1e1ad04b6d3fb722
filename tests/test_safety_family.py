"""The likelihood-family allow-list."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from corvid.safety import family
from corvid.safety.errors import SafetyError
from corvid.safety.family import _normalize_family_spec, _normalize_link_value, enforce_allowed_family

DEFAULT_SORTED = ("beta, betabinomial, binomial, exponential, exponentialsurv, gamma, gammasurv, gaussian, "
                  "logistic, loglogistic, loglogisticsurv, lognormal, lognormalsurv, nbinomial, nbinomial2, "
                  "poisson, sn, t, weibull, weibullsurv, xbinomial")


@pytest.mark.parametrize("requested, expected", [
    (" GAUSSIAN ", ("gaussian",)),
    (["poisson", None, "POISSON"], ("poisson", "poisson")),
    (("gaussian", "weibullsurv"), ("gaussian", "weibullsurv")),
    ({"t"}, ("t",)),
])
def test_allowed_families_are_normalised(requested, expected):
    kwargs = {"family": requested, "data": None}
    assert enforce_allowed_family(kwargs) == expected
    assert kwargs["family"] is requested


@pytest.mark.parametrize("kwargs, message", [
    ({"data": 1}, "please pass the 'family' argument explicitly."),
    ({"family": None}, "'family' may not be empty."),
    ({"family": []}, "'family' may not be empty."),
    ({"family": [None, None]}, "'family' may not be empty."),
    ({"family": "   "}, f"unsupported family requested: . Only {DEFAULT_SORTED} allowed."),
    ({"family": ["Zeta", "alpha", "ZETA", "Alpha"]},
     f"unsupported family requested: alpha, zeta. Only {DEFAULT_SORTED} allowed."),
])
def test_rejections(kwargs, message):
    with pytest.raises(SafetyError) as info:
        enforce_allowed_family(kwargs)
    assert info.value.args == ("corvid safety check: " + message,)


def test_custom_allow_list_is_normalised_too():
    allowed = ["poisson", "GAUSSIAN "]
    assert enforce_allowed_family({"family": "gaussian"}, allowed=allowed) == ("gaussian",)
    with pytest.raises(SafetyError, match=r"binomial\. Only gaussian, poisson allowed\.$"):
        enforce_allowed_family({"family": "binomial"}, allowed=allowed)
    # A string is iterated character by character.
    assert enforce_allowed_family({"family": "T"}, allowed="st") == ("t",)


@pytest.mark.parametrize("kwargs", [None, [], type("D", (dict,), {})(family="t")])
def test_kwargs_must_be_exactly_a_dict(kwargs):
    with pytest.raises(TypeError, match=r"Argument 'kwargs' has incorrect type \(expected dict, got "):
        enforce_allowed_family(kwargs)


def test_allowed_is_keyword_only():
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        enforce_allowed_family({"family": "t"}, ("t",))


@pytest.mark.parametrize("link, expected", [
    (None, None), ({}, None), ({"model": None}, None), (" LoGiT ", "logit"), ({"model": " LoGiT "}, "logit"), (5, "5"),
])
def test_normalize_link_value(link, expected):
    assert _normalize_link_value(link) == expected


def test_normalize_family_spec_keeps_frozensets_whole():
    assert _normalize_family_spec(frozenset(["A"])) == ["frozenset({'a'})"]
    assert _normalize_family_spec(None) == []


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


def test_errors_of_str_pass_through():
    with pytest.raises(RuntimeError, match="no text"):
        enforce_allowed_family({"family": [Unprintable()]})
    with pytest.raises(TypeError):
        enforce_allowed_family({"family": "t"}, allowed=3)


anything = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text() | st.binary(),
    lambda inner: st.lists(inner, max_size=4) | st.tuples(inner) | st.frozensets(st.text(max_size=3), max_size=3)
    | st.dictionaries(st.text(max_size=5), inner, max_size=3),
    max_leaves=10,
)


@given(family=anything, allowed=st.lists(st.text(max_size=6), max_size=5))
def test_any_request_is_answered_or_refused_with_a_safety_error(family, allowed):
    try:
        result = enforce_allowed_family({"family": family}, allowed=allowed)
    except SafetyError:
        return
    assert isinstance(result, tuple) and result
    assert set(result) <= {str(a).strip().lower() for a in allowed}


@pytest.mark.parametrize("name", ["_normalize_family_spec", "SafetyError"])
def test_a_deleted_module_name_is_a_name_error(monkeypatch, name):
    monkeypatch.delattr(family, name)
    request = {"family": "zeta"} if name == "SafetyError" else {"family": "t"}
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
        enforce_allowed_family(request)


@pytest.mark.parametrize("result, outcome", [
    (lambda requested: (name for name in ["t", "sn"]), ()),  # spent by the check of the names
    (lambda requested: ["t", "sn"], ("t", "sn")),
    (lambda requested: None, "'family' may not be empty."),
    (lambda requested: 0, "'family' may not be empty."),
])
def test_a_rebound_normaliser_is_used_as_it_answers(monkeypatch, result, outcome):
    monkeypatch.setattr(family, "_normalize_family_spec", result)
    if isinstance(outcome, tuple):
        assert enforce_allowed_family({"family": "ignored"}) == outcome
    else:
        with pytest.raises(SafetyError, match=outcome):
            enforce_allowed_family({"family": "ignored"})
