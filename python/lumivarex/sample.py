"""A property's value at a point, and whole datasheets by exact name.

The module can also be called: ``lumivarex.sample(name, property, points)`` is
:func:`lumivarex._arrays.sample`, the values at an array of points in one call.
"""

from __future__ import annotations

from . import _lumivarex_core as _core
from ._callable import make_callable
from .records import Json, Point3

__all__ = ["sample", "data_sheet"]


def sample(name: str, property: str, at: Point3 | None = None, scale_m: float | None = None) -> float:
    """The value of ``property`` of the entry ``name`` at ``at`` (metres), seen
    at length scale ``scale_m``: a multi-phase material gives the phase found
    in the point's cell below 1 cm, else the volume-weighted mean over its
    phases. Raises KeyError when the entry or property is missing."""
    return _core.py_sample(name, property, at, scale_m)


def data_sheet(name: str) -> Json:
    """The whole entry stored under exactly ``name``. Raises KeyError."""
    return _core.py_data_sheet(name)


make_callable(__name__, "lumivarex._arrays:sample")
