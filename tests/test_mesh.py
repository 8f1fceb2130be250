"""Surface meshes: the boundary faces of the voxel phase map as OBJ+MTL and STL."""

from __future__ import annotations

import struct
from collections import Counter
from pathlib import Path

import numpy as np
import pytest
import trimesh
from stl import mesh as stl_mesh

from conftest import CoreError
from reference import (faces, grid_shape, phase_grid, reference_mtl, reference_obj, reference_stl_ascii,
                       reference_stl_binary)

TRIO = {"phase_volume_fractions": {"b": 2, "a": 1, "c": 1.5, "z_unused": 0}}
BROKEN = "two\nlines\r"  # line breaks in the entry and phase names
BROKEN_PHASES = {"p\nq": 1, "r\r\ns": 2}
LONG_NAME = "a" + "\u00e9" * 40  # "lumivarex " + this crosses byte 80 inside an "é"


@pytest.fixture
def pkg(make_package):
    return make_package({
        "alloy/Cr.json": {"density": 7190},
        "alloy/trio.json": TRIO,
        "alloy/solid.json": {"phase_volume_fractions": {"solid": 1}},
        f"alloy/{LONG_NAME}.json": {},
        f"alloy/{BROKEN}.json": {"phase_volume_fractions": BROKEN_PHASES},
    })


# ---------------------------------------------------------------- exact bytes


def test_single_voxel_files(pkg, tmp_path):
    obj = tmp_path / "new" / "deeper" / "mesh"  # no extension, folders missing
    bin_stl, txt_stl = tmp_path / "one.stl", tmp_path / "one_ascii.stl"
    box = "((0, 0, 0), (1, 1, 1))"
    got = pkg.eval(f"""[
        core.py_export_obj('Cr', {str(obj)!r}, {box}, 1.0),
        core.py_export_stl('Cr', {str(bin_stl)!r}, {box}, 1.0),
        core.py_export_stl('Cr', {str(txt_stl)!r}, {box}, 1, None, False),
    ]""")
    assert got == [(str(obj), str(obj) + ".mtl"), str(bin_stl), str(txt_stl)]
    assert Path(str(obj) + ".mtl").read_text() == (
        "newmtl Cr\nKd 0.0588 0.0275 0.6510\nKa 0.0118 0.0055 0.1302\nKs 0.5 0.5 0.5\nNs 32\n\n")
    v = ["0.000000 0.000000 0.000000", "0.000000 1.000000 0.000000", "0.000000 1.000000 1.000000",
         "0.000000 0.000000 1.000000", "1.000000 0.000000 0.000000", "1.000000 1.000000 0.000000",
         "1.000000 1.000000 1.000000", "1.000000 0.000000 1.000000"]
    assert obj.read_text() == ("mtllib mesh.mtl\n" + "".join(f"v {x}\n" for x in v) + "o Cr_Cr\nusemtl Cr\n"
                               "f 1 4 3 2\nf 5 6 7 8\nf 1 5 8 4\nf 2 3 7 6\nf 1 2 6 5\nf 4 8 7 3\n")
    data = bin_stl.read_bytes()
    assert len(data) == 684 and data[:80] == b"lumivarex Cr" + b"\0" * 68
    assert struct.unpack_from("<I", data, 80) == (12,)
    assert struct.unpack_from("<12fH12fH", data, 84) == (
        -1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 1, 0, -1, 0, 0, 0, 0, 0, 0, 1, 1, 0, 1, 0, 0)
    text = txt_stl.read_text()
    assert text.startswith("solid Cr\n  facet normal -1.000000 0.000000 0.000000\n    outer loop\n"
                           "\t  vertex 0.000000 0.000000 0.000000\n\t  vertex 0.000000 0.000000 1.000000\n"
                           "\t  vertex 0.000000 1.000000 1.000000\n    endloop\n  endfacet\n")
    assert text.endswith("endfacet\nendsolid Cr\n") and text.count("facet normal") == 12


CASES = [
    # name, lower, upper, voxel size, scale_m, fractions
    ("trio", (-0.3, -1e-9, 0.7), (0.35, 0.45, 1.05), 0.1, 0.2, TRIO["phase_volume_fractions"]),
    ("trio", (-1.0, 2.0, 0.0), (-0.25, 3.0, 0.5), 0.25, None, TRIO["phase_volume_fractions"]),
    # Grid lines collapse at 1e16 (one unit in the last place is 2), so
    # different corners share bit-identical coordinates and one vertex.
    ("solid", (1e16, 0.0, -0.5), (1e16 + 2.0, 1.0, 0.5), 0.5, None, None),
    (BROKEN, (0.0, 0.0, 0.0), (1.0, 1.0, 0.5), 0.25, None, BROKEN_PHASES),
]


@pytest.mark.parametrize("name, lower, upper, vs, scale, fractions", CASES)
def test_files_match_reference(pkg, tmp_path, name, lower, upper, vs, scale, fractions):
    grid = phase_grid(fractions, lower, grid_shape(lower, upper, vs), vs, scale)
    names = sorted(fractions, key=str.encode) if fractions else ["solid"]
    args = f"(({lower}, {upper}), {vs!r}, {scale!r}"
    pkg.eval(f"""[core.py_export_obj({name!r}, {str(tmp_path / 'm.obj')!r}, *{args})),
                  core.py_export_stl({name!r}, {str(tmp_path / 'b.stl')!r}, *{args})),
                  core.py_export_stl({name!r}, {str(tmp_path / 'a.stl')!r}, *{args}), binary=False)]""")
    def text(file: str) -> str:
        return (tmp_path / file).read_bytes().decode()  # no newline translation: a CR must show

    assert text("m.obj") == reference_obj(name, "m.mtl", names, grid, lower, vs)
    assert text("m.mtl") == reference_mtl(names)
    assert text("a.stl") == reference_stl_ascii(name, grid, lower, vs)
    assert (tmp_path / "b.stl").read_bytes() == reference_stl_binary(name, grid, lower, vs)


# ---------------------------------------------------------------- third-party readers


def edges_all_shared_twice(tris: np.ndarray) -> bool:
    """tris: (n, 3, 3) corner coordinates; vertices merged by exact value."""
    _, ids = np.unique(tris.reshape(-1, 3), axis=0, return_inverse=True)
    ids = ids.reshape(-1, 3)
    edges = np.sort(np.concatenate([ids[:, [0, 1]], ids[:, [1, 2]], ids[:, [2, 0]]]), axis=1)
    _, counts = np.unique(edges, axis=0, return_counts=True)
    return bool((counts == 2).all())


def winds_along_normals(tris: np.ndarray, normals: np.ndarray) -> bool:
    """Every triangle's right-hand winding points the way its stored normal does."""
    winding = np.cross(tris[:, 1] - tris[:, 0], tris[:, 2] - tris[:, 0])
    return bool((np.einsum("ij,ij->i", winding, normals) > 0).all())


def test_single_phase_box_is_closed_with_box_volume(pkg, tmp_path):
    nx, ny, nz, vs, lower = 3, 4, 5, 0.5, (1.0, -2.0, 0.25)
    upper = tuple(lower[a] + n * vs for a, n in enumerate((nx, ny, nz)))
    args = f"(({lower}, {upper}), {vs})"
    pkg.eval(f"""[core.py_export_stl('solid', {str(tmp_path / 'b.stl')!r}, *{args}),
                  core.py_export_stl('solid', {str(tmp_path / 'a.stl')!r}, *{args}, binary=False),
                  core.py_export_obj('solid', {str(tmp_path / 'm.obj')!r}, *{args})]""")
    quads = 2 * (ny * nz + nx * nz + nx * ny)
    box_volume = nx * ny * nz * vs**3
    # Faces wind outwards, so the readers take the volume from the winding
    # as written: nothing is reoriented.
    for path in ("b.stl", "a.stl"):
        m = stl_mesh.Mesh.from_file(str(tmp_path / path), calculate_normals=False)
        assert len(m.vectors) == 2 * quads
        assert edges_all_shared_twice(m.vectors.astype(np.float64))
        assert winds_along_normals(m.vectors.astype(np.float64), m.normals.astype(np.float64))
        volume, _, _ = m.get_mass_properties()
        assert volume == pytest.approx(box_volume, rel=1e-6)
    meshes = [trimesh.load(str(tmp_path / p), force="mesh", process=False) for p in ("m.obj", "b.stl")]
    assert len(meshes[0].vertices) == (nx + 1) * (ny + 1) * (nz + 1) - (nx - 1) * (ny - 1) * (nz - 1)
    meshes[1].merge_vertices()  # STL repeats each corner per triangle
    for t in meshes:
        assert len(t.faces) == 2 * quads
        assert t.is_watertight and t.is_winding_consistent and t.is_volume
        assert t.volume == pytest.approx(box_volume, rel=1e-6)
        assert np.allclose(t.bounds, [lower, upper])


def face_key(tri: np.ndarray, lower, vs) -> tuple:
    """A triangle of a square face spans the whole square: its bounding box
    names the face (axis, grid-line index of the lower corner)."""
    lo, hi = tri.min(axis=0), tri.max(axis=0)
    axis = int(np.argmin(hi - lo))
    return axis, tuple(int(round((lo[a] - lower[a]) / vs)) for a in range(3))


def test_multi_phase_internal_faces(pkg, tmp_path):
    fractions = TRIO["phase_volume_fractions"]
    lower, upper, vs, scale = (-0.75, 0.5, -0.25), (0.75, 1.5, 1.0), 0.25, 0.5
    grid = phase_grid(fractions, lower, grid_shape(lower, upper, vs), vs, scale)
    names = sorted(fractions, key=str.encode)
    assert len(set(grid.ravel())) == 3  # a, b and c all occur; z_unused never does
    args = f"(({lower}, {upper}), {vs}, {scale})"
    pkg.eval(f"""[core.py_export_stl('trio', {str(tmp_path / 'b.stl')!r}, *{args}),
                  core.py_export_obj('trio', {str(tmp_path / 'm.obj')!r}, *{args})]""")

    expected = {(axis, c): (sign, phase) for axis, c, sign, phase in faces(grid)}
    assert any(0 < c[axis] < grid.shape[axis] for axis, c in expected)  # internal faces exist

    m = stl_mesh.Mesh.from_file(str(tmp_path / "b.stl"), calculate_normals=False)
    assert winds_along_normals(m.vectors.astype(np.float64), m.normals.astype(np.float64))
    seen = {}
    for tri, nrm in zip(m.vectors.astype(np.float64), m.normals):
        key = face_key(tri, lower, vs)
        seen.setdefault(key, []).append(float(nrm[key[0]]))
    assert set(seen) == set(expected)
    assert all(signs == [expected[k][0]] * 2 for k, signs in seen.items())

    scene = trimesh.load(str(tmp_path / "m.obj"), process=False, group_material=True)
    by_phase = {g.visual.material.name: g for g in scene.geometry.values()}
    assert sorted(by_phase) == ["a", "b", "c"]  # no group for a phase without faces
    for phase, g in by_phase.items():
        keys = [face_key(g.vertices[f], lower, vs) for f in g.faces]
        assert set(keys) == {k for k, (_, p) in expected.items() if names[p] == phase}
        # The reader's normals come from the winding alone.
        assert all(n[k[0]] == expected[k][0] for k, n in zip(keys, g.face_normals))
    assert "newmtl z_unused\n" in (tmp_path / "m.mtl").read_text()


# ---------------------------------------------------------------- paths and failures


def test_paths_headers_and_failures(pkg, tmp_path):
    box = "((0, 0, 0), (0.002, 0.001, 0.001))"
    missing = tmp_path / "nowhere" / "x.stl"
    long_stl = tmp_path / "long.stl"
    obj_dir = tmp_path / "taken.obj"
    obj_dir.mkdir()
    calls = {
        "no_name_obj": f"core.py_export_obj('', 'x.obj', {box}, 0.001)",
        "no_name_stl": f"core.py_export_stl('', 'x.stl', {box}, 0.001)",
        "zero_obj": f"core.py_export_obj('Cr', 'x.obj', {box}, 0.0)",
        "neg_stl": f"core.py_export_stl('Cr', 'x.stl', {box}, -1.0, binary=False)",
        "nan_obj": f"core.py_export_obj('Cr', 'x.obj', {box}, float('nan'))",
        "nan_stl": f"core.py_export_stl('Cr', 'x.stl', {box}, float('nan'))",
        "unknown": f"core.py_export_stl('cr', 'x.stl', {box}, 0.001)",
        "bin_missing_dir": f"core.py_export_stl('Cr', {str(missing)!r}, {box}, 0.001)",
        "ascii_missing_dir": f"core.py_export_stl('Cr', {str(missing)!r}, {box}, 0.001, binary=False)",
        "obj_write_fails": f"core.py_export_obj('Cr', {str(obj_dir)!r}, {box}, 0.001)",
        "long_header": f"core.py_export_stl({LONG_NAME!r}, {str(long_stl)!r}, {box}, 0.001)",
        "nul_obj": f"core.py_export_obj('Cr', {str(tmp_path / 'cut.obj') + chr(0) + 'x'!r}, {box}, 0.001)",
        "nul_stl": f"core.py_export_stl('Cr', {str(tmp_path / 'cut.stl') + chr(0) + 'x'!r}, {box}, 0.001)",
        "obj_is_mtl": f"core.py_export_obj('Cr', {str(tmp_path / 'new' / 'm.mtl')!r}, {box}, 0.001)",
        "obj_is_mtl_unknown": f"core.py_export_obj('cr', 'm.mtl', {box}, 0.001)",
        "obj_dot_mtl": f"core.py_export_obj('Cr', {str(tmp_path / '.mtl')!r}, {box}, 0.001)",
        "obj_in_mtl_dir": f"core.py_export_obj('Cr', {str(tmp_path / 'd.mtl' / 'part')!r}, {box}, 0.001)",
        "bad_bounds": "core.py_export_obj('Cr', 'x.obj', ((0, 0), (1, 1)), 0.001)",
        "bad_binary": f"core.py_export_stl('Cr', 'x.stl', {box}, 0.001, None, 1)",
    }
    results = {k: (got.name, got.text) if isinstance(got, CoreError) else ("ok", got)
               for k, got in zip(calls, pkg.eval_all(list(calls.values())))}
    assert results["no_name_obj"] == ("RuntimeError", "export_obj: name required")
    assert results["no_name_stl"] == ("RuntimeError", "export_stl: name required")
    assert results["zero_obj"] == ("RuntimeError", "export_obj: voxel_size must be positive")
    assert results["neg_stl"] == ("RuntimeError", "export_stl: voxel_size must be positive")
    assert results["nan_obj"] == results["nan_stl"] == (
        "PanicException", "voxel_phase_map: voxel_size must be positive")
    assert results["unknown"] == ("RuntimeError", "sample::lookup_entry: no datasheet found for 'cr'")
    # Binary output creates no folder; ASCII output does.
    assert results["bin_missing_dir"][0] == "RuntimeError" and "os error" in results["bin_missing_dir"][1]
    assert results["ascii_missing_dir"] == ("ok", str(missing)) and missing.read_text().startswith("solid Cr\n")
    # The OBJ file cannot be made: the failure names it, and the MTL file,
    # which only ever replaces its target together with the OBJ file, is not
    # written either.
    assert results["obj_write_fails"] == ("RuntimeError", f"Is a directory (os error 21): '{obj_dir}'")
    assert not (tmp_path / "taken.mtl").exists()
    # A NUL would cut the path short and some other file would be written.
    assert results["nul_obj"] == ("RuntimeError", "export_obj: obj_path must not contain a NUL character")
    assert results["nul_stl"] == ("RuntimeError", "export_stl: out_path must not contain a NUL character")
    assert not (tmp_path / "cut.obj").exists() and not (tmp_path / "cut.mtl").exists()
    assert not (tmp_path / "cut.stl").exists()
    # An OBJ path ending in .mtl names its own MTL file, which the OBJ text
    # would replace: refused before the voxel map, nothing written.
    for key, path in (("obj_is_mtl", str(tmp_path / "new" / "m.mtl")), ("obj_is_mtl_unknown", "m.mtl")):
        assert results[key] == ("RuntimeError", f"export_obj: obj_path '{path}' would overwrite its MTL file")
    assert not (tmp_path / "new").exists()
    # A leading dot is no extension, nor is one of a folder.
    assert results["obj_dot_mtl"] == ("ok", (str(tmp_path / ".mtl"), str(tmp_path / ".mtl.mtl")))
    in_dir = tmp_path / "d.mtl" / "part"
    assert results["obj_in_mtl_dir"] == ("ok", (str(in_dir), str(in_dir) + ".mtl"))
    assert (tmp_path / ".mtl").read_text().startswith("mtllib .mtl.mtl\n")
    header = long_stl.read_bytes()[:80]
    assert header == ("lumivarex " + LONG_NAME).encode()[:80] and header.endswith(b"\xc3")
    assert results["bad_bounds"][0] == "TypeError" and results["bad_bounds"][1].startswith("argument 'bounds': ")
    assert results["bad_binary"][0] == "TypeError" and results["bad_binary"][1].startswith("argument 'binary': ")
