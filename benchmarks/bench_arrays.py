"""The array API against what a user would otherwise run, on the same work in one run.

    python3 benchmarks/bench_arrays.py [--samples 1000000] [--box 400] [--residues 100000] [--grid 32]

- samples: lumivarex.sample at 1,000,000 points in one call, against as many
  py_sample calls and against a vectorised numpy cell pick (bars 25x and 4x);
- phase map: lumivarex.phase_map of a 400^3 box to an ndarray, against a
  vectorised numpy FNV-1a pick building the same array (bar 4x);
- backbone: lumivarex.backbone of 100,000 residues as a (3N, 3) array, against
  the plain-Python NeRF (bar 50x);
- bake: lumivarex.bake_fft on a 32^3 grid, against py_bake_fourier (bar 100x).

Every contender's result is checked against ours before the figures are
printed; the ratios are printed, not asserted.
"""

from __future__ import annotations

import argparse
import json
import math
import random

import numpy as np

from bench_protein import python_backbone, python_nerf
from phase_pick import FNV_OFFSET, fnv_feed
from timing import best_with_result

import lumivarex as lx
from lumivarex import core

NAME = "bench_arrays_duplex"
ENTRY = {
    "phase_model": "voronoi",
    "phase_volume_fractions": {"ferrite": 1, "austenite": 3},
    "phase_properties": {"ferrite": {"density": 7874}, "austenite": {"density": 7960.5}},
}
CELL = 0.001


def pick(cells):
    """Phase index for each row of cell indices (..., 3): FNV-1a over x, y, z."""
    fractions = ENTRY["phase_volume_fractions"]
    names = sorted(fractions, key=str.encode)
    running = np.cumsum([float(fractions[k]) for k in names])
    h = np.full(cells.shape[:-1], FNV_OFFSET)
    for axis in range(3):
        h = fnv_feed(h, cells[..., axis])
    u = np.minimum(h.astype(np.float64) * 2.0**-64, 1.0)
    return np.minimum(np.searchsorted(running, running[-1] * u, side="left"), len(names) - 1), names


def numpy_samples(points):
    picked, names = pick(np.floor(points / CELL).astype(np.int64))
    return np.array([ENTRY["phase_properties"][n]["density"] for n in names], dtype=np.float64)[picked]


def numpy_phase_map(n, vs):
    """The [z, y, x] uint8 phase map of an n^3 box at the origin, built in that order."""
    fractions = ENTRY["phase_volume_fractions"]
    names = sorted(fractions, key=str.encode)
    running = np.cumsum([float(fractions[k]) for k in names])
    cells = np.floor(((np.arange(n) + 0.5) * vs) / vs).astype(np.int64)
    hx = fnv_feed(np.full(n, FNV_OFFSET), cells)
    hyx = fnv_feed(hx[None, :], cells[:, None])
    h = fnv_feed(hyx[None, :, :], cells[:, None, None])
    u = np.minimum(h.astype(np.float64) * 2.0**-64, 1.0)
    return np.minimum(np.searchsorted(running, running[-1] * u, side="left"), len(names) - 1).astype(np.uint8)


def line(label, ours, peers):
    parts = [f"{label:<28} ours {ours * 1e3:10.2f} ms"]
    for name, t, bar in peers:
        parts.append(f"{name} {t * 1e3:10.2f} ms ({t / ours:7.1f}x, bar {bar}x)")
    print("  ".join(parts))


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--samples", type=int, default=1_000_000)
    ap.add_argument("--box", type=int, default=400, help="voxels per axis of the phase map")
    ap.add_argument("--residues", type=int, default=100_000)
    ap.add_argument("--grid", type=int, default=32, help="bake grid points per axis")
    args = ap.parse_args()
    core.py_save(NAME, json.dumps(ENTRY), "alloy")
    rng = np.random.default_rng(5)

    points = rng.uniform(-0.05, 0.05, (args.samples, 3))
    t_ours, ours = best_with_result(lambda: lx.sample(NAME, "density", points, CELL), 5)
    as_tuples = [tuple(p) for p in points.tolist()]
    t_calls, calls = best_with_result(lambda: [core.py_sample(NAME, "density", p, CELL) for p in as_tuples], 1)
    t_np, theirs = best_with_result(lambda: numpy_samples(points), 3)
    assert ours.tolist() == calls and np.array_equal(ours, theirs), "samples differ"
    line(f"{args.samples:,} samples", t_ours, [("py_sample calls", t_calls, 25), ("numpy", t_np, 4)])
    del as_tuples, calls

    n, vs = args.box, 0.0005
    box = ((0.0, 0.0, 0.0), (n * vs,) * 3)
    t_ours, ours = best_with_result(lambda: lx.phase_map(NAME, box, vs).phases, 3)
    t_np, theirs = best_with_result(lambda: numpy_phase_map(n, vs), 1)
    assert ours.dtype == theirs.dtype and np.array_equal(ours, theirs), "phase maps differ"
    line(f"phase map {n}^3", t_ours, [("numpy FNV-1a", t_np, 4)])
    del ours, theirs

    r = random.Random(7)
    seq = "".join(r.choice("ACDEFGHIKLMNPQRSTVWY") for _ in range(args.residues))
    pairs = np.array([(r.uniform(-180, 180), r.uniform(-180, 180)) for _ in range(args.residues)])
    pair_list = [tuple(p) for p in pairs.tolist()]
    t_ours, ours = best_with_result(lambda: lx.backbone(seq, pairs), 5)
    # The plain-Python NeRF of bench_protein.py, which makes the atoms as
    # py_build_backbone does (a list of dicts), and the same walk keeping only
    # the coordinates, made into an array.
    t_dicts, atoms = best_with_result(lambda: python_backbone(seq, pair_list), 1)
    t_coords, theirs = best_with_result(lambda: np.array(python_nerf(seq, pair_list)).reshape(-1, 3), 1)
    assert np.allclose(ours, theirs, rtol=0, atol=1e-6), "backbones differ"
    assert np.allclose(ours, [(a["x"], a["y"], a["z"]) for a in atoms], rtol=0, atol=1e-6), "backbones differ"
    line(f"backbone {args.residues:,} residues", t_ours,
         [("plain-Python NeRF", t_dicts, 50), ("its coordinates only", t_coords, "-")])

    g, bake_box = args.grid, ((0.0, 0.0, 0.0), (0.01, 0.01, 0.01))
    t_ours, ours = best_with_result(lambda: lx.bake_fft(NAME, "density", bake_box, (g, g, g)), 5)
    t_direct, theirs = best_with_result(lambda: core.py_bake_fourier(NAME, "density", bake_box, (g, g, g)), 1)
    key = [(c["n"], c["m"], c["l"]) for c in ours["coefficients"]]
    assert key == [(c["n"], c["m"], c["l"]) for c in theirs["coefficients"]], "coefficients differ"
    assert all(math.isclose(a["amplitude"], b["amplitude"], rel_tol=1e-9)
               for a, b in zip(ours["coefficients"], theirs["coefficients"])), "amplitudes differ"
    line(f"bake {g}^3", t_ours, [("py_bake_fourier", t_direct, 100)])


if __name__ == "__main__":
    main()
