"""What every file export shares: the file holds exactly what was written."""

from __future__ import annotations

import json
from pathlib import Path

BOX = ((0.0, 0.0, 0.0), (0.003, 0.002, 0.002))


def export_all(core, folder: Path) -> list[Path]:
    """Every file format, written into folder; returns the files."""
    name = "__rewrite"
    core.py_export_obj(name, str(folder / "m.obj"), BOX, 0.001)
    core.py_export_stl(name, str(folder / "b.stl"), BOX, 0.001)
    core.py_export_stl(name, str(folder / "a.stl"), BOX, 0.001, binary=False)
    core.py_export_vtk_legacy(name, str(folder / "v.vtk"), BOX, 0.001, ["density"])
    core.py_export_sdf_raw(name, str(folder / "r.raw"), BOX, 0.001)
    core.py_export_hlsl(name, str(folder / "s.hlsl"))
    return [folder / f for f in ("m.obj", "m.mtl", "b.stl", "a.stl", "v.vtk", "r.raw", "r.json", "s.hlsl")]


def test_exports_over_longer_files_leave_only_the_new_bytes(core, tmp_path):
    core.py_save("__rewrite", json.dumps({
        "phase_model": "voronoi", "phase_volume_fractions": {"a": 1, "b": 1},
        "phase_properties": {"a": {"density": 1.5}, "b": {"density": 2.5}}, "density": 2}), "alloy")
    fresh, over = tmp_path / "fresh", tmp_path / "over"
    fresh.mkdir()
    over.mkdir()
    expected = {f.name: f.read_bytes() for f in export_all(core, fresh)}
    for name, data in expected.items():
        (over / name).write_bytes(b"\xff" * (2 * len(data) + 4096))
    assert {f.name: f.read_bytes() for f in export_all(core, over)} == expected
