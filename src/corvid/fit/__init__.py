"""Fitting Gaussian data with the field model, without the engine."""

from .precision import precision_from_files

__all__ = ["precision_from_files"]
