"""Triangular meshes, their finite-element matrices and the spatial field models built on them."""
