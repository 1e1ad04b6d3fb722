"""Time _validate_expression_prior against the same checks written in plain Python.

Prior texts of 10^6 and 10^7 characters: rejected ones (scattered disallowed characters, a
missing return statement, a blocked token at the end) and an accepted one. Both sides give
the same outcome (checked). No BLAS is involved.

Usage: python benchmarks/bench_expression.py [size ...]   (default sizes 10^6 and 10^7)
Targets: at least 3x faster than plain Python on the rejected texts, no slower on the accepted.
"""

import re
import sys
import time

from corvid.safety.errors import SafetyError
from corvid.safety.expression import _validate_expression_prior

ALLOWED = re.compile(r"^[a-zA-Z0-9_\s\+\-\*/\^();\.,=<>!]+$")
BLOCKED = {"import", "__", "exec", "eval", "system", "subprocess", "os.", "open(", "file(",
           "compile", "globals", "locals", "getattr", "setattr", "delattr"}


def python_validate(prior):
    """The validator's checks in plain Python."""
    body = prior.strip()
    idx = body.find(":")
    if idx < 0:
        raise SafetyError("corvid safety check: expression prior must start with 'expression:'.")
    body = body[idx + 1:].strip()
    if not body:
        raise SafetyError("corvid safety check: expression prior body is empty.")
    if not ALLOWED.match(body):
        bad = sorted({repr(ch) for ch in body if not ALLOWED.match(ch)})
        raise SafetyError(f"corvid safety check: expression prior contains disallowed characters: {', '.join(bad)}.")
    if "return(" not in body.replace(" ", ""):
        raise SafetyError("corvid safety check: expression prior must contain a return() statement.")
    lowered = body.lower()
    for token in BLOCKED:
        if token in lowered:
            raise SafetyError(f"corvid safety check: expression prior contains blocked token '{token}'.")


def outcome(fn, text):
    try:
        fn(text)
    except SafetyError as exc:
        return str(exc)
    return None


def best_of(repeats, fn, text):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = outcome(fn, text)
        times.append(time.perf_counter() - start)
    return min(times), result


def texts(size):
    unit = "x = exp(theta) * 2.5; "
    filler = (unit * (size // len(unit) + 1))[:size]
    return {
        "rejected: disallowed characters": "expression: " + filler.replace("2.5", "2#5") + "return(x)",
        "rejected: no return statement": "expression: " + filler,
        "rejected: blocked token at the end": "expression: " + filler + "return(x); eval(x)",
        "accepted": "expression: " + filler + "return(x)",
    }


def main():
    sizes = [int(s) for s in sys.argv[1:]] or [10**6, 10**7]
    for size in sizes:
        print(f"prior texts of about {size:.0e} characters")
        for name, text in texts(size).items():
            t_python, expected = best_of(3, python_validate, text)
            t_ours, got = best_of(3, _validate_expression_prior, text)
            assert got == expected, (name, got, expected)
            target = ">= 3" if name.startswith("rejected") else ">= 1"
            print(f"  {name:36s} python {t_python * 1e3:8.1f} ms   corvid {t_ours * 1e3:8.1f} ms"
                  f"   speed-up {t_python / t_ours:6.1f} (target {target})")


if __name__ == "__main__":
    main()
