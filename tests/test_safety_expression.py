"""Vetting of expression priors before they reach the engine."""

import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

from corvid.safety import expression
from corvid.safety.errors import SafetyError
from corvid.safety.expression import _is_expression_prior, _validate_expression_prior

PREFIX = "corvid safety check: expression prior "


@pytest.mark.parametrize("prior, expected", [
    ("  Expression: return(1)", True),
    ("EXPRESSION:", True),
    ("expression : return(1)", False),
    ("gaussian", False),
    (None, False),
    (3, False),
    (b"expression: return(1)", False),
])
def test_is_expression_prior(prior, expected):
    assert _is_expression_prior(prior) is expected


@pytest.mark.parametrize("prior", [
    "expression: return(1)",
    "Expression:return( 2*theta )",
    "expression: x = exp(theta); return(x)",
    "expression: return (x)",
    "expression:\u2003return(1)\u3000",  # Unicode spaces belong to the whitespace class
    "expression: a = 1;\n\treturn(a >= 0 != 1)",
])
def test_valid_priors_pass(prior):
    assert _validate_expression_prior(prior) is None


@pytest.mark.parametrize("prior, message", [
    ("return(1)", "must start with 'expression:'."),
    ("expression:", "body is empty."),
    ("expression:   \t ", "body is empty."),
    ("expression: return(x['a'])", "contains disallowed characters: \"'\", '[', ']'."),
    ("expression: return(x) # note", "contains disallowed characters: '#'."),
    ("expression: return(x): y", "contains disallowed characters: ':'."),
    ("expression: return(é)", "contains disallowed characters: 'é'."),
    ("expression: RETURN(x)", "must contain a return() statement."),
    ("expression: return\t(x)", "must contain a return() statement."),
    ("expression: a__b = 1; return(a__b)", "contains blocked token '__'."),
    ("expression: return(medeval)", "contains blocked token 'eval'."),
    ("expression: return(OS.x)", "contains blocked token 'os.'."),
])
def test_rejections_name_the_failed_check(prior, message):
    with pytest.raises(SafetyError) as info:
        _validate_expression_prior(prior)
    assert info.value.args == (PREFIX + message,)


@pytest.mark.parametrize("prior, got", [(None, "NoneType"), (b"x", "bytes"), (type("S", (str,), {})("x"), "S")])
def test_only_exact_str_is_accepted(prior, got):
    with pytest.raises(TypeError, match=re.escape(f"Argument 'prior' has incorrect type (expected str, got {got})")):
        _validate_expression_prior(prior)


def test_safety_error_is_looked_up_when_raising(monkeypatch):
    class Rejected(Exception):
        pass

    monkeypatch.setattr(expression, "SafetyError", Rejected)
    with pytest.raises(Rejected):
        _validate_expression_prior("no colon")


@given(st.text())
def test_any_text_passes_or_is_rejected_with_a_safety_error(text):
    try:
        _validate_expression_prior("expression:" + text)
    except SafetyError as exc:
        assert str(exc).startswith(PREFIX)
        if "disallowed characters" in str(exc):
            body = text.strip()
            shown = {ch for ch in body if not expression._EXPRESSION_ALLOWED_CHARS.match(ch)}
            assert str(exc) == PREFIX + "contains disallowed characters: " + ", ".join(
                sorted(repr(ch) for ch in shown)) + "."


@given(st.one_of(st.none(), st.integers(), st.floats(), st.binary(), st.lists(st.text()), st.text()))
def test_any_object_gives_a_bool(obj):
    assert isinstance(_is_expression_prior(obj), bool)


# Characters at the edges of the allowed class: Unicode whitespace (allowed), separators and
# look-alikes that are not whitespace (refused), and characters beyond the basic plane.
EDGE_CHARACTERS = "a Z 9 _ ( ) ; \t\n\x0b\x0c\r\x1c\x1f\x85\xa0\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000" \
                  "\u200b\u180e\ufeff\x00\x7f#$:'\"[]{}\U0001f600\U00010000é"


@given(st.text(alphabet=EDGE_CHARACTERS, min_size=1))
def test_character_check_is_the_patterns(body):
    text = "expression: return(x) " + body
    stripped = text.split(":", 1)[1].strip()
    refused = sorted({repr(ch) for ch in stripped if not expression._EXPRESSION_ALLOWED_CHARS.match(ch)})
    try:
        _validate_expression_prior(text)
    except SafetyError as exc:
        if refused:
            assert str(exc) == PREFIX + "contains disallowed characters: " + ", ".join(refused) + "."
        else:
            assert "disallowed characters" not in str(exc)
    else:
        assert not refused


@pytest.mark.parametrize("pattern, prior, refused", [
    (re.compile(r"^[a-z();: ]+$"), "expression: return(1)", "'1'"),
    (re.compile(r"^[a-zA-Z0-9_\s\+\-\*/\^();\.,=<>!]+$", re.ASCII), "expression: return(x)\xa0", None),
    (re.compile(r"^[a-zA-Z0-9_\s\+\-\*/\^();\.,=<>!]+$", re.ASCII), "expression: return(x)\xa0;y", "'\\xa0'"),
])
def test_a_rebound_pattern_is_honoured(monkeypatch, pattern, prior, refused):
    monkeypatch.setattr(expression, "_EXPRESSION_ALLOWED_CHARS", pattern)
    if refused is None:
        _validate_expression_prior(prior)  # stripped away before the check
    else:
        with pytest.raises(SafetyError, match=re.escape(f"disallowed characters: {refused}.")):
            _validate_expression_prior(prior)
