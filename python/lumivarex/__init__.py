"""lumivarex: a library of material, molecule, particle and biomolecule datasheets.

The native core :mod:`lumivarex._lumivarex_core` loads every datasheet shipped
under ``lumivarex/data/active/`` at import and offers lookups, spatial
sampling, voxel and mesh exports, shader sources, protein geometry, a Fourier
bake and an alloy optimiser. The shapes of the dicts it takes and returns are
described in :mod:`lumivarex.records`; :mod:`lumivarex.get`,
:mod:`lumivarex.sample`, :mod:`lumivarex.optimize` and :mod:`lumivarex.export`
give its most used functions plain Python names. ``python -m lumivarex --help``
shows the command line.

The package's own functions take any name of an entry (key, symbol or alias,
in any letter case), numpy arrays and ``os.PathLike`` paths, and give numpy
arrays: :func:`get`, :func:`sample`, :func:`phase_map`, :func:`property_field`,
:func:`surface`, :func:`backbone`, :func:`superpose`, :func:`bake_fft`,
:func:`entries`, :func:`properties`, :func:`resolve` and the ``export_*``
functions. Those that make arrays import numpy when first used; the core and
the rest need it not. Their results convert to trimesh, meshio, pyvista,
xarray, gemmi and Biopython objects (``Surface.to_trimesh``,
``PhaseMap.to_pyvista``, :func:`peptide` and its ``to_gemmi`` ...), each
library an optional extra of the package.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

__all__ = [
    "core", "PanicException", "__version__",
    "get", "sample", "phase_map", "property_field", "surface", "backbone", "superpose", "bake_fft",
    "entries", "properties", "resolve", "Resolved", "UnknownNameError", "Grid", "PhaseMap", "PropertyField", "Surface",
    "Superposition", "peptide", "peptide_from_entry", "Peptide",
    "export_obj", "export_stl", "export_vtk", "export_raw", "export_hlsl", "export_glsl",
]

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
from ._files import export_glsl, export_hlsl, export_obj, export_raw, export_stl, export_vtk  # noqa: E402
from ._names import Resolved, UnknownNameError, entries, properties, resolve  # noqa: E402

if TYPE_CHECKING:
    from ._arrays import (Grid, PhaseMap, PropertyField, Superposition, Surface, backbone, bake_fft, phase_map,
                          property_field, sample, superpose, surface)
    from ._names import get
    from ._structure import Peptide, peptide, peptide_from_entry
else:
    # Modules that are called as functions too: lumivarex.get("iron") and
    # lumivarex.sample(name, property, points); see lumivarex._callable.
    from . import get, sample  # noqa: E402

    _ARRAYS = {"backbone", "bake_fft", "phase_map", "property_field", "superpose", "surface", "Grid", "PhaseMap",
               "PropertyField", "Superposition", "Surface"}
    _STRUCTURES = {"peptide", "peptide_from_entry", "Peptide"}

    def __getattr__(name: str) -> Any:
        # The array functions need numpy, which is imported only when one of
        # them is first asked for.
        if name in _ARRAYS or name in _STRUCTURES:
            from importlib import import_module

            value = getattr(import_module("._arrays" if name in _ARRAYS else "._structure", __name__), name)
            globals()[name] = value
            return value
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

    def __dir__() -> list[str]:
        return sorted(set(globals()) | set(__all__))

__version__: str = core.__version__
