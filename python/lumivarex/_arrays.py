"""The array API: numpy arrays in and out of the core.

Lengths are in metres, protein geometry in ångström and degrees. Arrays over
a box's voxel grid are in C order ``[z, y, x]`` (x varies fastest, as in the
raw and VTK files), and a block of the grid is given by its ``start`` and
``shape``, both ``(z, y, x)`` in voxels of the whole box's grid. Arrays the
core makes are wrapped without a copy and are writable.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _args
from . import _lumivarex_core as _core
from ._names import entry_key
from .records import Bounds, BoxLike, FourierBake, FourierCoefficient, Tier

if TYPE_CHECKING:
    import pyvista
    import trimesh
    import xarray

__all__ = ["sample", "phase_map", "property_field", "surface", "backbone", "superpose", "bake_fft",
           "Grid", "PhaseMap", "PropertyField", "Surface", "Superposition"]

Float64Array = npt.NDArray[np.float64]
IndexArray = npt.NDArray[np.unsignedinteger[Any]]


class Grid(NamedTuple):
    """Where an array over a box's voxel grid lies: what a reader needs to
    place its values in space."""

    #: The whole box, ((xmin, ymin, zmin), (xmax, ymax, zmax)) in metres.
    bounds: Bounds
    #: Voxel edge in metres.
    voxel_size: float
    #: Cell size of the phase pattern in metres (the voxel size when none was given).
    scale_m: float
    #: Voxels of the whole box's grid, (nz, ny, nx).
    counts: tuple[int, int, int]
    #: The array's first voxel in the whole box's grid, (z, y, x).
    start: tuple[int, int, int]
    #: The array's shape, (z, y, x).
    shape: tuple[int, int, int]

    def lower_corner(self) -> tuple[float, float, float]:
        """The minimum corner (x, y, z) in metres of the array's first voxel."""
        lo = self.bounds[0]
        z, y, x = self.start
        return (x * self.voxel_size + lo[0], y * self.voxel_size + lo[1], z * self.voxel_size + lo[2])

    def centres(self, axis: str) -> Float64Array:
        """Voxel centres in metres along "x", "y" or "z" for the array's voxels,
        computed as the exports compute them."""
        a = "xyz".index(axis)
        first, n = self.start[2 - a], self.shape[2 - a]
        index = np.arange(first, first + n, dtype=np.float64)
        centres: Float64Array = (index + 0.5) * self.voxel_size + self.bounds[0][a]
        return centres


def _grid(box: Bounds, size: float, scale: float | None, first: tuple[int, int, int] | None,
          shape: tuple[int, ...] | None) -> Grid:
    nx, ny, nz = _core.py_voxel_counts(box, size)
    z, y, x = shape or (nz, ny, nx)
    return Grid(box, size, size if scale is None else scale, (nz, ny, nx), first or (0, 0, 0), (z, y, x))


class PhaseMap(NamedTuple):
    """The voxel phase map of a box, or of a block of its grid."""

    #: Phase index of each voxel, [z, y, x]: uint8, uint16 or uint32, the
    #: smallest that holds every index into ``phase_names``.
    phases: IndexArray
    phase_names: list[str]
    #: The entry the name resolved to.
    tier: Tier
    key: str
    #: The block's first voxel in the whole box's grid, (z, y, x).
    start: tuple[int, int, int]
    #: Where the block lies.
    grid: Grid

    def to_pyvista(self) -> pyvista.ImageData:
        """A ``pyvista.ImageData`` of the block's voxels (origin its lower
        corner, spacing the voxel size) with the phase indices as cell data
        "phase" and the entry, phase names and grid as field data; its
        ``save("map.vti")`` writes a VTK image file. Needs the ``viz`` extra."""
        from ._volume import to_pyvista

        return to_pyvista(self, "PhaseMap.to_pyvista")

    def to_xarray(self) -> xarray.DataArray:
        """An ``xarray.DataArray`` "phase" of dims (z, y, x) with the voxel
        centres in metres as coordinates and the entry, phase names and grid
        as attrs. Needs the ``xarray`` extra."""
        from ._volume import to_xarray

        return to_xarray(self, "PhaseMap.to_xarray")


class PropertyField(NamedTuple):
    """The values of one property at the voxel centres of a box, or of a block of its grid."""

    #: float64 [z, y, x], as the VTK export writes them.
    values: Float64Array
    property: str
    #: The entry the name resolved to.
    tier: Tier
    key: str
    #: Where the block lies.
    grid: Grid

    def to_pyvista(self) -> pyvista.ImageData:
        """A ``pyvista.ImageData`` of the block's voxels (origin its lower
        corner, spacing the voxel size) with the values as cell data named
        after the property and the entry and grid as field data; its
        ``save("field.vti")`` writes a VTK image file. Needs the ``viz`` extra."""
        from ._volume import to_pyvista

        return to_pyvista(self, "PropertyField.to_pyvista")

    def to_xarray(self) -> xarray.DataArray:
        """An ``xarray.DataArray`` named after the property, of dims (z, y, x),
        with the voxel centres in metres as coordinates and the entry and grid
        as attrs. Needs the ``xarray`` extra."""
        from ._volume import to_xarray

        return to_xarray(self, "PropertyField.to_xarray")


class Surface(NamedTuple):
    """The surface between phases (and at the box's hull) that the OBJ and STL
    exports write."""

    #: (V, 3) float64 corner positions in metres, in the OBJ file's order.
    vertices: Float64Array
    #: (T, 3) uint32 indices into ``vertices``, two triangles per face, wound
    #: counter-clockwise seen from where ``normals`` points.
    triangles: npt.NDArray[np.uint32]
    #: (T,) index into ``phase_names`` of the phase that owns each triangle.
    phases: IndexArray
    #: (T, 3) float64 unit normals, along an axis.
    normals: Float64Array
    phase_names: list[str]
    tier: Tier
    key: str
    #: The voxel grid the surface bounds.
    grid: Grid

    def phase(self, name: str) -> Surface:
        """The closed surface of the voxels of phase ``name``, wound outward
        from it: every one of its faces, also those the other phases own
        here; watertight, with the volume of its voxels (trimesh judges it a
        volume). ``phases`` is the phase's index throughout."""
        from ._mesh import phase_surface

        if name not in self.phase_names:
            raise KeyError(f"no phase '{name}'; the phases are {', '.join(map(repr, self.phase_names))}")
        index = self.phase_names.index(name)
        g = self.grid
        pm = phase_map(self.key, g.bounds, g.voxel_size, g.scale_m, tier=self.tier)
        lines = tuple(np.arange(n + 1, dtype=np.float64) * g.voxel_size + g.bounds[0][a]
                      for a, n in enumerate(reversed(g.counts)))
        vertices, triangles, normals = phase_surface(pm.phases, index, (lines[0], lines[1], lines[2]))
        phases = np.full(len(triangles), index, dtype=self.phases.dtype)
        return Surface(vertices, triangles, phases, normals, self.phase_names, self.tier, self.key, g)

    def to_trimesh(self) -> trimesh.Trimesh:
        """A ``trimesh.Trimesh`` of these vertices and triangles in their order
        (built with ``process=False``, so nothing is merged or dropped), the
        phase of each triangle as its face attribute "phase", and the entry,
        tier, phase names and units ("m") in its metadata. Needs the
        ``mesh`` extra."""
        from ._mesh import to_trimesh

        return to_trimesh(self)

    def to_meshio(self) -> Any:
        """A ``meshio.Mesh`` of one "triangle" cell block with the phase of
        each triangle as cell data "phase" and, as field data, each phase name
        with its index and dimension 2 (as gmsh names physical groups).
        Needs the ``mesh`` extra."""
        from ._mesh import to_meshio

        return to_meshio(self)


class Superposition(NamedTuple):
    """The proper rigid motion that brings ``a`` closest to ``b``:
    ``fitted = a @ rotation.T + translation``."""

    #: Root of the (weighted) mean squared distance between fitted and b.
    rmsd: float
    #: (3, 3) float64 proper rotation.
    rotation: Float64Array
    #: (3,) float64, in the units of the points.
    translation: Float64Array
    #: (N, 3) float64, ``a`` moved onto ``b``.
    fitted: Float64Array

    def apply(self, value: Any) -> Any:
        """A moved copy of ``value``: an (N, 3) array (any number of points),
        a Peptide, or a gemmi or Biopython structure (all its atoms and
        models), as ``x @ rotation.T + translation``."""
        from ._structure import moved

        return moved(value, self.rotation, self.translation)


def _array(view: memoryview) -> Any:
    return np.asarray(view)


def _block(value: object, arg: str, minimum: int) -> tuple[int, int, int] | None:
    return None if value is None else _args.counts(value, arg, minimum=minimum)


def sample(name: str, property: str, points: npt.ArrayLike, scale_m: float | None = None, *,
           tier: Tier | None = None) -> Float64Array:
    """The value of ``property`` of the entry ``name`` at each point of
    ``points``, an array of shape (..., 3) of positions in metres (any real
    dtype, strides and byte order); the result has the shape (...). Each value
    is exactly what ``lumivarex.core.py_sample`` gives at that point: the
    phase found in the point's cell of size ``scale_m`` (1 mm when absent) for
    a material of several phases, below a scale of 1 cm; their volume-weighted
    mean at 1 cm and above. Raises KeyError when the name is unknown or a
    point cannot be sampled."""
    key = entry_key(name, tier).key
    prop = _args.text(property, "property")
    scale = _args.scale(scale_m)
    array = np.asarray(points)
    if array.dtype.kind == "f" and array.dtype.itemsize not in (4, 8):
        array = array.astype(np.float64)  # half and extended floats: the core reads 32 and 64 bits
    if array.ndim == 0 or array.shape[-1] != 3:
        raise ValueError(f"points must have shape (..., 3), got {array.shape}")
    values = _array(_core.py_sample_points(key, prop, array.reshape(-1, 3), scale))
    result: Float64Array = values.reshape(array.shape[:-1])
    return result


def phase_map(name: str, bounds: BoxLike, voxel_size: float, scale_m: float | None = None, *,
              start: tuple[int, int, int] | None = None, shape: tuple[int, int, int] | None = None,
              tier: Tier | None = None) -> PhaseMap:
    """The phase of every voxel of the grid over ``bounds`` (voxels of edge
    ``voxel_size``, the phase pattern's cells of size ``scale_m``, by default
    the voxel size), as the exports build it; or of the block of that grid at
    ``start`` of ``shape``, both (z, y, x) and by default the whole grid. A
    block is exactly the same slice of the whole map. Raises KeyError for an
    unknown name, ValueError for a block outside the grid or a grid too large."""
    found = entry_key(name, tier)
    box, size = _args.bounds(bounds), _args.positive(voxel_size, "voxel_size")
    scale = _args.scale(scale_m)
    first, extent = _block(start, "start", 0), _block(shape, "shape", 1)
    phases, names = _core.py_phase_map(found.key, box, size, scale, first, extent)
    ids: IndexArray = _array(phases)
    return PhaseMap(ids, names, found.tier, found.key, first or (0, 0, 0), _grid(box, size, scale, first, ids.shape))


def property_field(name: str, property: str, bounds: BoxLike, voxel_size: float, scale_m: float | None = None,
                   *, start: tuple[int, int, int] | None = None, shape: tuple[int, int, int] | None = None,
                   tier: Tier | None = None) -> PropertyField:
    """The values of ``property`` at the voxel centres of the grid over
    ``bounds``, or of a block of it (as :func:`phase_map`), float64 [z, y, x]:
    the values the VTK export writes, sampled at scale ``scale_m`` (by default
    the voxel size). A voxel whose sample fails reads 0.0. Raises KeyError for
    an unknown name, ValueError when the property can be sampled at no voxel
    (for a block: in no phase of the entry)."""
    found = entry_key(name, tier)
    prop = _args.text(property, "property")
    box, size = _args.bounds(bounds), _args.positive(voxel_size, "voxel_size")
    scale = _args.scale(scale_m)
    first, extent = _block(start, "start", 0), _block(shape, "shape", 1)
    values: Float64Array = _array(_core.py_property_field(found.key, prop, box, size, scale, first, extent))
    return PropertyField(values, prop, found.tier, found.key, _grid(box, size, scale, first, values.shape))


def surface(name: str, bounds: BoxLike, voxel_size: float, scale_m: float | None = None, *,
            tier: Tier | None = None) -> Surface:
    """The surface the OBJ and STL exports write for the grid over ``bounds``:
    the same vertices (metres), faces split into triangles as in the STL file,
    each with its phase and normal."""
    found = entry_key(name, tier)
    box, size = _args.bounds(bounds), _args.positive(voxel_size, "voxel_size")
    scale = _args.scale(scale_m)
    vertices, triangles, phases, normals, names = _core.py_surface_arrays(found.key, box, size, scale)
    return Surface(_array(vertices), _array(triangles), _array(phases), _array(normals), names, found.tier,
                   found.key, _grid(box, size, scale, None, None))


def backbone(sequence: str, phi_psi_deg: npt.ArrayLike) -> Float64Array:
    """The N, CA and C atoms of each residue of ``sequence`` (one-letter codes),
    built from ``phi_psi_deg``, an (N, 2) array of (phi, psi) in degrees (one
    pair per residue; surplus pairs are ignored): float64 (3N, 3) in ångström,
    atom 3i + 0, 1, 2 being N, CA, C of residue i. Raises ValueError when there
    are fewer pairs than residues."""
    atoms: Float64Array = _array(_core.py_backbone_array(_args.text(sequence, "sequence"),
                                                         _rows(phi_psi_deg, "phi_psi_deg")))
    return atoms


def superpose(a: Any, b: Any, weights: npt.ArrayLike | None = None, *, atoms: str | Sequence[str] | None = None,
              names: Sequence[str] | None = None) -> Superposition:
    """The proper rotation and the translation that bring the (N, 3) points
    ``a`` closest to ``b`` in the (weighted) least-squares sense, and the
    RMSD that remains; without weights the RMSD is
    ``lumivarex.core.py_kabsch_rmsd(a, b)``. Two empty sets give the identity.
    Raises ValueError for sets of different lengths, or weights that are not
    one finite non-negative number per point summing above zero.

    ``a`` and ``b`` may also be structures: a :class:`Peptide`, or a gemmi
    Structure, Model, Chain or Residue, or a Biopython Structure, Model, Chain
    or Residue (of a structure, its first model; one atom per name and
    residue). ``atoms`` then keeps the atoms of those names (``"CA"``, or
    ``("N", "CA", "C")``), in order; a plain array can take part when
    ``names`` names its rows (one per row, or a cycle that repeats over them:
    ``("N", "CA", "C")`` for the rows of :func:`backbone`). The atoms are
    paired in order and each pair must have one name. ``fitted`` holds the
    paired atoms of ``a`` moved; :meth:`Superposition.apply` moves a copy of
    the whole structure."""
    from ._structure import is_structure, paired_rows

    if atoms is not None or names is not None or is_structure(a) or is_structure(b):
        a, b = paired_rows(a, b, atoms, names)
    w = None if weights is None else _rows(weights, "weights")
    rmsd, rotation, translation, fitted = _core.py_superpose(_rows(a, "a"), _rows(b, "b"), w)
    return Superposition(rmsd, _array(rotation), _array(translation), _array(fitted))


def _rows(value: npt.ArrayLike, arg: str) -> Any:
    """An array the core reads as it is (any strides and byte order); other
    real dtypes, and nested sequences, become float64."""
    if isinstance(value, memoryview):
        return value
    array = np.asarray(value)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{arg} must hold real numbers, got dtype {array.dtype}")
    if array.dtype.kind == "f" and array.dtype.itemsize not in (4, 8):
        array = array.astype(np.float64)
    return array


def bake_fft(name: str, property: str, bounds: BoxLike, grid_size: tuple[int, int, int],
             truncate_threshold: float = 0.01, *, tier: Tier | None = None) -> FourierBake:
    """``lumivarex.core.py_bake_fourier`` by the fast Fourier transform, for grids
    where its direct sum is too slow: the same samples and base_value, the same
    coefficients in the same order (one per conjugate pair of frequencies) and
    the same truncation rule.

    Tolerance: each coefficient, as the complex number amplitude·e^(i·phase),
    is within 1e-9 × 2·mean|sample − base_value| of the direct sum's; that
    bound is 1e-9 of the largest amplitude samples of that size can have, so
    the coefficients a truncation keeps agree to about 1e-9 relative or better
    (both sums round alike: measured differences are near 1e-15 of the bound).
    A coefficient whose amplitude lies within the tolerance of the cut-off may
    be kept by one and dropped by the other."""
    key = entry_key(name, tier).key
    prop = _args.text(property, "property")
    box = _args.bounds(bounds)
    nx, ny, nz = _args.counts(grid_size, "grid_size", minimum=1)
    threshold = _args.real(truncate_threshold, "truncate_threshold")
    if threshold < 0:
        raise ValueError("truncate_threshold must be a non-negative finite value")
    samples, base_value, domain = _core.py_bake_samples(key, prop, box, (nx, ny, nz))
    spectrum = np.fft.fftn(_array(samples) - base_value)
    n, m, l, terms, at = _frequencies(nx, ny, nz)
    f = spectrum.ravel()[at]
    amplitude = terms * np.abs(f) / float(nx * ny * nz)
    keep = kept_coefficients(amplitude, threshold)
    coefficients = coefficient_records(n[keep], m[keep], l[keep], amplitude[keep],
                                       np.arctan2(f.imag[keep], f.real[keep]))
    return FourierBake(property_name=prop, base_value=base_value, domain_size_m=domain, coefficients=coefficients,
                       boundary_condition="periodic")


def kept_coefficients(amplitude: Float64Array, threshold: float) -> npt.NDArray[np.bool_]:
    """Which coefficients a bake keeps: those whose amplitude is at least
    ``threshold`` times the largest one (the cut-off is 0 when that is not
    above 0); a NaN amplitude never."""
    largest = float(np.max(amplitude, initial=0.0, where=~np.isnan(amplitude)))
    cutoff = threshold * largest if largest > 0 else 0.0
    if math.isnan(cutoff):  # 0 times an infinite amplitude keeps everything, as 0 does
        cutoff = 0.0
    keep: npt.NDArray[np.bool_] = amplitude >= cutoff
    return keep


def coefficient_records(n: Any, m: Any, l: Any, amplitude: Any, phase: Any) -> list[FourierCoefficient]:
    """The coefficient dicts of a bake from its columns."""
    # Dict displays: several times faster than calling the TypedDict.
    return [{"n": i, "m": j, "l": k, "amplitude": a, "phase": p}
            for i, j, k, a, p in zip(n.tolist(), m.tolist(), l.tolist(), amplitude.tolist(), phase.tolist())]


@functools.lru_cache(maxsize=8)
def _frequencies(nx: int, ny: int, nz: int) -> tuple[Any, Any, Any, Any, Any]:
    """The bake's frequencies (n, m, l) in its order, the number of terms each
    stands for, and where each is in the flattened spectrum: one of each
    conjugate pair, n over 0..nx/2, m over only 0..ny/2 where n is its own
    conjugate (else over all of its residues, -(ny-1)/2..ny/2), l likewise
    given n and m; the zero frequency left out. Kept for a few grid sizes,
    read-only."""

    def own_conjugate(i: Any, size: int) -> Any:
        return (i == 0) | ((size % 2 == 0) & (i == size // 2))

    def half(size: int) -> Any:
        return np.arange(0, size // 2 + 1)

    def full(size: int) -> Any:
        return np.arange(-((size - 1) // 2), size // 2 + 1)

    # (m, l) after an n that is not its own conjugate, and after one that is.
    full_m, full_l = np.repeat(full(ny), nz), np.tile(full(nz), ny)
    half_m = np.concatenate([np.full(nz if not own_conjugate(j, ny) else nz // 2 + 1, j) for j in half(ny)])
    half_l = np.concatenate([full(nz) if not own_conjugate(j, ny) else half(nz) for j in half(ny)])
    ns, ms, ls = [], [], []
    for i in half(nx):
        m, l = (half_m, half_l) if own_conjugate(i, nx) else (full_m, full_l)
        ns.append(np.full(len(m), i))
        ms.append(m)
        ls.append(l)
    n, m, l = (np.concatenate(parts)[1:] for parts in (ns, ms, ls))  # [0] is the zero frequency
    terms = np.where(own_conjugate(n, nx) & own_conjugate(m, ny) & own_conjugate(l, nz), 1.0, 2.0)
    at = ((n % nx) * ny + m % ny) * nz + l % nz
    for array in (n, m, l, terms, at):
        array.flags.writeable = False
    return n, m, l, terms, at
