"""Surfaces for mesh libraries: trimesh and meshio objects, and the closed
surface of one phase.

The surface the exports write has one face per interface, owned by the phase
of the voxel on its upper side, so no phase's part of it is closed. A phase's
closed surface is built here from the phase map instead: every side of its
voxels that faces another phase or the outside, wound outward from the phase.

Where two voxels of the phase touch only along an edge, four of its faces
meet at that edge. Each of the two voxels then gets its own copy of the
edge's midpoint, and its faces along that edge are fanned from their centre
through that copy, so that every edge of the mesh borders exactly two
triangles (watertight and consistently wound, as trimesh judges it). The
geometry, and so the volume, is that of the voxels: the extra vertices lie on
the voxel faces. Voxels of the phase that touch only at a corner share the
corner's vertex.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from ._extras import require

if TYPE_CHECKING:
    import trimesh

    from ._arrays import Float64Array, IndexArray, Surface

__all__ = ["phase_surface", "to_trimesh", "to_meshio"]

# Corner offsets along the face's two other axes (b, c) = (a + 1, a + 2),
# counter-clockwise seen from +a, then from -a.
_CORNERS = {True: ((0, 0), (1, 0), (1, 1), (0, 1)), False: ((0, 0), (0, 1), (1, 1), (1, 0))}


def _on_points(mask: npt.NDArray[np.bool_], points: tuple[int, int, int]) -> npt.NDArray[np.bool_]:
    """``mask`` padded with False at the high end of each axis to one entry
    per grid point, so that a flat index into it is a grid point's number."""
    return np.pad(mask, [(0, p - m) for p, m in zip(points, mask.shape)])


def _window(inside: npt.NDArray[np.bool_], start: list[int], length: list[int]) -> npt.NDArray[np.bool_]:
    return inside[tuple(slice(s, s + n) for s, n in zip(start, length))]


def _pinched_edges(inside: npt.NDArray[np.bool_], n: tuple[int, int, int],
                   points: tuple[int, int, int]) -> list[npt.NDArray[np.bool_]]:
    """Per axis e, flat over grid points: whether the four voxels around the
    edge along e from that point are inside and outside in diagonal pairs."""
    pinched = []
    for e in range(3):
        f1, f2 = (a for a in range(3) if a != e)

        def around(d1: int, d2: int) -> npt.NDArray[np.bool_]:
            start, length = [1, 1, 1], [n[0] + 1, n[1] + 1, n[2] + 1]
            length[e] = n[e]
            start[f1], start[f2] = d1, d2
            return _window(inside, start, length)

        q00, q01, q10, q11 = around(0, 0), around(0, 1), around(1, 0), around(1, 1)
        pinched.append(_on_points((q00 == q11) & (q01 == q10) & (q00 != q01), points).ravel())
    return pinched


def phase_surface(phases: IndexArray, index: int, lines: tuple[Float64Array, Float64Array, Float64Array]
                  ) -> tuple[Float64Array, npt.NDArray[np.uint32], Float64Array]:
    """(vertices, triangles, normals) of the closed surface of the voxels of
    ``phases`` ([z, y, x]) that hold ``index``, wound counter-clockwise seen
    from outside; ``lines`` are the grid-line coordinates along x, y and z
    (one more than the voxels)."""
    inside = np.pad(np.asarray(phases == index).transpose(2, 1, 0), 1)  # [x, y, z], outside all round
    nx, ny, nz = (s - 2 for s in inside.shape)
    n, points = (nx, ny, nz), (nx + 1, ny + 1, nz + 1)
    total = points[0] * points[1] * points[2]
    stride = (points[1] * points[2], points[2], 1)  # of grid point numbers, per axis
    pinched = _pinched_edges(inside, n, points)

    corners, sides, keys, normals, axes = [], [], [], [], []
    for a in range(3):
        b, c = (a + 1) % 3, (a + 2) % 3
        length = [n[0], n[1], n[2]]
        length[a] += 1
        lower = _window(inside, [int(a != x) for x in range(3)], length)
        upper = _window(inside, [1, 1, 1], length)
        for positive, faces in ((True, lower & ~upper), (False, upper & ~lower)):
            # Corner 0 of each face: the plane along a, the voxel's lower corner along b and c.
            first = np.flatnonzero(_on_points(faces, points))
            offsets = _CORNERS[positive]
            corners.append(np.stack([first + db * stride[b] + dc * stride[c] for db, dc in offsets], axis=1))
            split, key = [], []
            for s in range(4):
                (ub, uc), (vb, vc) = offsets[s], offsets[(s + 1) % 4]
                e = b if ub != vb else c
                step = [0, 0, 0]
                step[b], step[c] = min(ub, vb), min(uc, vc)
                edge = first + step[b] * stride[b] + step[c] * stride[c]
                # Which of the edge's two voxels of the phase this face belongs
                # to: the lower or the upper one along the first axis across e.
                f1 = min(x for x in range(3) if x != e)
                copy = 1 - step[f1] - (positive and f1 == a)
                split.append(pinched[e][edge])
                key.append((e * total + edge) * 2 + copy)
            sides.append(np.stack(split, axis=1))
            keys.append(np.stack(key, axis=1))
            normal = np.zeros((len(first), 3))
            normal[:, a] = 1.0 if positive else -1.0
            normals.append(normal)
            axes.append(np.full(len(first), a))

    corner_ids, side_split, side_keys = np.concatenate(corners), np.concatenate(sides), np.concatenate(keys)
    face_normals, face_axis = np.concatenate(normals), np.concatenate(axes)
    used = np.zeros(total, dtype=bool)
    used[corner_ids.ravel()] = True
    grid_ids = np.flatnonzero(used)
    number = np.cumsum(used) - 1  # vertex number of each used grid point
    w = number[corner_ids]
    mid_keys, mid_number = np.unique(side_keys[side_split], return_inverse=True)
    mids = np.full(side_split.shape, -1, dtype=np.int64)
    mids[side_split] = len(grid_ids) + mid_number.ravel()
    fanned = side_split.any(axis=1)
    centre = len(grid_ids) + len(mid_keys) + np.arange(int(fanned.sum()))
    if centre.size and centre[-1] >= 2**32:
        raise ValueError("phase surface: more vertices than 32-bit indices hold")

    # Faces whose sides are all plain: two triangles sharing the w0-w2 diagonal.
    plain = w[~fanned]
    plain_triangles = np.stack([plain[:, [0, 1, 2]], plain[:, [0, 2, 3]]], axis=1).reshape(-1, 3)
    # The others: per side, (centre, w_s, m_s) and (centre, m_s, w_s+1), or
    # (centre, w_s, w_s+1) where the side has no midpoint.
    fw, fm, fs = w[fanned], mids[fanned], side_split[fanned]
    fan = np.empty((len(fw), 4, 2, 3), dtype=np.int64)
    for s in range(4):
        following = fw[:, (s + 1) % 4]
        fan[:, s, :, 0] = centre[:, None]
        fan[:, s, 0, 1] = fw[:, s]
        fan[:, s, 0, 2] = np.where(fs[:, s], fm[:, s], following)
        fan[:, s, 1, 1] = fm[:, s]
        fan[:, s, 1, 2] = following
    keep = np.stack([np.ones_like(fs), fs], axis=2)
    triangles = np.concatenate([plain_triangles, fan[keep]]).astype(np.uint32)
    tri_normals = np.concatenate([np.repeat(face_normals[~fanned], 2, axis=0),
                                  np.repeat(face_normals[fanned], (1 + fs).sum(axis=1), axis=0)])

    def place(at: npt.NDArray[np.int64], halves: list[npt.NDArray[np.bool_]]) -> Float64Array:
        """Positions of the grid points numbered ``at``, moved half a voxel
        along each axis where ``halves`` says so."""
        g = np.unravel_index(at, points)
        xyz = np.empty((len(at), 3))
        for axis in range(3):
            here = lines[axis][g[axis]]
            if halves[axis].any():
                ahead = lines[axis][np.minimum(g[axis] + 1, points[axis] - 1)]
                here = np.where(halves[axis], (here + ahead) / 2, here)
            xyz[:, axis] = here
        return xyz

    edge_axis, edge_at = np.divmod(mid_keys // 2, total)
    fanned_axis = face_axis[fanned]
    vertices = np.concatenate([
        place(grid_ids, [np.zeros(len(grid_ids), dtype=bool)] * 3),
        place(edge_at, [edge_axis == x for x in range(3)]),
        place(corner_ids[fanned, 0], [fanned_axis != x for x in range(3)]),
    ])
    return vertices, triangles, tri_normals


def to_trimesh(surface: Surface) -> trimesh.Trimesh:
    lib: Any = require("trimesh", "mesh", "Surface.to_trimesh")
    mesh: trimesh.Trimesh = lib.Trimesh(
        vertices=surface.vertices, faces=surface.triangles, face_normals=surface.normals,
        face_attributes={"phase": surface.phases}, metadata=_metadata(surface), process=False)
    return mesh


def to_meshio(surface: Surface) -> Any:
    lib: Any = require("meshio", "mesh", "Surface.to_meshio")
    # field_data as gmsh reads it: each phase's name with its tag (the index
    # in the "phase" array) and dimension.
    return lib.Mesh(surface.vertices, [("triangle", surface.triangles)], cell_data={"phase": [surface.phases]},
                    field_data={name: np.array([i, 2]) for i, name in enumerate(surface.phase_names)})


def _metadata(surface: Surface) -> dict[str, Any]:
    return {"name": surface.key, "tier": surface.tier, "phase_names": list(surface.phase_names), "units": "m"}
