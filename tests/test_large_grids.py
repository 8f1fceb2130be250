"""Grids large enough to be filled in several parallel chunks, with pattern cells
that span several voxels (the fill copies rows, slabs and planes of one cell)."""

from __future__ import annotations

import numpy as np
import pytest

from conftest import build_package
from reference import grid_shape, reference_stl_binary

FRACTIONS = {"b": 3.0, "a": 1.0, "c": 0.5}
LOWER, UPPER, VOXEL = (-0.0213, 0.0004, -0.0071), (0.0387, 0.0454, 0.0429), 0.001  # 60 x 45 x 50


def numpy_phase_grid(fractions, lower, upper, vs, cell):
    """Phase index of every voxel, [x][y][z], from a vectorised FNV-1a cell pick."""
    names = sorted(fractions, key=str.encode)
    running = np.cumsum([fractions[n] for n in names])
    n = grid_shape(lower, upper, vs)
    cells = [np.floor(((np.arange(n[a]) + 0.5) * vs + lower[a]) / cell).astype(np.int64).view(np.uint64)
             for a in range(3)]
    ix, iy, iz = np.meshgrid(*cells, indexing="ij")
    h = np.full(ix.shape, 0xCBF29CE484222325, dtype=np.uint64)
    for v in (ix, iy, iz):
        for byte in range(8):
            h = (h ^ ((v >> np.uint64(8 * byte)) & np.uint64(0xFF))) * np.uint64(0x100000001B3)
    t = running[-1] * np.minimum(h.astype(np.float64) * 2.0**-64, 1.0)
    return np.minimum(np.searchsorted(running, t, side="left"), len(names) - 1)


@pytest.fixture(scope="module")
def pkg(tmp_path_factory):
    return build_package(tmp_path_factory.mktemp("large"),
                         {"alloy/triplex.json": {"phase_volume_fractions": FRACTIONS}})


@pytest.mark.parametrize("scale", [None, 0.0023, 0.004])
def test_chunked_fills_match_the_reference_pick(pkg, tmp_path, scale):
    raw, stl = tmp_path / "v.raw", tmp_path / "v.stl"
    box = (LOWER, UPPER)
    pkg.eval(f"(core.py_export_sdf_raw('triplex', {str(raw)!r}, {box!r}, {VOXEL}, {scale}),"
             f" core.py_export_stl('triplex', {str(stl)!r}, {box!r}, {VOXEL}, {scale}))")
    grid = numpy_phase_grid(FRACTIONS, LOWER, UPPER, VOXEL, scale or VOXEL)
    assert grid.shape == (60, 45, 50) and len(np.unique(grid)) == 3
    vol = np.fromfile(raw, dtype="<f4").reshape(grid.shape[::-1])
    np.testing.assert_array_equal(vol, grid.transpose(2, 1, 0))
    assert stl.read_bytes() == reference_stl_binary("triplex", grid, LOWER, VOXEL)
