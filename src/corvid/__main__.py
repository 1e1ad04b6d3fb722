"""Command line of corvid: ``python -m corvid demo --help``."""

from __future__ import annotations

import argparse
import math
import os
import sys
import time


def _positive_float(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0.0):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


def _non_negative_float(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value >= 0.0):
        raise argparse.ArgumentTypeError(f"must be a number of at least 0, got {text}")
    return value


def _probability(text: str) -> float:
    value = float(text)
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError(f"must be a probability strictly between 0 and 1, got {text}")
    return value


def _count(minimum: int):
    def parse(text: str) -> int:
        value = int(text)
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, got {text}")
        return value
    return parse


def _new_output_directory() -> str:
    base = time.strftime("corvid-demo-%Y%m%d-%H%M%S")
    path, k = base, 1
    while os.path.exists(path):
        k += 1
        path = f"{base}-{k}"
    return path


def _parser() -> tuple[argparse.ArgumentParser, argparse.ArgumentParser]:
    """The command-line parser and its demo sub-parser."""
    parser = argparse.ArgumentParser(prog="python -m corvid", description="corvid command line")
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser(
        "demo", help="build a PC-Matérn field on a study region, write its engine files and draw a sample",
        description="Builds a mesh over a study region with a lake and a buffer around it (the 'mesh' "
                    "extra), and the PC-Matérn field model on it, writes the seven "
                    "model files for the engine and reads them back, builds the observation matrix "
                    "for random locations, draws one sample of the field and saves it as a PNG "
                    "(with matplotlib, the 'plot' extra), and vets an example prior and family.")
    demo.add_argument("--out", help="output directory (default: a new corvid-demo-<time> directory here)")
    demo.add_argument("--max-edge", type=_positive_float, default=0.4,
                      help="longest triangle edge in the region, 2.5 times that in the buffer "
                           "(default 0.4: about 3,000 vertices)")
    demo.add_argument("--offset", type=_non_negative_float, default=4.0,
                      help="width of the buffer around the region, 0 for none (default 4, one field range)")
    demo.add_argument("--prior-range", nargs=2, type=float, default=(3.0, 0.5), metavar=("R0", "P"),
                      help="PC prior of the range: P(range < R0) = P (default 3 0.5)")
    demo.add_argument("--prior-sigma", nargs=2, type=float, default=(1.0, 0.01), metavar=("S0", "P"),
                      help="PC prior of sigma: P(sigma > S0) = P (default 1 0.01)")
    demo.add_argument("--field-range", type=_positive_float, default=4.0,
                      help="range of the sampled field (default 4)")
    demo.add_argument("--field-sigma", type=_positive_float, default=1.0,
                      help="standard deviation of the sampled field (default 1)")
    demo.add_argument("--n-obs", type=_count(0), default=500, help="random observation locations (default 500)")
    demo.add_argument("--grid", nargs=2, type=_count(2), default=(300, 300), metavar=("NX", "NY"),
                      help="pixels of the picture (default 300 300)")
    demo.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    return parser, demo


def _check_priors(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    for name in ("prior_range", "prior_sigma"):
        threshold, probability = getattr(args, name)
        if not (math.isfinite(threshold) and threshold > 0.0 and 0.0 < probability < 1.0):
            option = "--" + name.replace("_", "-")
            parser.error(f"argument {option}: needs a positive threshold and a probability in (0, 1)")


def main(argv: list[str] | None = None) -> int:
    parser, demo = _parser()
    args = parser.parse_args(argv)
    _check_priors(demo, args)
    from corvid.demo import DemoSettings, run

    settings = DemoSettings(
        out=args.out or _new_output_directory(), max_edge=args.max_edge, offset=args.offset,
        prior_range=tuple(args.prior_range), prior_sigma=tuple(args.prior_sigma),
        field_range=args.field_range, field_sigma=args.field_sigma, n_obs=args.n_obs,
        grid=tuple(args.grid), seed=args.seed)
    try:
        run(settings)
    except (OSError, ImportError, ValueError) as exc:
        print(f"python -m corvid demo: error: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
