"""Protein geometry against its usual Python peers, on the same work in one run.

    python3 benchmarks/bench_protein.py

Kabsch RMSD on 10, 1,000 and 1,000,000 points, every contender starting from
Python lists of lists (conversion included): the native core, a numpy Kabsch
and Biopython's SVDSuperimposer. Backbone of 10,000 residues: the native core
against a plain-Python NeRF producing the same list of dicts.
"""

from __future__ import annotations

import gc
import math
import random

import numpy as np
from Bio.SVDSuperimposer import SVDSuperimposer

from timing import best_of

import lumivarex._lumivarex_core as core


def numpy_kabsch(a, b):
    p = np.asarray(a, dtype=float)
    q = np.asarray(b, dtype=float)
    p = p - p.mean(axis=0)
    q = q - q.mean(axis=0)
    h = q.T @ p
    u, _, vt = np.linalg.svd(h)
    d = np.sign(np.linalg.det(vt.T @ u.T))
    r = vt.T @ np.diag([1.0, 1.0, d]) @ u.T
    return float(np.sqrt(((p - q @ r.T) ** 2).sum() / len(p)))


def biopython_kabsch(a, b):
    sup = SVDSuperimposer()
    sup.set(np.array(a, dtype=float), np.array(b, dtype=float))
    sup.run()
    return sup.get_rms()


def python_backbone_helpers(sequence, pairs):
    """The NeRF as usually written: small vector helpers on lists."""

    def sub(a, b):
        return [a[0] - b[0], a[1] - b[1], a[2] - b[2]]

    def cross(a, b):
        return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]

    def normalize(v):
        n = math.sqrt(v[0] ** 2 + v[1] ** 2 + v[2] ** 2)
        return [v[0] / n, v[1] / n, v[2] / n]

    def place(a, b, c, bond, angle, torsion):
        bc = normalize(sub(c, b))
        nv = normalize(cross(sub(b, a), bc))
        mv = cross(nv, bc)
        d2 = [-bond * math.cos(angle), bond * math.sin(angle) * math.cos(torsion),
              bond * math.sin(angle) * math.sin(torsion)]
        return [c[k] + d2[0] * bc[k] + d2[1] * mv[k] + d2[2] * nv[k] for k in range(3)]

    rad = math.radians
    n_res = min(len(sequence), len(pairs))
    n, ca = [0.0, 0.0, 0.0], [1.458, 0.0, 0.0]
    c = [1.458 - 1.525 * math.cos(rad(111.2)), 1.525 * math.sin(rad(111.2)), 0.0]
    out = []
    for i in range(n_res):
        if i:
            n = place(n, ca, c, 1.329, rad(116.2), rad(pairs[i - 1][1]))
            ca = place(ca, c, n, 1.458, rad(121.7), rad(180.0))
            c = place(c, n, ca, 1.525, rad(111.2), rad(pairs[i][0]))
        for name, p in (("N", n), ("CA", ca), ("C", c)):
            out.append({"name": name, "res_idx": i, "x": p[0], "y": p[1], "z": p[2]})
    return out


def python_nerf(sequence, pairs):
    """The same NeRF hand-inlined on tuples: about the fastest plain Python gets.
    Returns the (N, CA, C) positions of each residue."""
    rad = math.pi / 180.0

    def place(a, b, c, ax, rs, tau):
        bx, by, bz = c[0] - b[0], c[1] - b[1], c[2] - b[2]
        n = math.sqrt(bx * bx + by * by + bz * bz)
        bx, by, bz = bx / n, by / n, bz / n
        ux, uy, uz = b[0] - a[0], b[1] - a[1], b[2] - a[2]
        nx, ny, nz = uy * bz - uz * by, uz * bx - ux * bz, ux * by - uy * bx
        n = math.sqrt(nx * nx + ny * ny + nz * nz)
        nx, ny, nz = nx / n, ny / n, nz / n
        mx, my, mz = ny * bz - nz * by, nz * bx - nx * bz, nx * by - ny * bx
        cm, cn = rs * math.cos(tau), rs * math.sin(tau)
        return (c[0] + ax * bx + cm * mx + cn * nx, c[1] + ax * by + cm * my + cn * ny,
                c[2] + ax * bz + cm * mz + cn * nz)

    def bond(r, theta):
        return -r * math.cos(theta * rad), r * math.sin(theta * rad)

    cb, nb, cab = bond(1.525, 111.2), bond(1.329, 116.2), bond(1.458, 121.7)
    n_res = min(len(sequence), len(pairs))
    pos_n, pos_ca = (0.0, 0.0, 0.0), (1.458, 0.0, 0.0)
    pos_c = (1.458 + cb[0], cb[1], 0.0)
    out = [(pos_n, pos_ca, pos_c)] if n_res else []
    for i in range(1, n_res):
        n = place(pos_n, pos_ca, pos_c, *nb, pairs[i - 1][1] * rad)
        ca = place(pos_ca, pos_c, n, *cab, math.pi)
        c = place(pos_c, n, ca, *cb, pairs[i][0] * rad)
        pos_n, pos_ca, pos_c = n, ca, c
        out.append((n, ca, c))
    return out


def python_backbone(sequence, pairs):
    """python_nerf as the core's list of dicts."""
    out = []
    for i, atoms in enumerate(python_nerf(sequence, pairs)):
        for name, p in zip(("N", "CA", "C"), atoms):
            out.append({"name": name, "res_idx": i, "x": p[0], "y": p[1], "z": p[2]})
    return out


def row(label, ours, peers):
    parts = [f"{label:<34} core {ours * 1e3:10.4f} ms"]
    for name, t in peers:
        parts.append(f"{name} {t * 1e3:10.4f} ms ({t / ours:6.1f}x)")
    print("  ".join(parts))


def main():
    rng = random.Random(7)
    print("py_kabsch_rmsd (from Python lists of lists)")
    for n, repeat, number in ((10, 5, 2000), (1_000, 5, 50), (1_000_000, 3, 1)):
        a = [[rng.uniform(-50, 50) for _ in range(3)] for _ in range(n)]
        b = [[x + rng.gauss(0, 1) for x in r] for r in a]
        ours = core.py_kabsch_rmsd(a, b)
        assert abs(ours - numpy_kabsch(a, b)) < 1e-9 * max(1.0, ours)
        assert abs(ours - biopython_kabsch(a, b)) < 1e-9 * max(1.0, ours)
        t_core = best_of(lambda: core.py_kabsch_rmsd(a, b), repeat, number)
        t_np = best_of(lambda: numpy_kabsch(a, b), repeat, number)
        t_bio = best_of(lambda: biopython_kabsch(a, b), repeat, number)
        row(f"  {n:>9,} points", t_core, [("numpy", t_np), ("biopython", t_bio)])

    del a, b  # the big point lists would only slow the collector down for both sides
    gc.collect()

    print("py_build_backbone")
    n = 10_000
    seq = "".join(rng.choice("ACDEFGHIKLMNPQRSTVWY") for _ in range(n))
    pairs = [(rng.uniform(-180, 180), rng.uniform(-180, 180)) for _ in range(n)]
    ours = core.py_build_backbone(seq, pairs)
    for peer in (python_backbone, python_backbone_helpers):
        theirs = peer(seq, pairs)
        assert len(ours) == len(theirs) and all(
            abs(o[k] - t[k]) < 1e-6 for o, t in zip(ours, theirs) for k in ("x", "y", "z"))
    t_core = best_of(lambda: core.py_build_backbone(seq, pairs), 5, 5)
    t_inl = best_of(lambda: python_backbone(seq, pairs), 3, 1)
    t_help = best_of(lambda: python_backbone_helpers(seq, pairs), 3, 1)
    row(f"  {n:,} residues", t_core, [("Python inlined", t_inl), ("Python helpers", t_help)])

if __name__ == "__main__":
    main()
