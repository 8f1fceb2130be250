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

try:
    from . import _lumivarex_core as core  # noqa: E402
except ImportError as e:
    from importlib.util import find_spec as _find_spec

    # Python would blame a circular import; the usual cause is a source tree
    # whose core was never built, or was built for another interpreter.
    if _find_spec(__name__ + "._lumivarex_core") is not None:
        raise  # it is there but would not load: that error says why
    raise ImportError(
        f"lumivarex: no native core _lumivarex_core for this Python in {__path__[0]}; install "
        "the package (bash scripts/setup.sh) or build it in place (README.md, 'Building while "
        "developing')") from e
from ._lumivarex_core import PanicException  # noqa: E402

__version__: str = core.__version__
