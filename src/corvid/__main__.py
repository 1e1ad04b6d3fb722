"""Command line of corvid: ``python -m corvid demo --help``, ``python -m corvid fit --help``."""

import sys

from corvid.cli.main import main

if __name__ == "__main__":
    sys.exit(main())
