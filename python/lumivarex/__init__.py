"""lumivarex: a library of material, molecule, particle and biomolecule datasheets.

The native core :mod:`lumivarex._lumivarex_core` loads every datasheet shipped
under ``lumivarex/data/active/`` at import and offers lookups, spatial
sampling, voxel and mesh exports, shader sources, protein geometry, a Fourier
bake and an alloy optimiser.
"""

from __future__ import annotations

__all__ = ["core", "__version__"]

from . import _lumivarex_core as core  # noqa: E402

__version__ = core.__version__
