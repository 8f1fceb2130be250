"""lumivarex: a library of material, molecule, particle and biomolecule datasheets.

The native core :mod:`lumivarex._lumivarex_core` loads every datasheet shipped
under ``lumivarex/data/active/`` at import and offers lookups, spatial
sampling, voxel and mesh exports, shader sources, protein geometry, a Fourier
bake and an alloy optimiser. The shapes of the dicts it takes and returns are
described in :mod:`lumivarex.records`; :mod:`lumivarex.get`,
:mod:`lumivarex.sample`, :mod:`lumivarex.optimize` and :mod:`lumivarex.export`
give its most used functions plain Python names. ``python -m lumivarex --help``
shows the command line.
"""

from __future__ import annotations

__all__ = ["core", "PanicException", "__version__"]

from . import _lumivarex_core as core  # noqa: E402
from ._lumivarex_core import PanicException  # noqa: E402

__version__: str = core.__version__
