#!/usr/bin/env python3
"""Digests of a fixed set of the core's outputs, to show that a change of the
code leaves every written file and every result byte-identical.

    PYTHONPATH=python python3 scripts/output_digest.py > before.txt
    # ... change and rebuild ...
    PYTHONPATH=python python3 scripts/output_digest.py > after.txt
    diff before.txt after.txt

Each line is "sha256  label"; the last line digests all of them. Results that
are Python values are digested through their repr, which shows every float
exactly.
"""

from __future__ import annotations

import hashlib
import json
import sys
import tempfile
from pathlib import Path
from typing import Any, Callable

from lumivarex import core
from lumivarex.records import AlloyTarget

# Entries saved in memory beside the shipped ones: several phases, a phase
# property field, odd names.
SAVED = {
    "trio": {"phase_model": "voronoi",
             "phase_volume_fractions": {"b": 2, "a": 1, "c": 1.5, "z_unused": 0},
             "phase_properties": {"a": {"density": 1000.5}, "b": {"density": -0.0},
                                  "c": {"density": 7850}, "z_unused": {"density": 1}}},
    "odd name\u00e9": {"Properties": {"Density_kg_m3": 1234.5, "x": -1e-9}, "IOR": 1.5},
}

BOXES = [
    ((0.0, 0.0, 0.0), (0.01, 0.01, 0.01), 0.0005, 0.001),
    ((-0.003, 0.001, 0.0), (0.004, 0.0045, 0.0021), 0.0007, None),
    ((0.0, 0.0, 0.0), (0.07, 0.07, 0.01), 0.01, 0.02),
]


def main() -> int:
    for name, doc in SAVED.items():
        core.py_save(name, json.dumps(doc), "alloy")
    lines: list[str] = []
    where = [""]  # the temporary folder, left out of results

    def put(label: str, data: bytes) -> None:
        lines.append(f"{hashlib.sha256(data).hexdigest()}  {label}")

    def result(label: str, fn: Callable[[], Any]) -> None:
        try:
            value: Any = fn()
        except BaseException as e:  # noqa: BLE001 - errors are outputs too
            value = ("error", type(e).__name__, str(e))
        put(label, repr(value).replace(where[0], "<out>").encode())

    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp)
        where[0] = tmp
        for name in ("carbon steel", "pearlite", "trio", "odd name\u00e9", "Fe"):
            for b, (lo, hi, vs, scale) in enumerate(BOXES):
                tag = f"{name}/box{b}"
                files: dict[str, Callable[[Path], Any]] = {
                    "obj": lambda p: core.py_export_obj(name, str(p), (lo, hi), vs, scale),
                    "stl": lambda p: core.py_export_stl(name, str(p), (lo, hi), vs, scale),
                    "astl": lambda p: core.py_export_stl(name, str(p), (lo, hi), vs, scale, False),
                    "vtk": lambda p: core.py_export_vtk_legacy(
                        name, str(p), (lo, hi), vs, ["Density_kg_m3", "density", "Density_kg_m3"], scale),
                    "raw": lambda p: core.py_export_sdf_raw(name, str(p), (lo, hi), vs, scale),
                    "occ": lambda p: core.py_export_sdf_raw(name, str(p), (lo, hi), vs, scale, "occupancy"),
                }
                for ext, write in files.items():
                    path = out / f"{b}_{ext}.{ext}"
                    result(f"{tag}/{ext} result", lambda: write(path))
                    for written in sorted(out.glob(f"{b}_{ext}.*")):
                        put(f"{tag}/{written.suffix[1:]}", written.read_bytes())
                        written.unlink()
            hlsl = out / "s.hlsl"
            result(f"{name}/hlsl result", lambda: core.py_export_hlsl(name, str(hlsl)))
            if hlsl.exists():
                put(f"{name}/hlsl", hlsl.read_bytes())
            result(f"{name}/glsl", lambda: core.py_export_glsl(name))
            for g, grid in enumerate([(1, 1, 1), (2, 1, 1), (4, 4, 4), (5, 3, 2), (6, 6, 6)]):
                result(f"{name}/bake{g}", lambda: core.py_bake_fourier(
                    name, "Density_kg_m3", ((0, 0, 0), (0.004, 0.003, 0.002)), grid, 0.0))
        target: list[AlloyTarget] = [{"property": "Density_kg_m3", "min_value": 7800, "max_value": 8000}]
        for seed in (0, 1, 12345):
            result(f"alloy/{seed}", lambda: core.py_optimize_alloy(target, "Fe", None, 5000, 10, seed))
            result(f"alloy-pool/{seed}", lambda: core.py_optimize_alloy(
                [{"property": "melting_point_K", "min_value": 1700, "weight": 2.0}], "Ni",
                ["Cr", "Mo", "Fe", "Cr"], 3000, 7, seed))
        pairs = [(-57.0 + i, -47.0 - 0.5 * i) for i in range(300)]
        result("backbone", lambda: core.py_build_backbone("A" * 300, pairs))
        result("backbone-entry", lambda: core.py_build_backbone_from_entry("trp-cage"))
        pa = [[float(i), float(i * i % 7), float(i % 3)] for i in range(50)]
        pb = [[y + 1.0, -x, z * 2.0] for x, y, z in pa]
        result("kabsch", lambda: core.py_kabsch_rmsd(pa, pb))
        for query in ("iron", "Fe", "{Fe=3, C=1}", "water", "FE", "carbon steel"):
            result(f"get/{query}", lambda: core.py_get(query))
        for at in (None, (0.001, 0.002, 0.0), (-0.0005, 0.0, 0.0101)):
            result(f"sample/{at}", lambda: core.py_sample("carbon steel", "Density_kg_m3", at, 0.001))

    everything = hashlib.sha256("\n".join(lines).encode()).hexdigest()
    sys.stdout.write("\n".join(lines) + f"\n{everything}  all\n")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
