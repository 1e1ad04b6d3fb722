"""Fitting Gaussian data with the field model, without the engine."""
