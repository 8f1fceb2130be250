"""Volume exports against numpy: a two-phase box, raw float32 + sidecar and ASCII VTK.

    python3 benchmarks/bench_volume.py [--n 200] [--repeat 3]

Both sides build the same phase map (24-byte FNV-1a cell pick) and write the
same bytes; the outputs are compared before the figures are printed.
"""

from __future__ import annotations

import argparse
import json
import os
import tempfile

import numpy as np

from phase_pick import numpy_phase_grid
from timing import best_of

import lumivarex._lumivarex_core as core

ENTRY = {
    "phase_model": "voronoi",
    "phase_volume_fractions": {"ferrite": 1, "austenite": 3},
    "phase_properties": {"ferrite": {"density": 7874}, "austenite": {"density": 7960.5}},
}


def numpy_phase_map(entry, lo, hi, vs, scale_m=None):
    """Phase indices as an (nz, ny, nx) array (x fastest) and the phase names."""
    ids, names, n = numpy_phase_grid(entry["phase_volume_fractions"], lo, hi, vs, scale_m)
    return ids.transpose(2, 1, 0), names, n


def numpy_sdf(entry, name, path, lo, hi, vs):
    ids, names, n = numpy_phase_map(entry, lo, hi, vs)
    ids.astype("<f4").tofile(path)
    side = {"bounds": [list(map(float, lo)), list(map(float, hi))], "dtype": "float32", "layout": "x-fastest",
            "mode": "phase", "name": name, "phase_names": names, "shape_xyz": n, "voxel_size_m": vs}
    with open(os.path.splitext(path)[0] + ".json", "w") as f:
        json.dump(side, f, indent=2, sort_keys=True)


def numpy_vtk(entry, name, path, lo, hi, vs, properties):
    ids, names, n = numpy_phase_map(entry, lo, hi, vs)
    flat = ids.ravel()
    with open(path, "w") as f:
        f.write(f"# vtk DataFile Version 3.0\nlumivarex {name}\nASCII\nDATASET STRUCTURED_POINTS\n"
                f"DIMENSIONS {n[0]} {n[1]} {n[2]}\nORIGIN {' '.join(f'{0.5 * vs + v:g}' for v in lo)}\n"
                f"SPACING {vs:g} {vs:g} {vs:g}\nPOINT_DATA {flat.size}\n"
                "SCALARS phase_id int 1\nLOOKUP_TABLE default\n")
        np.savetxt(f, flat, fmt="%d")
        for prop in properties:
            table = np.array([entry["phase_properties"][p][prop] for p in names], dtype=np.float64)
            f.write(f"SCALARS {prop} float 1\nLOOKUP_TABLE default\n")
            np.savetxt(f, table[flat], fmt="%.6f")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=200, help="voxels per axis")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

    name = "bench_duplex"
    core.py_save(name, json.dumps(ENTRY), "alloy")
    vs = 0.0005
    lo = (0.0, 0.0, 0.0)
    hi = (args.n * vs,) * 3
    box = (lo, hi)
    voxels = args.n**3

    with tempfile.TemporaryDirectory() as d:
        ours_raw, np_raw = os.path.join(d, "ours.raw"), os.path.join(d, "np.raw")
        ours_vtk, ours_vtk0, np_vtk = (os.path.join(d, f) for f in ("ours.vtk", "ours0.vtk", "np.vtk"))

        t_raw = best_of(lambda: core.py_export_sdf_raw(name, ours_raw, box, vs), args.repeat)
        t_raw_np = best_of(lambda: numpy_sdf(ENTRY, name, np_raw, lo, hi, vs), args.repeat)
        assert open(ours_raw, "rb").read() == open(np_raw, "rb").read(), "raw volumes differ"
        assert json.load(open(os.path.join(d, "ours.json"))) == json.load(open(os.path.join(d, "np.json")))

        t_vtk0 = best_of(lambda: core.py_export_vtk_legacy(name, ours_vtk0, box, vs), args.repeat)
        t_vtk = best_of(lambda: core.py_export_vtk_legacy(name, ours_vtk, box, vs, ["density"]), args.repeat)
        t_vtk_np = best_of(lambda: numpy_vtk(ENTRY, name, np_vtk, lo, hi, vs, ["density"]), 1)
        ours_text, np_text = open(ours_vtk, "rb").read(), open(np_vtk, "rb").read()
        # the header's shortest-number form differs from %g only in exponents
        assert ours_text.split(b"POINT_DATA", 1)[1] == np_text.split(b"POINT_DATA", 1)[1], "VTK fields differ"
        raw_mb = os.path.getsize(ours_raw) / 1e6
        vtk_mb, vtk0_mb = len(ours_text) / 1e6, os.path.getsize(ours_vtk0) / 1e6

    print(f"{args.n}^3 = {voxels} voxels, two phases; best of {args.repeat} (numpy VTK: one run)")
    print(f"raw + sidecar   ours {t_raw * 1e3:8.1f} ms ({raw_mb / t_raw:7.1f} MB/s)   "
          f"numpy {t_raw_np * 1e3:8.1f} ms ({raw_mb / t_raw_np:7.1f} MB/s)   speed-up {t_raw_np / t_raw:6.1f}x  (bar 3x)")
    print(f"VTK + density   ours {t_vtk * 1e3:8.1f} ms ({vtk_mb / t_vtk:7.1f} MB/s)   "
          f"numpy {t_vtk_np * 1e3:8.1f} ms ({vtk_mb / t_vtk_np:7.1f} MB/s)   speed-up {t_vtk_np / t_vtk:6.1f}x  (bar 5x)")
    print(f"VTK, no fields  ours {t_vtk0 * 1e3:8.1f} ms ({vtk0_mb / t_vtk0:7.1f} MB/s)   "
          f"with one field / without {t_vtk / t_vtk0:4.2f}x  (bar <= 3x)")


if __name__ == "__main__":
    main()
