"""The parser of `python -m corvid`: its demo sub-command here, the fit sub-command in fit_command."""

from __future__ import annotations

import argparse

from corvid.cli import fit_command
from corvid.cli.arguments import count, new_output_directory, non_negative_float, positive_float
from corvid.cli.errors import CommandError, run_reporting
from corvid.cli.limits import require_memory
from corvid.cli.output import OutputDirectory
from corvid.cli.priors import check_pairs


def _parser() -> tuple[argparse.ArgumentParser, argparse.ArgumentParser]:
    """The command-line parser and its demo sub-parser (the fit sub-parser is fit_command's)."""
    parser = argparse.ArgumentParser(prog="python -m corvid", description="corvid command line")
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser(
        "demo", help="simulate data from a PC-Matérn field on a study region and fit it without the engine",
        description="Meshes a study region with a lake and a buffer around it (the 'mesh' extra), builds "
                    "the PC-Matérn field model on it, writes the seven model files for the engine and "
                    "reads them back, simulates a field and noisy observations at random locations in "
                    "the region, fits the model to them without the engine, prints truth against "
                    "estimate, does the same for counts from the same field with the Poisson "
                    "likelihood, saves a PNG of the truth, the data, the posterior mean and sd and the "
                    "counts' estimated intensity (with matplotlib, the 'plot' extra), fits stations in "
                    "longitude and latitude with an elevation raster and writes their map as a "
                    "GeoTIFF (the 'geo' extra), and vets an example prior and family.")
    demo.add_argument("--out", help="output directory (default: a new corvid-demo-<time> directory here)")
    demo.add_argument("--max-edge", type=positive_float, default=0.5,
                      help="longest triangle edge in the region, 2.5 times that in the buffer "
                           "(default 0.5: about 3,000 vertices)")
    demo.add_argument("--offset", type=non_negative_float, default=4.0,
                      help="width of the buffer around the region, 0 for none (default 4, one field range)")
    demo.add_argument("--prior-range", nargs=2, type=float, default=(3.0, 0.5), metavar=("R0", "P"),
                      help="PC prior of the range: P(range < R0) = P (default 3 0.5)")
    demo.add_argument("--prior-sigma", nargs=2, type=float, default=(1.0, 0.01), metavar=("S0", "P"),
                      help="PC prior of sigma: P(sigma > S0) = P (default 1 0.01)")
    demo.add_argument("--field-range", type=positive_float, default=4.0,
                      help="range of the sampled field (default 4)")
    demo.add_argument("--field-sigma", type=positive_float, default=1.0,
                      help="standard deviation of the sampled field (default 1)")
    demo.add_argument("--noise-sd", type=positive_float, default=0.3,
                      help="standard deviation of the observations' noise (default 0.3)")
    demo.add_argument("--n-obs", type=count(10), default=1000,
                      help="observations at random locations in the region (default 1000)")
    demo.add_argument("--grid", nargs=2, type=count(2), default=(300, 300), metavar=("NX", "NY"),
                      help="pixels of each panel of the picture (default 300 300)")
    demo.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    demo.add_argument("--overwrite", action="store_true",
                      help="write into an existing output directory that is not empty, replacing "
                           "the files the demo writes (others are kept)")
    fit_command.add_parser(commands)
    return parser, demo


def _check_priors(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    try:
        check_pairs(args)
    except CommandError as exc:
        parser.error(f"argument {exc}")


def main(argv: list[str] | None = None) -> int:
    parser, demo = _parser()
    args = parser.parse_args(argv)
    if args.command == "fit":
        return fit_command.main(args, args.out or new_output_directory("fit"))
    _check_priors(demo, args)
    from corvid.demo import OUTPUTS, DemoSettings, memory_needed, run

    settings = DemoSettings(
        out=args.out or new_output_directory("demo"), max_edge=args.max_edge, offset=args.offset,
        prior_range=tuple(args.prior_range), prior_sigma=tuple(args.prior_sigma),
        field_range=args.field_range, field_sigma=args.field_sigma, noise_sd=args.noise_sd,
        n_obs=args.n_obs,
        grid=tuple(args.grid), seed=args.seed)

    def work() -> None:
        require_memory(memory_needed(settings),
                       f"{settings.n_obs:,} observations and a picture of {settings.grid[0]:,} x "
                       f"{settings.grid[1]:,} cells", "use a smaller --n-obs or --grid")
        with OutputDirectory(settings.out, args.overwrite, OUTPUTS) as staging:
            run(settings, staging)

    return run_reporting("python -m corvid demo", work)
