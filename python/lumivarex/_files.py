"""The core's exporters, reached by any name of an entry and any path.

Each function takes the arguments of its ``py_export_*`` twin in their order
and returns what it returns, but resolves the name (key, symbol or alias, any
letter case; the files then carry the entry's key), accepts ``os.PathLike``
paths and creates missing parent folders for every format. Boxes are in
metres: ``((xmin, ymin, zmin), (xmax, ymax, zmax))`` as any nested sequence
or (2, 3) array.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Literal, Union

from . import _args
from . import _lumivarex_core as _core
from ._names import entry_key
from .records import BoxLike, Tier

__all__ = ["export_obj", "export_stl", "export_vtk", "export_raw", "export_hlsl", "export_glsl", "UNITS"]

#: A file path: str or any os.PathLike of str (pathlib.Path and the like).
PathArg = Union[str, "os.PathLike[str]"]

#: A length unit of the mesh files, which carry none.
Units = Literal["m", "mm", "um"]

#: Units of the mesh files, and how many of each make a metre.
UNITS: dict[str, float] = {"m": 1.0, "mm": 1e3, "um": 1e6}


def units_per_m(units: object) -> float:
    """The number of ``units`` in a metre."""
    if not isinstance(units, str) or units not in UNITS:
        raise ValueError(f"units must be one of {', '.join(map(repr, UNITS))}, got {units!r}")
    return UNITS[units]


def export_obj(name: str, obj_path: PathArg, bounds: BoxLike, voxel_size: float, scale_m: float | None = None,
               *, units: Units = "m", tier: Tier | None = None) -> tuple[str, str]:
    """Writes the surface between the phases of the voxel grid over ``bounds`` as
    Wavefront OBJ with its MTL library beside it; returns ``(obj_path, mtl_path)``.
    Coordinates are in ``units``: "m" (as the core writes them), "mm" or "um";
    the files are otherwise the same."""
    key = entry_key(name, tier).key
    path, box = _args.path(obj_path, "obj_path"), _args.bounds(bounds)
    size, scale = _args.positive(voxel_size, "voxel_size"), _args.scale(scale_m)
    return _core.py_export_obj_units(key, _args.made_parent(path), box, size, scale, units_per_m(units))


def export_stl(name: str, out_path: PathArg, bounds: BoxLike, voxel_size: float, scale_m: float | None = None,
               binary: bool = True, *, units: Units = "m", tier: Tier | None = None) -> str:
    """Writes the same surface as binary (or ASCII) STL, which carries no unit,
    with its coordinates in ``units`` as :func:`export_obj`; returns ``out_path``."""
    key = entry_key(name, tier).key
    path, box = _args.path(out_path, "out_path"), _args.bounds(bounds)
    size, scale = _args.positive(voxel_size, "voxel_size"), _args.scale(scale_m)
    return _core.py_export_stl_units(key, _args.made_parent(path), box, size, scale, _args.flag(binary, "binary"),
                                     units_per_m(units))


def export_vtk(name: str, out_path: PathArg, bounds: BoxLike, voxel_size: float,
               properties: Sequence[str] | None = None, scale_m: float | None = None, *,
               tier: Tier | None = None) -> str:
    """Writes an ASCII VTK volume of the phase indices and of each property
    sampled at the voxel centres; returns ``out_path``."""
    key = entry_key(name, tier).key
    path, box = _args.path(out_path, "out_path"), _args.bounds(bounds)
    size, scale = _args.positive(voxel_size, "voxel_size"), _args.scale(scale_m)
    names = None if properties is None else _args.texts(properties, "properties")
    return _core.py_export_vtk_legacy(key, _args.made_parent(path), box, size, names, scale)


def export_raw(name: str, out_path: PathArg, bounds: BoxLike, voxel_size: float, scale_m: float | None = None,
               mode: Literal["phase", "occupancy"] = "phase", *, tier: Tier | None = None) -> str:
    """Writes a raw little-endian float32 volume (x fastest: the phase index, or
    1.0 everywhere for mode "occupancy") and its JSON sidecar; returns ``out_path``."""
    key = entry_key(name, tier).key
    path, box = _args.path(out_path, "out_path"), _args.bounds(bounds)
    size, scale = _args.positive(voxel_size, "voxel_size"), _args.scale(scale_m)
    if mode not in ("phase", "occupancy"):
        raise ValueError(f"mode must be 'phase' or 'occupancy', got {mode!r}")
    return _core.py_export_sdf_raw(key, _args.made_parent(path), box, size, scale, mode)


def export_hlsl(name: str, out_path: PathArg, properties: Sequence[str] | None = None, *,
                tier: Tier | None = None) -> str:
    """Writes an HLSL struct and sampler holding the material's numeric
    properties (all of them, or ``properties``); returns ``out_path``."""
    key = entry_key(name, tier).key
    path = _args.path(out_path, "out_path")
    names = None if properties is None else _args.texts(properties, "properties")
    return _core.py_export_hlsl(key, _args.made_parent(path), names)


def export_glsl(name: str, include_density: bool = True, include_ior: bool = True, include_sss: bool = True,
                include_caustic: bool = True, *, tier: Tier | None = None) -> str:
    """GLSL source of a function returning the material's density, index of
    refraction and two subsurface-scattering values as a vec4."""
    key = entry_key(name, tier).key
    return _core.py_export_glsl(key, _args.flag(include_density, "include_density"),
                                _args.flag(include_ior, "include_ior"), _args.flag(include_sss, "include_sss"),
                                _args.flag(include_caustic, "include_caustic"))
