"""Command line: ``python -m corvid demo``."""

import argparse
import sys

from corvid.safety.errors import SafetyError
from corvid.safety.expression import _is_expression_prior, _validate_expression_prior
from corvid.safety.family import enforce_allowed_family


def _demo(args: argparse.Namespace) -> int:
    prior = args.prior
    print(f"prior {prior!r}: expression prior = {_is_expression_prior(prior)}")
    try:
        _validate_expression_prior(prior)
        print("  accepted")
    except SafetyError as exc:
        print(f"  rejected: {exc}")
    try:
        print(f"family {args.family!r} -> {enforce_allowed_family({'family': args.family})}")
    except SafetyError as exc:
        print(f"family {args.family!r} rejected: {exc}")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m corvid", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser("demo", help="vet an example expression prior and family")
    demo.add_argument("--prior", default="expression: x = exp(theta); return(x)")
    demo.add_argument("--family", default=" Gaussian ")
    demo.set_defaults(run=_demo)
    args = parser.parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
