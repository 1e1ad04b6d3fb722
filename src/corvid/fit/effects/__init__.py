"""Model components ("effects") for `corvid.fit.fit`: see `corvid.fit.effects.base`."""

from .base import Block, Effect, EffectPosterior

__all__ = ["Block", "Effect", "EffectPosterior"]
