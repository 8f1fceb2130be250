"""Checks of the arguments of the Python API, made before the core sees them.

Each check returns the value in the form the core takes, or raises TypeError
(a value of the wrong kind) or ValueError (a value out of range) naming the
argument, so that a bad argument never reaches a precondition of the core.
"""

from __future__ import annotations

import math
import numbers
import os
from collections.abc import Iterable, Sequence

from ._lumivarex_core import py_list_tiers
from .records import Bounds, Tier


def text(value: object, arg: str) -> str:
    """A non-empty str."""
    if not isinstance(value, str):
        raise TypeError(f"{arg} must be a str, got {type(value).__name__}")
    if not value:
        raise ValueError(f"{arg} must not be empty")
    return value


def texts(value: object, arg: str) -> list[str]:
    """A sequence (not a str) of non-empty strs."""
    if isinstance(value, (str, bytes)) or not isinstance(value, Sequence):
        raise TypeError(f"{arg} must be a sequence of str, got {type(value).__name__}")
    return [text(item, f"{arg}[{i}]") for i, item in enumerate(value)]


def real(value: object, arg: str) -> float:
    """A finite real number (bool is no number here)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{arg} must be a real number, got {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{arg} must be finite, got {number}")
    return number


def positive(value: object, arg: str) -> float:
    """A finite real number above zero."""
    number = real(value, arg)
    if not number > 0:
        raise ValueError(f"{arg} must be above zero, got {number}")
    return number


def scale(value: object, arg: str = "scale_m") -> float | None:
    """None, or a length above zero."""
    return None if value is None else positive(value, arg)


def flag(value: object, arg: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{arg} must be a bool, got {type(value).__name__}")
    return value


def bounds(value: object, arg: str = "bounds") -> Bounds:
    """Two corners of three finite numbers, ((xmin, ymin, zmin), (xmax, ymax, zmax)),
    from any nested sequence or (2, 3) array."""
    corners = []
    for i, corner in enumerate(_items(value, arg, "two (x, y, z) corners")):
        xyz = [real(v, f"{arg}[{i}]") for v in _items(corner, f"{arg}[{i}]", "three numbers")]
        if len(xyz) != 3:
            raise ValueError(f"{arg}[{i}] must hold three numbers (x, y, z), got {len(xyz)}")
        corners.append((xyz[0], xyz[1], xyz[2]))
    if len(corners) != 2:
        raise ValueError(f"{arg} must hold two corners, (xmin, ymin, zmin) and (xmax, ymax, zmax), "
                         f"got {len(corners)}")
    return corners[0], corners[1]


def counts(value: object, arg: str, *, minimum: int) -> tuple[int, int, int]:
    """Three ints of at least `minimum` (numpy ints too; bool is no int here)."""
    items = _items(value, arg, "three ints")
    if len(items) != 3:
        raise ValueError(f"{arg} must be three ints, got {len(items)} values")
    out = []
    for item in items:
        if isinstance(item, bool) or not isinstance(item, numbers.Integral):
            raise TypeError(f"{arg} must be three ints, got {type(item).__name__}")
        if int(item) < minimum:
            raise ValueError(f"{arg} must be three ints of at least {minimum}, got {int(item)}")
        out.append(int(item))
    return out[0], out[1], out[2]


def _items(value: object, arg: str, what: str) -> list[object]:
    """The items of a sequence or array (not a str)."""
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError(f"{arg} must be {what}, got {type(value).__name__}")
    return list(value)


def path(value: object, arg: str) -> str:
    """A path, str or os.PathLike[str], as a str."""
    if not isinstance(value, (str, os.PathLike)):
        raise TypeError(f"{arg} must be a str or path-like, got {type(value).__name__}")
    location = os.fspath(value)
    if not isinstance(location, str):
        raise TypeError(f"{arg} must name a path as str, got {type(location).__name__}")
    if not location:
        raise ValueError(f"{arg} must not be empty")
    return location


def made_parent(location: str) -> str:
    """``location``, once the folder that will hold it exists."""
    parent = os.path.dirname(location)
    if parent:
        os.makedirs(parent, exist_ok=True)
    return location


def tier(value: object) -> Tier | None:
    """None, or one of the twelve tier names exactly."""
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"tier must be a str or None, got {type(value).__name__}")
    tiers = py_list_tiers()
    if value not in tiers:
        raise ValueError(f"tier must be one of {', '.join(tiers)}; got '{value}'")
    return value  # type: ignore[return-value]  # checked against the core's own list
