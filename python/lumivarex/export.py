"""Shader sources and files for a material."""

from __future__ import annotations

from collections.abc import Sequence

from . import _lumivarex_core as _core

__all__ = ["export_glsl", "export_hlsl"]


def export_glsl(name: str, include_density: bool = True, include_ior: bool = True, include_sss: bool = True,
                include_caustic: bool = True) -> str:
    """GLSL source of a function returning the material's density, index of
    refraction and two subsurface-scattering values as a vec4."""
    return _core.py_export_glsl(name, include_density, include_ior, include_sss, include_caustic)


def export_hlsl(name: str, out_path: str, properties: Sequence[str] | None = None) -> str:
    """Writes an HLSL struct and sampler holding the material's numeric
    properties (all of them, or ``properties``) and returns ``out_path``."""
    return _core.py_export_hlsl(name, out_path, properties)
