"""Surface mesh export of a 150 x 150 x 150 two-phase box.

Both sides go from the material's phase fractions and the box to a written
file. Ours: one call of py_export_stl (binary or ASCII) or py_export_obj
(voxel phase map, faces, text, write). Peers: numpy computes the same hashed
phase grid and the same faces, numpy-stl writes them (binary and ASCII), and
trimesh merges the vertices and writes the OBJ. The binary STL records of
both sides are checked to be identical before anything is reported. Files go
to a tmpfs folder when there is one, so that disk write-back does not blur
the timings.

    python3 benchmarks/bench_mesh.py [--n 150] [--repeat 3] [--dir DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from pathlib import Path

import numpy as np
import trimesh
from stl import mesh as stl_mesh
from stl import Mode

from phase_pick import numpy_phase_grid
from timing import best_of

import lumivarex._lumivarex_core as core

NAME = "bench_duplex"
FRACTIONS = {"ferrite": 1.0, "austenite": 1.0}
VOXEL = 0.001
SCALE = 0.005  # five voxels per pattern cell


def phase_grid(n: int) -> np.ndarray:
    """The hashed cell pattern of the n^3 box in numpy, [x][y][z]."""
    return numpy_phase_grid(FRACTIONS, (0.0, 0.0, 0.0), (n * VOXEL,) * 3, VOXEL, SCALE)[0]


OFFSETS = np.array([[[0, 0, 0], [0, 1, 0], [0, 1, 1], [0, 0, 1]],
                    [[0, 0, 0], [1, 0, 0], [1, 0, 1], [0, 0, 1]],
                    [[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]]])


def numpy_quads(grid: np.ndarray):
    """Corner coordinates (f, 4, 3), wound along the normal, normals (f, 3) and
    phases of the boundary faces."""
    corners, normals, phases = [], [], []
    for axis in range(3):
        pad = [(0, 0)] * 3
        pad[axis] = (1, 1)
        padded = np.pad(grid, pad, constant_values=-1)
        lo = np.delete(padded, -1, axis=axis)
        up = np.delete(padded, 0, axis=axis)
        mask = lo != up
        idx = np.argwhere(mask)  # C order: the face order of the exporter
        low, upp = lo[mask], up[mask]
        inside = upp >= 0
        c = (idx[:, None, :] + OFFSETS[axis][None]) * VOXEL + 0.0
        # OFFSETS wind towards +x, -y and +z: faces facing the other way turn round.
        turn = ~inside if axis == 1 else inside
        c[turn] = c[turn][:, [0, 3, 2, 1]]
        n = np.zeros((len(idx), 3))
        n[:, axis] = np.where(inside, -1.0, 1.0)
        corners.append(c)
        normals.append(n)
        phases.append(np.where(inside, upp, low))
    return np.concatenate(corners), np.concatenate(normals), np.concatenate(phases)


def peer_stl(n: int, path: str, mode) -> None:
    corners, normals, _ = numpy_quads(phase_grid(n))
    tris = np.empty((2 * len(corners), 3, 3))
    tris[0::2] = corners[:, [0, 1, 2]]
    tris[1::2] = corners[:, [0, 2, 3]]
    m = stl_mesh.Mesh(np.zeros(len(tris), dtype=stl_mesh.Mesh.dtype), calculate_normals=False)
    m.vectors[:] = tris
    m.normals[:] = np.repeat(normals, 2, axis=0)
    m.save(path, mode=mode, update_normals=False)


def peer_obj(n: int, path: str) -> None:
    corners, _, _ = numpy_quads(phase_grid(n))
    faces = np.arange(4 * len(corners)).reshape(-1, 4)
    tri = np.concatenate([faces[:, [0, 1, 2]], faces[:, [0, 2, 3]]])
    mesh = trimesh.Trimesh(vertices=corners.reshape(-1, 3), faces=tri, process=True)  # merges vertices
    with open(path, "w") as fh:
        fh.write(trimesh.exchange.obj.export_obj(mesh, include_normals=False, include_texture=False))


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=150)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    args = ap.parse_args()
    n = args.n
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        root = Path(tmp)
        core.py_save(NAME, json.dumps({"phase_volume_fractions": FRACTIONS}), "alloy")
        bounds = ((0.0, 0.0, 0.0), (n * VOXEL, n * VOXEL, n * VOXEL))
        out = {k: str(root / k) for k in ("ours.stl", "ours_ascii.stl", "ours.obj",
                                          "peer.stl", "peer_ascii.stl", "peer.obj")}
        grid_time = best_of(lambda: phase_grid(n), args.repeat)

        ours = {
            "binary STL": best_of(lambda: core.py_export_stl(NAME, out["ours.stl"], bounds, VOXEL, SCALE),
                               args.repeat),
            "ASCII STL": best_of(lambda: core.py_export_stl(NAME, out["ours_ascii.stl"], bounds, VOXEL, SCALE,
                                                         binary=False), args.repeat),
            "OBJ": best_of(lambda: core.py_export_obj(NAME, out["ours.obj"], bounds, VOXEL, SCALE),
                        args.repeat),
        }
        peers = {
            "binary STL": best_of(lambda: peer_stl(n, out["peer.stl"], Mode.BINARY), args.repeat),
            "ASCII STL": best_of(lambda: peer_stl(n, out["peer_ascii.stl"], Mode.ASCII), 1),
            "OBJ": best_of(lambda: peer_obj(n, out["peer.obj"]), 1),
        }
        a = Path(out["ours.stl"]).read_bytes()
        b = Path(out["peer.stl"]).read_bytes()
        if a[80:] != b[80:]:
            sys.exit("the peer's binary STL records differ from ours: not the same mesh")
        sizes = {"binary STL": len(a), "ASCII STL": os.path.getsize(out["ours_ascii.stl"]),
                 "OBJ": os.path.getsize(out["ours.obj"])}
        peer_sizes = {"binary STL": len(b), "ASCII STL": os.path.getsize(out["peer_ascii.stl"]),
                      "OBJ": os.path.getsize(out["peer.obj"])}
        triangles = int.from_bytes(a[80:84], "little")
        print(f"{n}^3 two-phase box: {triangles // 2} faces, {triangles} triangles "
              f"in {tmp}; the peers' numpy phase grid takes {grid_time:.3f} s of their times")
        peer_name = {"binary STL": "numpy+numpy-stl", "ASCII STL": "numpy+numpy-stl", "OBJ": "numpy+trimesh"}
        for k in ours:
            mb = sizes[k] / 1e6
            print(f"{k:10s} ours {ours[k]:7.3f} s {mb / ours[k]:8.1f} MB/s ({mb:.1f} MB) | "
                  f"{peer_name[k]} {peers[k]:7.3f} s {peer_sizes[k] / 1e6 / peers[k]:8.1f} MB/s | "
                  f"ratio {peers[k] / ours[k]:6.1f}x")


if __name__ == "__main__":
    main()
