"""Volumes for visualisation and analysis libraries: phase maps and property
fields as pyvista images and xarray DataArrays, placed by their Grid."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from ._arrays import PhaseMap, PropertyField
from ._extras import require

if TYPE_CHECKING:
    import pyvista
    import xarray

__all__ = ["to_pyvista", "to_xarray"]


def _values(volume: PhaseMap | PropertyField) -> tuple[str, Any]:
    """The array's name and its values [z, y, x]."""
    if isinstance(volume, PhaseMap):
        return "phase", volume.phases
    return volume.property, volume.values


def to_pyvista(volume: PhaseMap | PropertyField, user: str) -> pyvista.ImageData:
    pv: Any = require("pyvista", "viz", user)
    g = volume.grid
    name, values = _values(volume)
    nz, ny, nx = g.shape
    image: pyvista.ImageData = pv.ImageData(dimensions=(nx + 1, ny + 1, nz + 1), spacing=(g.voxel_size,) * 3,
                                            origin=g.lower_corner())
    image.cell_data[name] = np.ascontiguousarray(values).ravel()  # x fastest, as VTK orders cells
    for key, value in _attrs(volume).items():
        image.field_data[key] = np.atleast_1d(np.asarray(value))
    return image


def to_xarray(volume: PhaseMap | PropertyField, user: str) -> xarray.DataArray:
    xr: Any = require("xarray", "xarray", user)
    g = volume.grid
    name, values = _values(volume)
    coords = {axis: (axis, g.centres(axis), {"units": "m", "long_name": f"voxel centre {axis}"}) for axis in "zyx"}
    array: xarray.DataArray = xr.DataArray(values, dims=("z", "y", "x"), coords=coords, name=name,
                                           attrs=_attrs(volume))
    return array


def _attrs(volume: PhaseMap | PropertyField) -> dict[str, Any]:
    """What places the values and says what they are, as flat values a
    netCDF or VTK file can hold."""
    g = volume.grid
    attrs: dict[str, Any] = {"entry": volume.key, "tier": volume.tier}
    if isinstance(volume, PhaseMap):
        attrs["phase_names"] = list(volume.phase_names)
    else:
        attrs["property"] = volume.property
    attrs.update({"bounds_m": [*g.bounds[0], *g.bounds[1]], "voxel_size_m": g.voxel_size, "scale_m": g.scale_m,
                  "counts_zyx": list(g.counts), "start_zyx": list(g.start)})
    return attrs
