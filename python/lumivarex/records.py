"""Shapes of the dicts that the native core takes and returns.

These are plain :class:`typing.TypedDict` classes: at run time they are
ordinary dicts, so they serve type checkers and editors and cost nothing.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Literal, Tuple, TypedDict, Union

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = [
    "Json",
    "Tier",
    "Point3",
    "Bounds",
    "BoxLike",
    "BackboneAtom",
    "FourierCoefficient",
    "FourierBake",
    "AlloyTarget",
    "AlloyCandidate",
]

#: A decoded datasheet value: normally a dict, but any JSON value may be stored.
Json = Any

#: The twelve tiers, in their canonical order.
Tier = Literal["subatomic", "atom", "molecule", "alloy", "ceramic", "composite", "amino_acid", "protein",
               "cell", "cell_component", "nucleic_acid", "biomaterial"]

#: A point in metres, (x, y, z).
Point3 = Tuple[float, float, float]

#: An export box in metres: ((xmin, ymin, zmin), (xmax, ymax, zmax)).
Bounds = Tuple[Point3, Point3]

#: A box as the Python API takes it: the two corners as nested sequences or a
#: (2, 3) numpy array.
BoxLike = Union[Sequence[Sequence[float]], "NDArray[Any]"]


class BackboneAtom(TypedDict):
    """One backbone atom: "N", "CA" or "C" of residue ``res_idx``, in ångström."""

    name: str
    res_idx: int
    x: float
    y: float
    z: float


class FourierCoefficient(TypedDict):
    """One retained coefficient of a Fourier bake; ``phase`` is in radians.

    Sample (i, j, k) of an nx x ny x nz bake is ``base_value`` plus the sum over
    the coefficients of ``amplitude * cos(2*pi*(n*i/nx + m*j/ny + l*k/nz) + phase)``,
    exactly when none was truncated.
    """

    n: int
    m: int
    l: int  # noqa: E741 - the frequency index along z
    amplitude: float
    phase: float


class FourierBake(TypedDict):
    """The result of a Fourier bake: mean value plus the retained coefficients."""

    property_name: str
    base_value: float
    domain_size_m: list[float]
    coefficients: list[FourierCoefficient]
    boundary_condition: str


class _AlloyTargetRequired(TypedDict):
    property: str


class AlloyTarget(_AlloyTargetRequired, total=False):
    """One optimiser target: a property that must lie between optional bounds.

    ``weight`` (default 1.0) multiplies how far inside its window a candidate
    lies when candidates are ranked: past a single bound, or from the nearer
    edge when both are given.
    """

    min_value: float | None
    max_value: float | None
    weight: float


class AlloyCandidate(TypedDict):
    """One composition that met every target, with its estimate and score."""

    composition: dict[str, float]
    estimated_properties: dict[str, float]
    score: float
