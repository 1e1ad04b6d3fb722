"""Argument types and output directories shared by the commands of ``python -m corvid``."""

from __future__ import annotations

import argparse
import math
import os
import time


def positive_float(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0.0):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


def non_negative_float(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value >= 0.0):
        raise argparse.ArgumentTypeError(f"must be a number of at least 0, got {text}")
    return value


def count(minimum: int):
    """A whole number of at least `minimum`."""
    def parse(text: str) -> int:
        value = int(text)
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, got {text}")
        return value
    return parse


def new_output_directory(command: str) -> str:
    """A name for a new directory here, corvid-<command>-<time>, not yet taken."""
    base = time.strftime(f"corvid-{command}-%Y%m%d-%H%M%S")
    path, k = base, 1
    while os.path.exists(path):
        k += 1
        path = f"{base}-{k}"
    return path
