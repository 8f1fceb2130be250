"""Voxel phase map through the volume exports: VTK legacy text and raw float32 + sidecar."""

from __future__ import annotations

import json
import math
from pathlib import Path

import meshio
import numpy as np
import pytest

from conftest import CoreError
from reference import centres, phase_grid

DUPLEX = {
    "phase_model": "voronoi",
    "phase_volume_fractions": {"b": 3, "a": 1, "note": "x"},
    "phase_properties": {"a": {"density": 1000}, "b": {"density": 5000.25}},
}
FILES = {
    "alloy/steel.json": {"density": 7850},
    "alloy/duplex.json": DUPLEX,
    "alloy/homog2.json": {"phase_volume_fractions": {"p": 1, "q": 1}, "density": 3},
    "alloy/solid.json": {"phase_volume_fractions": {"solid": 1}},
    "alloy/empty.json": {"phase_volume_fractions": {}},
    "alloy/strs.json": {"phase_volume_fractions": {"a": "1", "b": "2"}},
}
HEADER = ("# vtk DataFile Version 3.0\nlumivarex {}\nASCII\nDATASET STRUCTURED_POINTS\n"
          "DIMENSIONS {} {} {}\nORIGIN {} {} {}\nSPACING {} {} {}\nPOINT_DATA {}\n")


@pytest.fixture
def pkg(make_package):
    return make_package(FILES)


def test_small_files_byte_for_byte(pkg, tmp_path):
    box = ((0, 0, 0), (0.002, 0.001, 0.001))
    head = HEADER.format("steel", 2, 1, 1, 0, 0, 0, "0.001", "0.001", "0.001", 2)
    head += "SCALARS phase_id int 1\nLOOKUP_TABLE default\n0\n0\n"
    vtk = [tmp_path / "new" / "dir" / f"s{i}.vtk" for i in range(3)]
    raw = [tmp_path / "v.raw", tmp_path / "o.raw", tmp_path / "d"]
    got = pkg.eval(f"""[
        core.py_export_vtk_legacy('steel', {str(vtk[0])!r}, {box!r}, 0.001),
        core.py_export_vtk_legacy('steel', {str(vtk[1])!r}, {box!r}, 0.001, ['density']),
        core.py_export_vtk_legacy('steel', {str(vtk[2])!r}, {box!r}, 0.001, ('hardness', 'density'), 0.5),
        core.py_export_sdf_raw('steel', {str(raw[0])!r}, {box!r}, 0.001),
        core.py_export_sdf_raw('steel', {str(raw[1])!r}, {box!r}, 0.001, None, 'occupancy'),
        core.py_export_sdf_raw('steel', {str(raw[2])!r}, {box!r}, 0.001, mode='distance'),
    ]""")
    assert got == [str(p) for p in vtk + raw]
    dens = "SCALARS density float 1\nLOOKUP_TABLE default\n7850.000000\n7850.000000\n"
    assert vtk[0].read_text() == head
    assert vtk[1].read_text() == head + dens
    assert vtk[2].read_text() == (head + "SCALARS hardness float 1\nLOOKUP_TABLE default\n0.000000\n0.000000\n"
                                  + dens)
    assert raw[0].read_bytes() == bytes(8)
    assert raw[1].read_bytes() == bytes.fromhex("0000803f0000803f")
    assert raw[2].read_bytes() == bytes(8)
    sidecar = (tmp_path / "v.json").read_text()
    assert sidecar == (
        '{\n  "bounds": [\n    [\n      0.0,\n      0.0,\n      0.0\n    ],\n    [\n      0.002,\n'
        '      0.001,\n      0.001\n    ]\n  ],\n  "dtype": "float32",\n  "layout": "x-fastest",\n'
        '  "mode": "phase",\n  "name": "steel",\n  "phase_names": [\n    "steel"\n  ],\n'
        '  "shape_xyz": [\n    2,\n    1,\n    1\n  ],\n  "voxel_size_m": 0.001\n}')
    assert json.loads((tmp_path / "o.json").read_text())["mode"] == "occupancy"
    assert json.loads((tmp_path / "d.json").read_text())["mode"] == "distance"


def test_header_numbers_and_degenerate_boxes(pkg, tmp_path):
    a, b = tmp_path / "a.vtk", tmp_path / "b.vtk"
    pkg.eval(f"""(
        core.py_export_vtk_legacy('steel', {str(a)!r}, ((-0.0, 1e-7, -2.5), (-1, 0, -3)), 1.0),
        core.py_export_vtk_legacy('steel', {str(b)!r}, ((0, 0, 0), (0.01, 0.01, 0.01)), 0.003),
    )""")
    lines = a.read_text().splitlines()
    assert lines[4:8] == ["DIMENSIONS 1 1 1", "ORIGIN -0 0.0000001 -2.5", "SPACING 1 1 1", "POINT_DATA 1"]
    assert b.read_text().splitlines()[4] == "DIMENSIONS 4 4 4"


def test_phase_map_matches_reference_pick_and_readers(pkg, tmp_path):
    lo, hi, vs = (-0.0031, 0.0007, -0.0042), (0.0019, 0.0047, 0.0025), 0.0007
    shape = tuple(math.ceil((hi[a] - lo[a]) / vs) for a in range(3))
    assert len(set(shape)) == 3  # an asymmetric grid shows the value order
    vtk, raw = tmp_path / "m.vtk", tmp_path / "m.raw"
    pkg.eval(f"""(
        core.py_export_vtk_legacy('duplex', {str(vtk)!r}, ({lo!r}, {hi!r}), {vs}, ['density', 'density']),
        core.py_export_sdf_raw('duplex', {str(raw)!r}, ({lo!r}, {hi!r}), {vs}),
    )""")
    want = phase_grid(DUPLEX["phase_volume_fractions"], lo, shape, vs, vs).T  # z, y, x
    assert {0, 1} == set(np.unique(want))  # both pickable phases occur; "note" never does

    vol = np.fromfile(raw, dtype="<f4")
    assert vol.size == math.prod(shape)
    np.testing.assert_array_equal(vol.reshape(shape[::-1]), want.astype(np.float32))
    side = json.loads((tmp_path / "m.json").read_text())
    assert side["phase_names"] == ["a", "b", "note"] and side["shape_xyz"] == list(shape)

    mesh = meshio.read(vtk)
    np.testing.assert_array_equal(mesh.point_data["phase_id"].ravel(), want.ravel())
    assert np.allclose(mesh.points[1] - mesh.points[0], (vs, 0, 0))
    assert np.allclose(mesh.points[0], lo)
    dens = {0: 1000.0, 1: 5000.25}
    np.testing.assert_array_equal(mesh.point_data["density"].ravel(),
                                  np.vectorize(dens.get)(want.ravel()).astype(np.float32))
    text = vtk.read_text()
    assert text.count("SCALARS density float 1\n") == 2
    assert "5000.250000\n" in text and "1000.000000\n" in text


def test_property_fields_match_py_sample(pkg, tmp_path):
    """Every voxel of a property field against py_sample at the voxel centre."""
    lo, hi, vs = (-0.002, 0.0, 0.001), (0.001, 0.0025, 0.0032), 0.0005
    shape = tuple(math.ceil((hi[a] - lo[a]) / vs) for a in range(3))
    pts = [(x, y, z) for z in centres(lo[2], shape[2], vs) for y in centres(lo[1], shape[1], vs)
           for x in centres(lo[0], shape[0], vs)]
    cases = [("duplex", None), ("duplex", 0.0017), ("duplex", -1.0), ("duplex", 0.02), ("homog2", None)]
    for n, (name, scale) in enumerate(cases):
        out = tmp_path / f"p{n}.vtk"
        got = pkg.eval(f"""(
            core.py_export_vtk_legacy({name!r}, {str(out)!r}, ({lo!r}, {hi!r}), {vs}, ['density'], {scale!r}),
            [core.py_sample({name!r}, 'density', p, {scale if scale is not None else vs!r}) for p in {pts!r}],
        )""")
        lines = out.read_text().split("SCALARS density float 1\nLOOKUP_TABLE default\n")[1].splitlines()
        assert lines == [f"{v:.6f}" for v in got[1]], (name, scale)


def test_phase_names_and_fills(pkg, tmp_path):
    box = ((0, 0, 0), (0.003, 0.003, 0.003))
    for name, names in [("steel", ["steel"]), ("solid", ["solid"]), ("empty", ["empty"]),
                        ("strs", ["a", "b"]), ("homog2", ["p", "q"])]:
        raw = tmp_path / f"{name}.raw"
        pkg.eval(f"core.py_export_sdf_raw({name!r}, {str(raw)!r}, {box!r}, 0.001)")
        vol = np.fromfile(raw, dtype="<f4").reshape(3, 3, 3)
        assert json.loads((tmp_path / f"{name}.json").read_text())["phase_names"] == names
        if name == "homog2":  # two phases: the grid picks even without a voronoi model
            want = phase_grid({"p": 1, "q": 1}, (0, 0, 0), (3, 3, 3), 0.001, 0.001).T
            np.testing.assert_array_equal(vol, want)
        else:
            assert not vol.any()


def test_cells_align_at_the_origin(pkg, tmp_path):
    lo, hi = (0.002, -0.004, 0.0), (0.014, 0.008, 0.012)
    raw = tmp_path / "c.raw"
    pkg.eval(f"core.py_export_sdf_raw('duplex', {str(raw)!r}, ({lo!r}, {hi!r}), 0.001, 0.004)")
    vol = np.fromfile(raw, dtype="<f4").reshape(12, 12, 12)  # z, y, x
    np.testing.assert_array_equal(vol, phase_grid(DUPLEX["phase_volume_fractions"], lo, (12, 12, 12),
                                                  0.001, 0.004).T)
    # x starts 2 mm into a 4 mm cell: blocks along x are 2, 4, 4, 2 voxels wide
    for k0 in range(0, 12, 4):
        for j0 in range(0, 12, 4):
            for i0, i1 in [(0, 2), (2, 6), (6, 10), (10, 12)]:
                assert len(np.unique(vol[k0:k0 + 4, j0:j0 + 4, i0:i1])) == 1
    assert len(np.unique(vol)) == 2


def test_sidecar_paths_and_overwrite_refusal(pkg, tmp_path):
    box = ((0, 0, 0), (0.001, 0.001, 0.001))
    for raw, side in [("vol.raw", "vol.json"), ("vol", "vol.json"), ("a.b.raw", "a.b.json"),
                      (".hidden", ".hidden.json"), ("d.x/vol", "d.x/vol.json")]:
        (tmp_path / raw).parent.mkdir(exist_ok=True)
        pkg.eval(f"core.py_export_sdf_raw('steel', {str(tmp_path / raw)!r}, {box!r}, 0.001)")
        assert (tmp_path / raw).read_bytes() == bytes(4)
        assert json.loads((tmp_path / side).read_text())["name"] == "steel"
    # The sidecar would replace the volume it describes: refused, nothing written.
    target = tmp_path / "keep.json"
    target.write_text("old")
    with pytest.raises(CoreError) as e:
        pkg.eval(f"core.py_export_sdf_raw('steel', {str(target)!r}, {box!r}, 0.001)")
    assert (e.value.name, e.value.arg) == (
        "RuntimeError", f"export_sdf_raw: out_path '{target}' would be overwritten by its JSON sidecar")
    assert target.read_text() == "old"
    # A NUL would cut the path short: the raw data and its sidecar would both
    # land in "cut.json".
    for call in ("py_export_sdf_raw", "py_export_vtk_legacy"):
        path = str(tmp_path / "cut.json") + "\0.raw"
        with pytest.raises(CoreError) as e:
            pkg.eval(f"core.{call}('steel', {path!r}, {box!r}, 0.001)")
        assert e.value.name == "RuntimeError" and "must not contain a NUL" in e.value.text
    assert not (tmp_path / "cut.json").exists()
    # The raw file's folder is not created.
    with pytest.raises(CoreError) as e:
        pkg.eval(f"core.py_export_sdf_raw('steel', {str(tmp_path / 'no' / 'v.raw')!r}, {box!r}, 0.001)")
    assert e.value.name == "RuntimeError" and not (tmp_path / "no").exists()


def test_too_large_grids_are_refused(pkg, tmp_path):
    inf = float("inf")
    cases = [
        (((0, 0, 0), (inf, 1, 1)), 1.0, "18446744073709551615 x 1 x 1"),
        (((0, 0, 0), (1e6, 1e6, 1e6)), 1e-3, "1000000000 x 1000000000 x 1000000000"),
        (((0, 0, 0), (1e6, 1e6, 1)), 1.0, "1000000 x 1000000 x 1"),  # fits 64 bits, not memory
    ]
    outs = {call: tmp_path / f"{call}.out" for call in ("py_export_sdf_raw", "py_export_vtk_legacy")}
    calls = [(f"core.{call}('steel', {str(out)!r}, {box!r}, {vs})".replace("inf", "float('inf')"), dims)
             for box, vs, dims in cases for call, out in outs.items()]
    for (expr, dims), e in zip(calls, pkg.eval_all([expr for expr, _ in calls])):
        assert isinstance(e, CoreError), expr
        assert (e.name, e.arg) == ("RuntimeError", f"voxel_phase_map: grid of {dims} voxels is too large")
    assert not any(out.exists() for out in outs.values())


def test_argument_and_value_failures(pkg, tmp_path):
    box = ((0, 0, 0), (0.001, 0.001, 0.001))
    out = str(tmp_path / "f.vtk")
    cases = [
        (f"core.py_export_vtk_legacy('', {out!r}, {box!r}, 0.001)", "RuntimeError",
         "export_vtk_legacy: name required"),
        (f"core.py_export_vtk_legacy('steel', {out!r}, {box!r}, 0)", "RuntimeError",
         "export_vtk_legacy: voxel_size must be positive"),
        (f"core.py_export_sdf_raw('', {out!r}, {box!r}, 0.001)", "RuntimeError", "export_sdf_raw: name required"),
        (f"core.py_export_sdf_raw('steel', {out!r}, {box!r}, -1)", "RuntimeError",
         "export_sdf_raw: voxel_size must be positive"),
        (f"core.py_export_sdf_raw('nobody', {out!r}, {box!r}, 1)", "RuntimeError",
         "sample::lookup_entry: no datasheet found for 'nobody'"),
        (f"core.py_export_vtk_legacy('steel', {out!r}, {box!r}, float('nan'))", "PanicException",
         "voxel_phase_map: voxel_size must be positive"),
        (f"core.py_export_vtk_legacy('steel', {out!r}, {box!r}, 0.001, ['density', ''])", "PanicException",
         "voxel_sample: property must be non-empty"),
        (f"core.py_export_vtk_legacy('steel', {out!r}, {box!r}, 0.001, 'density')", "TypeError", "properties"),
        (f"core.py_export_sdf_raw('steel', {out!r}, {box!r}, 0.001, None, None)", "TypeError", "mode"),
        (f"core.py_export_sdf_raw('steel', {out!r}, ((0, 0), (1, 1)), 0.001)", "TypeError", "bounds"),
    ]
    for (expr, cls, text), e in zip(cases, pkg.eval_all([expr for expr, _, _ in cases])):
        assert isinstance(e, CoreError), expr
        assert e.name == cls and text in e.text, expr
    assert not Path(out).exists()
