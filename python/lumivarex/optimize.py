"""Random search for alloy compositions that meet property targets."""

from __future__ import annotations

from collections.abc import Sequence

from . import _lumivarex_core as _core
from .records import AlloyCandidate, AlloyTarget

__all__ = ["optimize_alloy"]


def optimize_alloy(targets: Sequence[AlloyTarget], base: str, alloying_pool: Sequence[str] | None = None,
                   n_candidates: int = 1000, top_k: int = 5, seed: int | None = None) -> list[AlloyCandidate]:
    """Draws ``n_candidates`` compositions of up to four elements of
    ``alloying_pool`` (default Cr, Ni, Mn, Si, Cu, Mo) added to ``base``,
    estimates their properties as fraction-weighted means of the elements'
    "Properties", and returns the ``top_k`` best of those meeting every target
    (a window ranks its middle first). The same ``seed`` gives the same result.
    Raises ValueError for an unknown base or pool element or a target property
    that no element carries."""
    return _core.py_optimize_alloy(targets, base, alloying_pool, n_candidates, top_k, seed)
