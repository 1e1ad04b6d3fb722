"""corvid's command line: the fit command for a user's own table and the demo.

`main` parses the arguments; each step of the fit command (reading the table and the
study region, meshing, fitting, writing the maps into a folder that appears whole or not at
all) lives in its own module, and every failure reaches the user as one line and exit 2.
"""

from .main import main

__all__ = ["main"]
