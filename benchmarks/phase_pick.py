"""The voxel phase pick in numpy, shared by the volume and mesh benchmarks: a
24-byte FNV-1a hash of each voxel's cell indices picks a phase by its share of
the volume fractions."""

from __future__ import annotations

import numpy as np

FNV_OFFSET = np.uint64(0xCBF29CE484222325)
FNV_PRIME = np.uint64(0x100000001B3)


def fnv_feed(h: np.ndarray, v: np.ndarray) -> np.ndarray:
    u = v.astype(np.int64).view(np.uint64)
    with np.errstate(over="ignore"):
        for shift in range(0, 64, 8):
            h = (h ^ ((u >> np.uint64(shift)) & np.uint64(0xFF))) * FNV_PRIME
    return h


def numpy_phase_grid(fractions, lo, hi, vs, scale_m=None):
    """Phase indices as an int32 [x][y][z] array, the phase names (byte order)
    and the voxels per axis."""
    names = sorted(fractions, key=str.encode)
    running = np.cumsum(np.array([float(fractions[k]) for k in names]))
    total = running[-1]
    cell = scale_m if scale_m is not None else vs
    # a millionth of a voxel beyond a whole number of voxels is rounding, not a voxel
    n = [max(1, int(np.ceil((hi[a] - lo[a]) / vs - 1e-6))) for a in range(3)]
    idx = [np.floor(((np.arange(n[a]) + 0.5) * vs + lo[a]) / cell).astype(np.int64) for a in range(3)]
    hx = fnv_feed(np.full(n[0], FNV_OFFSET), idx[0])
    hxy = fnv_feed(hx[:, None], idx[1][None, :])
    h = fnv_feed(hxy[:, :, None], idx[2][None, None, :])
    u = np.minimum(h.astype(np.float64) * 2.0**-64, 1.0)
    picked = np.minimum(np.searchsorted(running, total * u, side="left"), len(names) - 1)
    return picked.astype(np.int32), names, n
