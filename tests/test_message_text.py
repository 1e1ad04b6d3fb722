"""User text in messages and summaries arrives as it was.

Lone surrogates (text from undecodable file names, say) cannot be encoded as UTF-8, and NUL
ends a C string; either must come through, not turn into a UnicodeEncodeError or a cut text.
"""

import pytest

from corvid.meshkin.gfield import GFIELD2PcMatern, gfield2_pcmatern, gfield_grid_projector

ODD = "a\ud800b\x00c"  # a lone surrogate and a NUL


class Shown(float):
    """A number that prints as ODD."""

    def __str__(self):
        return ODD


@pytest.fixture
def model(grid_mesh):
    return gfield2_pcmatern(grid_mesh)


def with_attribute(obj, name, value):
    setattr(obj, name, value)
    return obj


@pytest.mark.parametrize("render, expected", [
    (lambda m: with_attribute(m, "prior_range", (ODD, 0.5)).summary(), f"P(range < {ODD}) = 0.5"),
    (lambda m: with_attribute(m, "alpha", Shown(2.0)).summary(), f"alpha: {ODD}\n"),
], ids=["summary prior", "summary alpha"])
def test_model_texts(model, render, expected):
    assert expected in render(model)


@pytest.mark.parametrize("call, error, message", [
    (lambda m: with_attribute(m, "alpha", Shown(3.0)).precision((0.0, 0.0)), NotImplementedError,
     f"alpha={ODD} not implemented. Use alpha=1 or alpha=2."),
    (lambda m: GFIELD2PcMatern(m.mesh, m.fem, alpha=ODD), NotImplementedError,
     f"B matrices not implemented for alpha={ODD}, d=2. Currently only alpha=2, d=2 (nu=1) is supported."),
], ids=["precision", "B matrices"])
def test_messages(model, call, error, message):
    with pytest.raises(error) as info:
        call(model)
    assert str(info.value) == message


def test_grid_projector_summary(grid_mesh):
    projector = gfield_grid_projector(grid_mesh, dims=(3, 3))
    projector.dims = (ODD, 3)
    assert f"Grid dimensions: {ODD} x 3 = 9 points" in projector.summary()

