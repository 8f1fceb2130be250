"""`lumivarex._lumivarex_core` module entry point.

On import, resolves the `lumivarex/data/active/` data path from the
installed Python package and eagerly loads all datasheets into the
in-memory registry.

Long calls (the exports, the Fourier bake, the optimiser, the RMSD) release
the interpreter lock while they work, stop on Ctrl-C, and write each file
whole or not at all; LUMIVAREX_NUM_THREADS limits the native worker threads.
"""

import os
from collections.abc import Sequence
from typing import Any, Literal

from numpy.typing import NDArray
from typing_extensions import Buffer, TypeAlias

from lumivarex.records import (
    AlloyCandidate,
    AlloyTarget,
    BackboneAtom,
    Bounds,
    FourierBake,
    Json,
    Point3,
)

__all__ = [
    "py_get",
    "py_save",
    "py_sample",
    "py_data_sheet",
    "py_list_tiers",
    "py_export_glsl",
    "py_kabsch_rmsd",
    "py_build_backbone",
    "py_build_backbone_from_entry",
    "py_ramachandran_region",
    "py_optimize_alloy",
    "py_export_hlsl",
    "py_export_sdf_raw",
    "py_export_vtk_legacy",
    "py_export_stl",
    "py_export_obj",
    "py_bake_fourier",
    "is_rust_backend",
    "version_rust",
    "__version__",
]

__version__: str

# What the array functions read: a numpy array of any real dtype, strides and
# byte order, or anything else with the buffer protocol, or nested sequences.
_Rows: TypeAlias = NDArray[Any] | Buffer | Sequence[Sequence[float]]
_Box: TypeAlias = _Rows
_ZYX: TypeAlias = Sequence[int]

class PanicException(BaseException):
    """A broken precondition of a call (an empty required name, an implausible
    formula count, ...). Derives from BaseException, so ``except Exception``
    does not catch it."""

# registry
def py_get(spec: str, scope_str: str | None = None) -> Json:
    """Find a datasheet by name, symbol, alias (any case) or braces formula such
    as ``"{Fe=3, C=1}"`` (numbers, nested ones too, weighted by the counts and
    summed); ``scope_str`` limits the search to one tier. Raises KeyError when
    nothing matches."""

def py_save(name: str, data_json: str, tier_str: str) -> Json | None:
    """Store a JSON document under ``name`` in a tier (in memory only); returns
    the entry it displaced, or None. Raises ValueError for bad JSON or an
    unknown tier."""

def py_sample(
    name: str,
    property: str,
    at: Point3 | None = None,
    scale_m: float | None = None,
) -> float:
    """The value of ``property`` of entry ``name`` at point ``at`` seen at length
    scale ``scale_m`` (metres). Raises KeyError."""

def py_voxel_counts(bounds: Bounds, voxel_size: float) -> tuple[int, int, int]:
    """Voxels per axis, ``(nx, ny, nz)``, of the grid every export builds over the
    box: ceil((max - min) / voxel_size - 1e-6), at least 1. Not in ``__all__``.
    Raises ValueError when ``voxel_size`` is not positive."""

def py_data_sheet(name: str) -> Json:
    """The whole entry stored under exactly ``name``. Raises KeyError."""

def py_list_tiers() -> list[str]:
    """The names of the twelve tiers in their canonical order, from ``"subatomic"``
    to ``"biomaterial"``."""

# shaders
def py_export_glsl(
    name: str,
    include_density: bool = True,
    include_ior: bool = True,
    include_sss: bool = True,
    include_caustic: bool = True,
) -> str:
    """GLSL source of a function returning the material's bulk constants.
    Raises ValueError when the entry is unknown."""

def py_export_hlsl(name: str, out_path: str, properties: Sequence[str] | None = None) -> str:
    """Write an HLSL shader for the material; returns ``out_path``. Raises RuntimeError."""

# protein geometry
def py_kabsch_rmsd(a: Sequence[Sequence[float]], b: Sequence[Sequence[float]]) -> float:
    """RMSD (ångström) of two N x 3 point sets after the best proper superposition
    (0.0 for two empty sets). Raises ValueError, also when only one is empty."""

def py_build_backbone(sequence: str, phi_psi_deg: Sequence[tuple[float, float]]) -> list[BackboneAtom]:
    """N, CA and C atoms of every residue from one-letter codes and (phi, psi) in degrees,
    one pair per residue (surplus pairs are ignored). Raises ValueError when
    there are fewer pairs than residues."""

def py_build_backbone_from_entry(entry_name: str) -> list[BackboneAtom]:
    """The backbone of a protein datasheet's "residues". Raises KeyError."""

def py_ramachandran_region(
    phi_deg: float, psi_deg: float
) -> Literal["alpha_helix", "beta_sheet", "left_alpha", "polyproline_ii", "other"]:
    """The Ramachandran region of a (phi, psi) pair in degrees."""

# alloy optimiser
def py_optimize_alloy(
    targets: Sequence[AlloyTarget],
    base: str,
    alloying_pool: Sequence[str] | None = None,
    n_candidates: int = 1000,
    top_k: int = 5,
    seed: int | None = None,
) -> list[AlloyCandidate]:
    """Random compositions around ``base`` that meet every target, best first.
    Raises ValueError, also for a base or pool element that is no registry key
    and for a target whose property no element carries."""

# volume exports
def py_export_sdf_raw(
    name: str,
    out_path: str,
    bounds: Bounds,
    voxel_size: float,
    scale_m: float | None = None,
    mode: str = "phase",
) -> str:
    """Write a raw float32 voxel volume and its JSON sidecar; returns ``out_path``.
    Raises RuntimeError."""

def py_sidecar_path(out_path: str) -> str:
    """The path of the JSON sidecar ``py_export_sdf_raw`` writes beside ``out_path``:
    the extension of its last component replaced by ``.json`` (added when there is
    none). Not in ``__all__``."""

def py_export_vtk_legacy(
    name: str,
    out_path: str,
    bounds: Bounds,
    voxel_size: float,
    properties: Sequence[str] | None = None,
    scale_m: float | None = None,
) -> str:
    """Write an ASCII VTK structured-points volume, its points at the voxel
    centres; returns ``out_path``. Raises RuntimeError, also when a property
    cannot be sampled at any voxel (voxels that fail alone read 0.0)."""

# surface exports
def py_export_stl(
    name: str,
    out_path: str,
    bounds: Bounds,
    voxel_size: float,
    scale_m: float | None = None,
    binary: bool = True,
) -> str:
    """Write the phase-boundary surface as binary or ASCII STL; returns ``out_path``.
    Raises RuntimeError."""

def py_export_obj(
    name: str,
    obj_path: str,
    bounds: Bounds,
    voxel_size: float,
    scale_m: float | None = None,
) -> tuple[str, str]:
    """Write the phase-boundary surface as OBJ with an MTL library; returns
    ``(obj_path, mtl_path)``. Raises RuntimeError."""

def py_export_stl_units(
    name: str,
    out_path: str,
    bounds: Bounds,
    voxel_size: float,
    scale_m: float | None = None,
    binary: bool = True,
    units_per_m: float = 1.0,
) -> str:
    """``py_export_stl`` with every coordinate in metres times ``units_per_m``
    (1000 for millimetres); the file is otherwise the same. Not in ``__all__``.
    Raises RuntimeError, also for a factor that is not finite and above zero."""

def py_export_obj_units(
    name: str,
    obj_path: str,
    bounds: Bounds,
    voxel_size: float,
    scale_m: float | None = None,
    units_per_m: float = 1.0,
) -> tuple[str, str]:
    """``py_export_obj`` with every coordinate in metres times ``units_per_m``;
    the files are otherwise the same. Not in ``__all__``. Raises RuntimeError."""

def py_mtl_path(obj_path: str) -> str:
    """The path of the MTL library ``py_export_obj`` writes for ``obj_path``: the
    extension of its last component replaced by ``.mtl`` (added when there is none);
    a path whose last component is empty, ``.`` or ``..`` comes back unchanged (the
    export refuses it). Not in ``__all__``."""

# Fourier bake
def py_bake_fourier(
    entry_name: str,
    property: str,
    bounds: Bounds,
    grid_size: tuple[int, int, int],
    truncate_threshold: float = 0.01,
) -> FourierBake:
    """Mean and truncated Fourier coefficients of a property over a box, one per
    conjugate pair of frequencies. Raises ValueError, also when no grid point
    can be sampled (points that fail alone count as 0.0)."""

# helpers of the package's Python layer (not in __all__)
def py_check_datasheet(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> str | None:
    """The import's verdict on one file of a tier folder: None when the import
    would load it, else the reason it skips it."""

# the array API and its resolver (not in __all__)
def py_resolve(name: str, scope_str: str | None = None) -> tuple[str, str]:
    """Where the entry ``py_get(name, scope_str)`` finds is stored: ``(tier, key)``.
    Raises KeyError."""

def py_tier_keys(scope_str: str | None = None) -> list[str]:
    """The keys of a tier's entries in byte order (of every tier, tier by tier,
    when ``scope_str`` is None)."""

def py_known_names(scope_str: str | None = None) -> list[str]:
    """Every key, symbol and alias of a tier (or of every tier), sorted."""

def py_sample_points(
    name: str,
    property: str,
    points: _Rows,
    scale_m: float | None = None,
) -> memoryview:
    """``py_sample`` at each row of an (N, 3) array of points in metres: a float64
    memoryview of shape (N,). Raises KeyError."""

def py_phase_map(
    name: str,
    bounds: _Box,
    voxel_size: float,
    scale_m: float | None = None,
    start: _ZYX | None = None,
    shape: _ZYX | None = None,
) -> tuple[memoryview, list[str]]:
    """The voxel phase map of the box, or of the block at ``start`` of ``shape``
    (both (z, y, x)), in C order [z, y, x] as uint8, uint16 or uint32, and the
    phase names. Raises ValueError."""

def py_property_field(
    name: str,
    property: str,
    bounds: _Box,
    voxel_size: float,
    scale_m: float | None = None,
    start: _ZYX | None = None,
    shape: _ZYX | None = None,
) -> memoryview:
    """A property at the voxel centres, float64 in C order [z, y, x]: the values
    the VTK export writes. Raises ValueError."""

def py_surface_arrays(
    name: str,
    bounds: _Box,
    voxel_size: float,
    scale_m: float | None = None,
) -> tuple[memoryview, memoryview, memoryview, memoryview, list[str]]:
    """``(vertices, triangles, phases, normals, phase_names)`` of the surface the
    OBJ and STL exports write. Raises ValueError."""

def py_backbone_array(sequence: str, phi_psi_deg: _Rows) -> memoryview:
    """``py_build_backbone`` as a float64 (3N, 3) memoryview: N, CA, C of each
    residue, in ångström. Raises ValueError."""

def py_superpose(
    a: _Rows,
    b: _Rows,
    weights: NDArray[Any] | Buffer | Sequence[float] | None = None,
) -> tuple[float, memoryview, memoryview, memoryview]:
    """``(rmsd, rotation, translation, fitted)`` of the weighted Kabsch fit of
    ``a`` onto ``b``: fitted = a @ rotation.T + translation. Raises ValueError."""

def py_bake_samples(
    entry_name: str,
    property: str,
    bounds: Bounds,
    grid_size: tuple[int, int, int],
) -> tuple[memoryview, float, list[float]]:
    """``(samples, base_value, domain_size_m)``: what ``py_bake_fourier``
    transforms, samples float64 [nx, ny, nz]. Raises ValueError."""

def py_bake_part(
    entry_name: str,
    property: str,
    bounds: Bounds,
    grid_size: tuple[int, int, int],
    part: int,
    parts: int,
) -> tuple[float, list[float], memoryview, memoryview, memoryview]:
    """Run ``part`` of ``parts`` equal runs of ``py_bake_fourier``'s coefficients,
    in its order and before truncation: ``(base_value, domain_size_m,
    frequencies, amplitude, phase)``, frequencies int32 (K, 3) holding (n, m, l).
    The runs of all parts, joined and truncated, are ``py_bake_fourier``'s result
    exactly. Raises ValueError."""

# backend probes
def is_rust_backend() -> Literal[True]:
    """Always True: the native backend is loaded."""

def version_rust() -> str:
    """The version of the native library."""
