"""Reference implementations the tests hold the core to: the hashed cell pick
of the voxel phase map, and the surface mesh files built from a phase grid."""

from __future__ import annotations

import math
import struct

import numpy as np

MASK = (1 << 64) - 1


# ---------------------------------------------------------------- phase pick


def cell(v: float, size: float) -> int:
    """Index of the cell of width size holding v, saturated to 64 bits (NaN: 0)."""
    f = math.floor(v / size) if math.isfinite(v / size) else v / size
    if f != f:
        return 0
    if f >= 2.0**63:
        return (1 << 63) - 1
    if f <= -(2.0**63):
        return -(1 << 63)
    return int(f)


def fnv_pick(fractions: dict, point, size: float):
    """The reference cell pick: 24-byte FNV-1a over the cell indices."""
    items = [(k, float(v)) for k, v in sorted(fractions.items(), key=lambda kv: kv[0].encode())
             if isinstance(v, (int, float)) and not isinstance(v, bool)]
    total = 0.0
    for _, f in items:
        total += f
    h = 0xCBF29CE484222325
    for b in struct.pack("<qqq", *(cell(c, size) for c in point)):
        h = ((h ^ b) * 0x100000001B3) & MASK
    u = min(float(h) * 2.0**-64, 1.0)
    t = total * u
    s = 0.0
    for name, f in items:
        s += f
        if s >= t:
            return name
    return items[-1][0]


def centres(lo: float, n: int, vs: float) -> list[float]:
    """Voxel centres along one axis, computed in the order the grid uses."""
    return [(i + 0.5) * vs + lo for i in range(n)]


def voxel_count(low: float, high: float, vs: float) -> int:
    """Voxels along one axis: a partial voxel counts unless it is within a
    millionth of a voxel (a rounding error); at least one."""
    q = (high - low) / vs - 1e-6
    if not q > 0:
        return 1
    return math.ceil(q) if math.isfinite(q) else 2**64 - 1


def grid_shape(lower, upper, vs: float) -> tuple[int, int, int]:
    """Voxels per axis of the box."""
    return tuple(voxel_count(lower[a], upper[a], vs) for a in range(3))


def phase_grid(fractions: dict | None, lower, shape, vs: float, cell_size: float | None = None) -> np.ndarray:
    """Phase of every voxel, indexed [x][y][z], as its index in the byte-sorted
    phase names. Fewer than two phases: all 0. The pattern cell is one voxel
    unless cell_size is given."""
    grid = np.zeros(shape, dtype=np.int64)
    if fractions and len(fractions) > 1:
        names = sorted(fractions, key=str.encode)
        cx, cy, cz = (centres(lower[a], shape[a], vs) for a in range(3))
        for i, x in enumerate(cx):
            for j, y in enumerate(cy):
                for k, z in enumerate(cz):
                    grid[i, j, k] = names.index(fnv_pick(fractions, (x, y, z), cell_size or vs))
    return grid


# ---------------------------------------------------------------- mesh files


OFFSETS = {0: [(0, 0, 0), (0, 1, 0), (0, 1, 1), (0, 0, 1)],
           1: [(0, 0, 0), (1, 0, 0), (1, 0, 1), (0, 0, 1)],
           2: [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0)]}


def faces(grid: np.ndarray):
    """(axis, grid-line index of corner 0, sign of the normal, phase) in output order."""
    nx, ny, nz = grid.shape

    def ph(i, j, k):
        return int(grid[i, j, k]) if 0 <= i < nx and 0 <= j < ny and 0 <= k < nz else -1

    def face(axis, c, low, up):
        return (axis, c, -1.0 if up >= 0 else 1.0, up if up >= 0 else low)

    out = []
    for p in range(nx + 1):
        for j in range(ny):
            for k in range(nz):
                if ph(p - 1, j, k) != ph(p, j, k):
                    out.append(face(0, (p, j, k), ph(p - 1, j, k), ph(p, j, k)))
    for i in range(nx):
        for p in range(ny + 1):
            for k in range(nz):
                if ph(i, p - 1, k) != ph(i, p, k):
                    out.append(face(1, (i, p, k), ph(i, p - 1, k), ph(i, p, k)))
    for i in range(nx):
        for j in range(ny):
            for p in range(nz + 1):
                if ph(i, j, p - 1) != ph(i, j, p):
                    out.append(face(2, (i, j, p), ph(i, j, p - 1), ph(i, j, p)))
    return out


def corners(face, lower, vs):
    axis, c, _, _ = face
    return [tuple((c[a] + off[a]) * vs + lower[a] for a in range(3)) for off in OFFSETS[axis]]


def normal(face):
    n = [0.0, 0.0, 0.0]
    n[face[0]] = face[2]
    return n


def _winds_along(axis: int, sign: float) -> bool:
    c = OFFSETS[axis]
    winding = np.cross(np.subtract(c[1], c[0]), np.subtract(c[2], c[0]))
    return bool(winding[axis] * sign > 0)


WINDS_ALONG = {(axis, sign): _winds_along(axis, sign) for axis in OFFSETS for sign in (-1.0, 1.0)}


def wound(face) -> list[int]:
    """Corner order that winds along the face's normal by the right-hand rule:
    the corner order itself, or (0, 3, 2, 1) when that winds the other way."""
    return [0, 1, 2, 3] if WINDS_ALONG[face[0], face[2]] else [0, 3, 2, 1]


def one_line(text: str) -> str:
    """A name as written into one line of a text file: line breaks blanked."""
    return text.replace("\r", " ").replace("\n", " ")


def reference_mtl(names) -> str:
    """One block per phase; the colour hashes the name's exact bytes."""
    out = []
    for name in names:
        h = 0xCBF29CE484222325
        for b in name.encode():
            h = ((h ^ b) * 0x100000001B3) & MASK
        rgb = [((h >> shift) & 255) / 255.0 for shift in (48, 32, 16)]
        out.append(f"newmtl {one_line(name)}\nKd %.4f %.4f %.4f\nKa %.4f %.4f %.4f\nKs 0.5 0.5 0.5\nNs 32\n\n"
                   % (*rgb, *(0.2 * c for c in rgb)))
    return "".join(out)


def reference_obj(name, mtl_ref, names, grid, lower, vs) -> str:
    """Vertices are numbered in corner order; face lines list them wound."""
    index: dict[bytes, int] = {}
    verts, groups = [], [[] for _ in names]
    for f in faces(grid):
        quad = []
        for c in corners(f, lower, vs):
            key = struct.pack("<3d", *c)
            if key not in index:
                index[key] = len(verts) + 1
                verts.append(c)
            quad.append(index[key])
        groups[f[3]].append([quad[i] for i in wound(f)])
    text = f"mtllib {mtl_ref}\n" + "".join("v %.6f %.6f %.6f\n" % v for v in verts)
    for p, group in enumerate(groups):
        if group:
            text += f"o {one_line(name)}_{one_line(names[p])}\nusemtl {one_line(names[p])}\n"
            text += "".join("f %d %d %d %d\n" % tuple(q) for q in group)
    return text


def triangles(grid, lower, vs):
    for f in faces(grid):
        c = [corners(f, lower, vs)[i] for i in wound(f)]
        yield normal(f), (c[0], c[1], c[2])
        yield normal(f), (c[0], c[2], c[3])


def reference_stl_ascii(name, grid, lower, vs) -> str:
    out = [f"solid {one_line(name)}\n"]
    for n, tri in triangles(grid, lower, vs):
        out.append("  facet normal %.6f %.6f %.6f\n    outer loop\n" % tuple(n))
        out += ["\t  vertex %.6f %.6f %.6f\n" % v for v in tri]
        out.append("    endloop\n  endfacet\n")
    return "".join(out) + f"endsolid {one_line(name)}\n"


def reference_stl_binary(name, grid, lower, vs) -> bytes:
    tris = list(triangles(grid, lower, vs))
    head = ("lumivarex " + name).encode()[:80].ljust(80, b"\0") + struct.pack("<I", len(tris))
    return head + b"".join(struct.pack("<12fH", *n, *tri[0], *tri[1], *tri[2], 0) for n, tri in tris)
