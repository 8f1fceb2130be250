"""Voxel phase map through the volume exports: VTK legacy text and raw float32 + sidecar."""

from __future__ import annotations

import json
import math
from decimal import Decimal
from pathlib import Path

import meshio
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from stl import mesh as stl_mesh

from conftest import CoreError, expect_errors
from reference import centres, fnv_pick, grid_shape, phase_grid

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
    "alloy/strs_voronoi.json": {"phase_model": "voronoi", "phase_volume_fractions": {"a": "1", "b": "2"}},
    "alloy/half.json": {**DUPLEX, "phase_properties": {"a": {}, "b": {"density": 5000.25}}},
    "alloy/signs.json": {"zero": -0.0, "tiny": -1e-9, "half": -0.5},
    "alloy/signs2.json": {**DUPLEX, "phase_properties": {"a": {"density": -0.0}, "b": {"density": -4e-7}}},
    "alloy/line\r\nbreak.json": {"den\nsity": 2.5, "x\ry": 1},
}
HEADER = ("# vtk DataFile Version 3.0\nlumivarex {}\nASCII\nDATASET STRUCTURED_POINTS\n"
          "DIMENSIONS {} {} {}\nORIGIN {} {} {}\nSPACING {} {} {}\nPOINT_DATA {}\n")


@pytest.fixture
def pkg(make_package):
    return make_package(FILES)


def test_small_files_byte_for_byte(pkg, tmp_path):
    box = ((0, 0, 0), (0.002, 0.001, 0.001))
    # the points of structured points are the voxel centres
    head = HEADER.format("steel", 2, 1, 1, "0.0005", "0.0005", "0.0005", "0.001", "0.001", "0.001", 2)
    head += "SCALARS phase_id int 1\nLOOKUP_TABLE default\n0\n0\n"
    vtk = [tmp_path / "new" / "dir" / f"s{i}.vtk" for i in range(3)]
    raw = [tmp_path / "v.raw", tmp_path / "o.raw", tmp_path / "d"]
    got = pkg.eval_all([
        f"core.py_export_vtk_legacy('steel', {str(vtk[0])!r}, {box!r}, 0.001)",
        f"core.py_export_vtk_legacy('steel', {str(vtk[1])!r}, {box!r}, 0.001, ['density'])",
        f"core.py_export_vtk_legacy('steel', {str(vtk[2])!r}, {box!r}, 0.001, ('density', 'hardness'), 0.5)",
        f"core.py_export_sdf_raw('steel', {str(raw[0])!r}, {box!r}, 0.001)",
        f"core.py_export_sdf_raw('steel', {str(raw[1])!r}, {box!r}, 0.001, None, 'occupancy')",
        f"core.py_export_sdf_raw('steel', {str(raw[2])!r}, {box!r}, 0.001, mode='distance')",
    ])
    assert got[:2] + got[3:] == [str(p) for p in vtk[:2] + raw]
    dens = "SCALARS density float 1\nLOOKUP_TABLE default\n7850.000000\n7850.000000\n"
    assert vtk[0].read_text() == head
    assert vtk[1].read_text() == head + dens
    # a property no voxel has would be a field of made-up zeros: refused, nothing written
    assert isinstance(got[2], CoreError) and (got[2].name, got[2].arg) == (
        "RuntimeError", "sample: property 'hardness' missing or non-numeric")
    assert not vtk[2].exists()
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
    assert lines[4:8] == ["DIMENSIONS 1 1 1", "ORIGIN 0.5 0.5000001 -2", "SPACING 1 1 1", "POINT_DATA 1"]
    assert b.read_text().splitlines()[4:6] == ["DIMENSIONS 4 4 4", "ORIGIN 0.0015 0.0015 0.0015"]


def test_phase_map_matches_reference_pick_and_readers(pkg, tmp_path):
    lo, hi, vs = (-0.0031, 0.0007, -0.0042), (0.0019, 0.0047, 0.0025), 0.0007
    shape = grid_shape(lo, hi, vs)
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
    # the reader's points are the voxel centres, where the phases were picked
    want_points = np.stack(np.meshgrid(*(centres(lo[a], shape[a], vs) for a in range(3)), indexing="ij"), -1)
    np.testing.assert_allclose(mesh.points, want_points.transpose(2, 1, 0, 3).reshape(-1, 3), rtol=0, atol=1e-12)
    dens = {0: 1000.0, 1: 5000.25}
    np.testing.assert_array_equal(mesh.point_data["density"].ravel(),
                                  np.vectorize(dens.get)(want.ravel()).astype(np.float32))
    text = vtk.read_text()
    assert text.count("SCALARS density float 1\n") == 2
    assert "5000.250000\n" in text and "1000.000000\n" in text


def test_property_fields_match_py_sample(pkg, tmp_path):
    """Every voxel of a property field against py_sample at the voxel centre."""
    lo, hi, vs = (-0.002, 0.0, 0.001), (0.001, 0.0025, 0.0032), 0.0005
    shape = grid_shape(lo, hi, vs)
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


def test_fields_that_sample_nowhere_are_refused(pkg, tmp_path):
    """No voxel's sample succeeded: the export fails with voxel (0, 0, 0)'s sampling
    error and writes nothing; a field with some failed voxels is written with zeros."""
    lo, hi, vs = (0.0, 0.0, 0.0), (0.004, 0.003, 0.002), 0.001
    c0 = tuple(0.5 * vs + v for v in lo)
    # scale None or 0.0017: the voxel grid's own phases; -1: picks per 1 mm cell; 0.02: phase average
    cases = [("duplex", "hardness", None), ("duplex", "hardness", 0.0017), ("duplex", "hardness", -1.0),
             ("duplex", "hardness", 0.02),
             ("steel", "hardness", None), ("strs_voronoi", "density", None)]
    exprs = []
    for n, (name, prop, scale) in enumerate(cases):
        out = tmp_path / "new" / f"f{n}.vtk"
        exprs += [f"core.py_export_vtk_legacy({name!r}, {str(out)!r}, ({lo!r}, {hi!r}), {vs}, "
                  f"['density', {prop!r}], {scale!r})",
                  f"core.py_sample({name!r}, {prop!r}, {c0!r}, {scale or vs!r})"]
    got = pkg.eval_all(exprs)
    for case, export, sample in zip(cases, got[::2], got[1::2]):
        assert isinstance(export, CoreError) and isinstance(sample, CoreError), case
        assert (export.name, export.arg) == ("RuntimeError", sample.arg), case
    assert {e.arg for e in got[::2]} >= {"sample: property 'hardness' missing or non-numeric",
                                         "voronoi sample: no numeric phase fractions"}
    assert not (tmp_path / "new").exists()

    # phase a lacks the property: its voxels, the first among them, read 0.000000
    fractions = DUPLEX["phase_volume_fractions"]
    start = next(t * vs for t in range(1000)
                 if {fnv_pick(fractions, (c0[0] + t * vs, *c0[1:]), cell) for cell in (0.001, 0.002)} == {"a"})
    lo, hi = (start, 0.0, 0.0), (start + 0.004, 0.003, 0.002)
    for scale, cell in ((None, 0.001), (0.002, 0.002), (-1.0, 0.001)):
        out = tmp_path / f"half{scale}.vtk"
        pkg.eval(f"core.py_export_vtk_legacy('half', {str(out)!r}, ({lo!r}, {hi!r}), {vs}, ['density'], {scale!r})")
        want = [{"a": "0.000000", "b": "5000.250000"}[fnv_pick(fractions, (x, y, z), cell)]
                for z in centres(0.0, 2, vs) for y in centres(0.0, 3, vs) for x in centres(start, 4, vs)]
        lines = out.read_text().split("SCALARS density float 1\nLOOKUP_TABLE default\n")[1].splitlines()
        assert lines == want and lines[0] == "0.000000" and "5000.250000" in lines


def test_field_signs_and_line_breaks_in_names(pkg, tmp_path):
    box = ((0, 0, 0), (0.002, 0.001, 0.001))
    a, b, c = tmp_path / "a.vtk", tmp_path / "b.vtk", tmp_path / "c.vtk"
    pkg.eval(f"""(
        core.py_export_vtk_legacy('signs', {str(a)!r}, {box!r}, 0.001, ['zero', 'tiny', 'half']),
        core.py_export_vtk_legacy('signs2', {str(b)!r}, {box!r}, 0.001, ['density']),
        core.py_export_vtk_legacy('line\\r\\nbreak', {str(c)!r}, {box!r}, 0.001, ['den\\nsity', 'x\\ry']),
    )""")
    fields = a.read_text().split("LOOKUP_TABLE default\n")[2:]
    assert fields == ["-0.000000\n-0.000000\nSCALARS tiny float 1\n", "-0.000000\n-0.000000\nSCALARS half float 1\n",
                      "-0.500000\n-0.500000\n"]
    assert b.read_text().endswith("LOOKUP_TABLE default\n-0.000000\n-0.000000\n")
    lines = c.read_text().split("\n")
    assert lines[1] == "lumivarex line  break"
    assert lines[12:] == ["SCALARS den sity float 1", "LOOKUP_TABLE default", "2.500000", "2.500000",
                          "SCALARS x y float 1", "LOOKUP_TABLE default", "1.000000", "1.000000", ""]


def test_voxel_counts_forgive_rounding(pkg, tmp_path, core):
    """A millionth of a voxel is a rounding error, not a voxel; the counts helper,
    every export and third-party readers agree on the grid."""
    counts = core.py_voxel_counts
    assert counts(((0, 1000, 0), (0.07, 1000.07, 0.01)), 0.01) == (7, 7, 1)
    assert counts(((0, 0, 0), (0.01, 0.01, 0.01)), 0.003) == (4, 4, 4)
    assert counts(((0, 0, 0), (0.01, 0.01, 0.01)), 0.001) == (10, 10, 10)
    assert counts(((0, 0, 0), (5.000000000000782, 0.0700001, 0.0700000001)), 1.0) == (5, 1, 1)
    assert counts(((0, 0, 0), (5.000000000000782, 0.0700001, 0.0700000001)), 0.01) == (500, 8, 7)
    nan, inf = float("nan"), float("inf")
    assert counts(((0, 0, 1), (nan, 0, -1)), 0.5) == (1, 1, 1)  # NaN, empty and inverted axes
    assert counts(((0, -inf, 0), (inf, 0, 1e300)), 1e-300) == (2**64 - 1,) * 3
    for voxel in (0, -1, nan):
        with pytest.raises(ValueError, match="^voxel_counts: voxel_size must be positive$"):
            counts(((0, 0, 0), (1, 1, 1)), voxel)
    with pytest.raises(TypeError, match="bounds"):
        counts([[0, 0, 0], [1, 1, 1]], 1.0)
    assert "py_voxel_counts" not in core.__all__ and counts.__text_signature__ == "(bounds, voxel_size)"

    box = ((0.0, 1000.0, 0.0), (0.07, 1000.07, 0.01))
    vtk, raw, stl = tmp_path / "c.vtk", tmp_path / "c.raw", tmp_path / "c.stl"
    pkg.eval(f"(core.py_export_vtk_legacy('duplex', {str(vtk)!r}, {box!r}, 0.01),"
             f" core.py_export_sdf_raw('duplex', {str(raw)!r}, {box!r}, 0.01),"
             f" core.py_export_stl('duplex', {str(stl)!r}, {box!r}, 0.01))")
    assert meshio.read(vtk).point_data["phase_id"].size == 49
    assert "DIMENSIONS 7 7 1\n" in vtk.read_text()
    assert raw.stat().st_size == 49 * 4 and json.loads((tmp_path / "c.json").read_text())["shape_xyz"] == [7, 7, 1]
    corners = stl_mesh.Mesh.from_file(str(stl)).vectors.reshape(-1, 3)
    np.testing.assert_allclose(corners.max(axis=0), box[1], rtol=1e-7)


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
    expect_errors(pkg, [(f"core.{call}('steel', {str(out)!r}, {box!r}, {vs})".replace("inf", "float('inf')"),
                         "RuntimeError", f"voxel_phase_map: grid of {dims} voxels is too large")
                        for box, vs, dims in cases for call, out in outs.items()])
    assert not any(out.exists() for out in outs.values())


def test_argument_and_value_failures(pkg, tmp_path):
    box = ((0, 0, 0), (0.001, 0.001, 0.001))
    out = str(tmp_path / "f.vtk")
    vtk, sdf = "core.py_export_vtk_legacy", "core.py_export_sdf_raw"
    expect_errors(pkg, [
        (f"{vtk}('', {out!r}, {box!r}, 0.001)", "RuntimeError", "export_vtk_legacy: name required"),
        (f"{vtk}('steel', {out!r}, {box!r}, 0)", "RuntimeError", "export_vtk_legacy: voxel_size must be positive"),
        (f"{sdf}('', {out!r}, {box!r}, 0.001)", "RuntimeError", "export_sdf_raw: name required"),
        (f"{sdf}('steel', {out!r}, {box!r}, -1)", "RuntimeError", "export_sdf_raw: voxel_size must be positive"),
        (f"{sdf}('nobody', {out!r}, {box!r}, 1)", "RuntimeError",
         "sample::lookup_entry: no datasheet found for 'nobody'"),
        (f"{vtk}('steel', {out!r}, {box!r}, float('nan'))", "PanicException",
         "voxel_phase_map: voxel_size must be positive"),
        (f"{vtk}('steel', {out!r}, {box!r}, 0.001, ['density', ''])", "PanicException",
         "voxel_sample: property must be non-empty"),
        (f"{vtk}('steel', {out!r}, {box!r}, 0.001, 'density')", "TypeError", "argument 'properties': ..."),
        (f"{sdf}('steel', {out!r}, {box!r}, 0.001, None, None)", "TypeError", "argument 'mode': ..."),
        (f"{sdf}('steel', {out!r}, ((0, 0), (1, 1)), 0.001)", "TypeError", "argument 'bounds': ..."),
    ])
    assert not Path(out).exists()


def shortest_plain(v: float) -> str:
    """The shortest decimal text that reads back as v (repr finds it), without an exponent."""
    text = format(Decimal(repr(v)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


@pytest.fixture(scope="module")
def header_of(core, tmp_path_factory):
    """header_of(lo, vs) -> the ORIGIN and SPACING lines of a one-voxel VTK file."""
    core.py_save("__header", '{"density": 1}', "alloy")
    out = tmp_path_factory.mktemp("header") / "h.vtk"

    def run(lo: tuple[float, float, float], vs: float) -> list[str]:
        core.py_export_vtk_legacy("__header", str(out), (lo, lo), vs)
        return out.read_text().splitlines()[5:7]

    return run


def test_header_numbers_below_one(header_of):
    assert header_of((0.0, 0.0, 0.0), 0.5) == ["ORIGIN 0.25 0.25 0.25", "SPACING 0.5 0.5 0.5"]
    assert header_of((0.0, -0.625, 0.5), 0.25) == ["ORIGIN 0.125 -0.5 0.625", "SPACING 0.25 0.25 0.25"]
    assert header_of((0.05, 0.05, -1.05), 0.1) == ["ORIGIN 0.1 0.1 -1", "SPACING 0.1 0.1 0.1"]


numbers = st.floats(0.1, 1.0, exclude_max=True) | st.floats(-1.0, -0.1, exclude_min=True) | st.floats(-1e9, 1e9)


@settings(max_examples=300, deadline=None)
@given(lo=st.tuples(numbers, numbers, numbers), vs=st.floats(0.1, 1.0, exclude_max=True) | st.floats(1e-9, 1e9))
def test_header_numbers_are_shortest_plain_decimals(header_of, lo, vs):
    centre = [shortest_plain((0 + 0.5) * vs + v) for v in lo]  # the first voxel's centre, as the core computes it
    assert header_of(lo, vs) == [f"ORIGIN {' '.join(centre)}", f"SPACING {' '.join([shortest_plain(vs)] * 3)}"]
