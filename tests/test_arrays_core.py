"""The core's array functions against their twins: samples at many points, the
phase map and property field of a box or a block of it, the surface, the
backbone and the superposition; how they read arrays and hand them out."""

from __future__ import annotations

import math
import os
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
from Bio.SVDSuperimposer import SVDSuperimposer
from hypothesis import given, settings
from hypothesis import strategies as st


STEEL = "carbon steel"  # two phases, a hashed grain pattern below 1 cm
DENSITY = "Density_kg_m3"
BOX = ((-0.0013, 0.0004, 0.0), (0.0041, 0.0031, 0.0022))  # 6 x 3 x 3 voxels of 1 mm


def arr(view: memoryview) -> np.ndarray:
    return np.asarray(view)


# ---------------------------------------------------------------- inputs and results


def test_points_of_any_layout_read_as_the_same_numbers(core):
    base = np.random.default_rng(1).uniform(-0.01, 0.01, (7, 3))
    expected = arr(core.py_sample_points(STEEL, DENSITY, base, 0.0005))
    big = base.astype(">f8")
    wide = np.zeros((7, 6))
    wide[:, ::2] = base
    readonly = base.copy()
    readonly.flags.writeable = False
    forms = [base.tolist(), [tuple(p) for p in base], np.asfortranarray(base), big, wide[:, ::2],
             base[::-1][::-1], readonly, memoryview(base), np.ascontiguousarray(base.T).T]
    for form in forms:
        assert arr(core.py_sample_points(STEEL, DENSITY, form, 0.0005)).tobytes() == expected.tobytes(), form
    # Integers and 32-bit floats are converted exactly.
    ints = np.array([[0, 0, 0], [-1, 2, 3]], dtype=">i2")
    assert arr(core.py_sample_points(STEEL, DENSITY, ints, 0.0005)).tolist() == [
        core.py_sample(STEEL, DENSITY, (0.0, 0.0, 0.0), 0.0005), core.py_sample(STEEL, DENSITY, (-1.0, 2.0, 3.0),
                                                                                 0.0005)]
    f32 = base.astype(np.float32)
    assert arr(core.py_sample_points(STEEL, DENSITY, f32, 0.0005)).tolist() == [
        core.py_sample(STEEL, DENSITY, tuple(map(float, p)), 0.0005) for p in f32]
    assert arr(core.py_sample_points(STEEL, DENSITY, np.zeros((0, 3)))).shape == (0,)


@pytest.mark.parametrize("points, error, message", [
    (np.zeros((4, 2)), ValueError, "argument 'points': expected shape (N, 3), got (4, 2)"),
    (np.zeros(3), ValueError, "argument 'points': expected shape (N, 3), got (3,)"),
    (np.zeros((2, 3), complex), TypeError, "argument 'points': expected integers or floats, got buffer format 'Zd'"),
    (np.zeros((2, 3), bool), TypeError, "argument 'points': expected integers or floats, got buffer format '?'"),
    (np.zeros((2, 3), np.float16), TypeError, "argument 'points': expected integers or floats, got buffer format 'e'"),
    ([(0, 0, 0), (1, 2)], ValueError, "argument 'points': row 1 has 2 numbers, expected 3"),
    ([(0, 0, 0), "abc"], TypeError, "argument 'points': row 1 is str, expected a sequence of 3 numbers"),
    ([(0, 0, "x")], TypeError, "argument 'points': must be real number, not str"),
    ("points", TypeError, "argument 'points': expected an (N, 3) array or a sequence of 3-sequences, got str"),
    (5, TypeError, "argument 'points': expected an (N, 3) array or a sequence of 3-sequences, got int"),
])
def test_points_of_the_wrong_shape_or_type_are_refused_by_name(core, points, error, message):
    with pytest.raises(error) as info:
        core.py_sample_points(STEEL, DENSITY, points)
    assert str(info.value) == message


def test_results_are_writable_views_that_numpy_wraps_without_a_copy(core):
    view = core.py_sample_points(STEEL, DENSITY, [(0, 0, 0), (0.003, 0, 0)])
    assert (view.format, view.shape, view.readonly, view.c_contiguous) == ("d", (2,), False, True)
    a = np.asarray(view)
    a[0] = -1.0
    assert view[0] == -1.0 and a.base is not None
    ids, names = core.py_phase_map(STEEL, BOX, 0.001)
    assert (ids.format, ids.shape, names) == ("B", (3, 3, 6), ["cementite", "ferrite"])
    del view, ids
    assert a.sum() != 0  # the array keeps the storage alive


# ---------------------------------------------------------------- samples


coordinate = st.floats(-0.05, 0.05, allow_nan=False)
scales = st.sampled_from([None, 0.0004, 0.003, 0.01, 0.02, -1.0, 0.0, math.nan, math.inf])


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(coordinate, coordinate, coordinate), min_size=1, max_size=30),
       st.sampled_from([STEEL, "pearlite", "Fe"]), scales)
def test_each_sample_is_bit_for_bit_py_sample(core, points, name, scale):
    got = arr(core.py_sample_points(name, DENSITY, points, scale))
    expected = [core.py_sample(name, DENSITY, p, scale) for p in points]
    assert got.tobytes() == np.array(expected).tobytes()


def test_sample_failures_are_those_of_py_sample(core):
    with pytest.raises(KeyError) as info:
        core.py_sample_points("no such entry", DENSITY, [(0, 0, 0)])
    assert info.value.args[0] == "sample::lookup_entry: no datasheet found for 'no such entry'"
    with pytest.raises(KeyError) as info:
        core.py_sample_points("Fe", "hardness", [(0, 0, 0)])
    assert info.value.args[0] == "sample: property 'hardness' missing or non-numeric"
    with pytest.raises(core.PanicException, match="^sample_points: property must be non-empty$"):
        core.py_sample_points("Fe", "", [])


# ---------------------------------------------------------------- phase map and property field


def raw_phase_map(core, tmp_path, name, box, vs, scale=None):
    """The phase map as the raw export writes it, [z][y][x]."""
    core.py_export_sdf_raw(name, str(tmp_path / "v.raw"), box, vs, scale)
    nx, ny, nz = core.py_voxel_counts(box, vs)
    return np.fromfile(tmp_path / "v.raw", dtype="<f4").reshape(nz, ny, nx)


@pytest.mark.parametrize("scale", [None, 0.0023])
def test_phase_map_is_the_map_the_exports_write(core, tmp_path, scale):
    box = ((-0.0113, 0.0004, -0.0071), (0.0187, 0.0154, 0.0029))
    ids, names = core.py_phase_map(STEEL, box, 0.0005, scale)
    expected = raw_phase_map(core, tmp_path, STEEL, box, 0.0005, scale)
    assert np.array_equal(arr(ids), expected) and len(np.unique(expected)) == 2
    assert names == ["cementite", "ferrite"]


@settings(max_examples=30, deadline=None)
@given(st.data())
def test_blocks_tile_the_whole_map_exactly(core, data):
    shape_zyx = data.draw(st.tuples(*(st.integers(1, 9),) * 3))
    lo = data.draw(st.tuples(*(st.floats(-0.02, 0.02),) * 3))
    vs = data.draw(st.sampled_from([0.0003, 0.0007, 0.001]))
    box = (lo, tuple(lo[a] + shape_zyx[2 - a] * vs for a in range(3)))
    scale = data.draw(st.sampled_from([None, 0.0009, 0.0031]))
    whole_ids, _ = core.py_phase_map(STEEL, box, vs, scale)
    whole, field = arr(whole_ids), arr(core.py_property_field(STEEL, DENSITY, box, vs, scale))
    n = whole.shape
    start = tuple(data.draw(st.integers(0, n[a] - 1)) for a in range(3))
    size = tuple(data.draw(st.integers(1, n[a] - start[a])) for a in range(3))
    cut = tuple(slice(start[a], start[a] + size[a]) for a in range(3))
    block, _ = core.py_phase_map(STEEL, box, vs, scale, start, size)
    assert np.array_equal(arr(block), whole[cut])
    assert arr(core.py_property_field(STEEL, DENSITY, box, vs, scale, start, size)).tobytes() == \
        np.ascontiguousarray(field[cut]).tobytes()
    # Single voxels at the far corner, and the rest of the grid from a start.
    far = tuple(s - 1 for s in n)
    assert arr(core.py_phase_map(STEEL, box, vs, scale, far, (1, 1, 1))[0]).tolist() == [[[whole[far]]]]
    assert np.array_equal(arr(core.py_phase_map(STEEL, box, vs, scale, start)[0]), whole[start[0]:, start[1]:,
                                                                                          start[2]:])


def test_blocks_outside_the_grid_are_refused(core):
    cases = [
        (dict(start=(3, 0, 0)), "phase_map: start (z, y, x) = (3, 0, 0) lies outside the grid of "
                                "(z, y, x) = (3, 3, 6) voxels"),
        (dict(shape=(1, 0, 1)), "phase_map: shape (z, y, x) = (1, 0, 1) is empty along an axis"),
        (dict(start=(0, 1, 2), shape=(1, 1, 5)), "phase_map: a block of shape (z, y, x) = (1, 1, 5) at start "
                                                 "(z, y, x) = (0, 1, 2) reaches past the grid of (z, y, x) = "
                                                 "(3, 3, 6) voxels"),
    ]
    for kwargs, message in cases:
        with pytest.raises(ValueError) as info:
            core.py_phase_map(STEEL, BOX, 0.001, **kwargs)
        assert str(info.value) == message
    with pytest.raises(ValueError, match="^argument 'start': expected three non-negative ints"):
        core.py_phase_map(STEEL, BOX, 0.001, start=(0, -1, 0))
    with pytest.raises(TypeError, match="^argument 'shape': "):
        core.py_phase_map(STEEL, BOX, 0.001, shape=(1.0, 1, 1))


def vtk_field(text: str, prop: str) -> list[str]:
    lines = text.split("\n")
    at = lines.index(f"SCALARS {prop} float 1") + 2
    count = int(next(line for line in lines if line.startswith("POINT_DATA")).split()[1])
    return lines[at:at + count]


@pytest.mark.parametrize("name, scale", [(STEEL, None), (STEEL, 0.0031), (STEEL, 0.02), ("Fe", None)])
def test_property_field_holds_the_values_the_vtk_export_writes(core, tmp_path, name, scale):
    core.py_export_vtk_legacy(name, str(tmp_path / "f.vtk"), BOX, 0.0005, [DENSITY], scale)
    field = arr(core.py_property_field(name, DENSITY, BOX, 0.0005, scale))
    assert field.shape == (5, 6, 11)
    assert ["%.6f" % v for v in field.ravel()] == vtk_field((tmp_path / "f.vtk").read_text(), DENSITY)


def test_grid_functions_fail_as_their_twins(core, make_package):
    huge = ((0.0, 0.0, 0.0), (1e3, 1e3, 1e3))
    too_large = "voxel_phase_map: grid of 1000000000 x 1000000000 x 1000000000 voxels is too large"
    for call in (lambda: core.py_phase_map(STEEL, huge, 1e-6), lambda: core.py_surface_arrays(STEEL, huge, 1e-6),
                 lambda: core.py_property_field(STEEL, DENSITY, huge, 1e-6)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == too_large
    for call in (lambda: core.py_phase_map("nothing", BOX, 0.001),
                 lambda: core.py_property_field("nothing", DENSITY, BOX, 0.001),
                 lambda: core.py_surface_arrays("nothing", BOX, 0.001)):
        with pytest.raises(ValueError, match="^sample::lookup_entry: no datasheet found for 'nothing'$"):
            call()
    for call in (lambda: core.py_phase_map(STEEL, BOX, math.nan), lambda: core.py_surface_arrays(STEEL, BOX, math.nan),
                 lambda: core.py_property_field(STEEL, DENSITY, BOX, math.nan)):
        with pytest.raises(core.PanicException, match="^voxel_phase_map: voxel_size must be positive$"):
            call()
    with pytest.raises(ValueError, match="^property_field: voxel_size must be positive$"):
        core.py_property_field(STEEL, DENSITY, BOX, 0.0)
    # A property no voxel carries is refused, as the VTK export refuses it.
    with pytest.raises(ValueError, match="^sample: property 'hardness' missing or non-numeric$"):
        core.py_property_field("Fe", "hardness", BOX, 0.001)


def test_phase_types_and_the_block_rule_of_a_partly_carried_property(make_package):
    many = {f"p{i:03d}": 1 for i in range(300)}
    pkg = make_package({
        "alloy/many.json": {"phase_volume_fractions": many},
        "alloy/half.json": {"phase_model": "voronoi", "phase_volume_fractions": {"a": 1, "b": 1},
                            "phase_properties": {"a": {"d": 2.5}, "b": {}}},
    })
    box = ((0, 0, 0), (0.004, 0.004, 0.004))
    assert pkg.eval(f"(lambda r: (r[0].format, len(r[1])))(core.py_phase_map('many', {box!r}, 0.001))") == (
        "H", 300)
    # Phase b lacks d: its voxels read 0.0. The whole map never refuses while a
    # carries d; nor does a block that holds only voxels of b.
    field = np.array(pkg.eval(f"core.py_property_field('half', 'd', {box!r}, 0.001).tolist()"))
    phases = np.array(pkg.eval(f"core.py_phase_map('half', {box!r}, 0.001)[0].tolist()"))
    assert np.array_equal(field, np.where(phases == 0, 2.5, 0.0)) and (phases == 1).any()
    z, y, x = (int(i) for i in np.argwhere(phases == 1)[0])
    assert pkg.eval(f"core.py_property_field('half', 'd', {box!r}, 0.001, None, {(z, y, x)!r}, (1, 1, 1))"
                    f".tolist()") == [[[0.0]]]


# ---------------------------------------------------------------- surface


def test_surface_is_the_geometry_of_the_obj_and_stl_files(core, tmp_path):
    box = ((-0.0013, 0.0004, 0.0), (0.0021, 0.0031, 0.0022))
    core.py_export_obj(STEEL, str(tmp_path / "s.obj"), box, 0.0005, 0.0007)
    core.py_export_stl(STEEL, str(tmp_path / "s.stl"), box, 0.0005, 0.0007)
    vertices, triangles, phases, normals, names = (
        arr(v) if isinstance(v, memoryview) else v for v in core.py_surface_arrays(STEEL, box, 0.0005, 0.0007))
    assert (vertices.dtype, triangles.dtype, phases.dtype, normals.dtype) == ("f8", "u4", "u1", "f8")
    # The OBJ file rebuilt from the arrays: its vertices, and each face's two
    # triangles joined back into the quad (w0, w1, w2, w3).
    obj = [f"mtllib s.mtl"] + ["v %.6f %.6f %.6f" % tuple(v) for v in vertices]
    quads = [(*t0, t1[2]) for t0, t1 in zip(triangles[::2].tolist(), triangles[1::2].tolist())]
    for p, phase in enumerate(names):
        group = [q for q, ph in zip(quads, phases[::2]) if ph == p]
        if group:
            obj += [f"o {STEEL}_{phase}", f"usemtl {phase}"] + ["f %d %d %d %d" % tuple(i + 1 for i in q)
                                                               for q in group]
    assert (tmp_path / "s.obj").read_text() == "\n".join(obj) + "\n"
    # And the binary STL file, triangle by triangle.
    records = b"".join(struct.pack("<12fH", *n, *vertices[t].ravel(), 0) for n, t in zip(normals, triangles))
    stl = (tmp_path / "s.stl").read_bytes()
    assert stl[84:] == records and struct.unpack("<I", stl[80:84])[0] == len(triangles)


# ---------------------------------------------------------------- protein


@settings(max_examples=25, deadline=None)
@given(st.lists(st.tuples(st.floats(-180, 180), st.floats(-180, 180)), min_size=1, max_size=40))
def test_backbone_array_is_py_build_backbone(core, pairs):
    sequence = "A" * len(pairs)
    atoms = core.py_build_backbone(sequence, pairs)
    expected = np.array([(a["x"], a["y"], a["z"]) for a in atoms])
    for form in (pairs, np.array(pairs), np.array(pairs, dtype=">f8")):
        got = arr(core.py_backbone_array(sequence, form))
        assert got.shape == (3 * len(pairs), 3) and got.tobytes() == expected.tobytes()


def test_backbone_array_fails_as_its_twin(core):
    with pytest.raises(ValueError, match=r"^build_backbone: fewer phi/psi pairs than residues \(1 < 2\)$"):
        core.py_backbone_array("AG", [(0, 0)])
    with pytest.raises(core.PanicException, match="^build_backbone: sequence must be non-empty$"):
        core.py_backbone_array("", [])
    with pytest.raises(ValueError, match=r"^argument 'phi_psi_deg': expected shape \(N, 2\), got \(1, 3\)$"):
        core.py_backbone_array("A", np.zeros((1, 3)))


def rotation_matrix(q):
    w, x, y, z = np.asarray(q) / np.linalg.norm(q)
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                     [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                     [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])


def weighted_kabsch(a, b, w):
    """An independent weighted fit of a onto b: (rmsd, rotation, translation)."""
    ca, cb = (w[:, None] * a).sum(0) / w.sum(), (w[:, None] * b).sum(0) / w.sum()
    h = ((a - ca) * w[:, None]).T @ (b - cb)
    u, _, vt = np.linalg.svd(h)
    d = np.sign(np.linalg.det(vt.T @ u.T))
    r = vt.T @ np.diag([1, 1, d]) @ u.T
    t = cb - r @ ca
    return math.sqrt((w * ((a @ r.T + t - b) ** 2).sum(1)).sum() / w.sum()), r, t


@settings(max_examples=40, deadline=None)
@given(st.integers(3, 30), st.integers(0, 2**32 - 1), st.booleans())
def test_superposition_against_independent_fits(core, n, seed, weighted):
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(n, 3)) * 10
    b = a @ rotation_matrix(rng.normal(size=4)).T + rng.normal(size=3) + rng.normal(size=(n, 3))
    w = rng.uniform(0.1, 3.0, n) if weighted else None
    rmsd, rot, shift, fitted = core.py_superpose(a, b, w)
    rot, shift, fitted = arr(rot), arr(shift), arr(fitted)
    assert np.allclose(rot @ rot.T, np.eye(3), atol=1e-12) and np.isclose(np.linalg.det(rot), 1.0)
    assert np.allclose(fitted, a @ rot.T + shift, rtol=0, atol=1e-12)
    if weighted:
        ref_rmsd, ref_rot, ref_shift = weighted_kabsch(a, b, w)
        assert math.isclose(rmsd, ref_rmsd, rel_tol=1e-9)
        assert np.allclose(rot, ref_rot, atol=1e-9) and np.allclose(shift, ref_shift, atol=1e-9)
    else:
        assert rmsd == core.py_kabsch_rmsd(a, b)  # the same fit, bit for bit
        sup = SVDSuperimposer()
        sup.set(b, a)
        sup.run()
        ref_rot, ref_shift = sup.get_rotran()  # a @ ref_rot + ref_shift
        assert np.allclose(rot, ref_rot.T, atol=1e-9) and np.allclose(shift, ref_shift, atol=1e-9)
        # All weights equal is no weighting at all.
        assert math.isclose(core.py_superpose(a, b, np.full(n, 2.5))[0], rmsd, rel_tol=1e-12)


def test_superposition_edges_and_refusals(core):
    rmsd, rot, shift, fitted = core.py_superpose([], [])
    assert (rmsd, arr(rot).tolist(), arr(shift).tolist(), arr(fitted).shape) == (
        0.0, np.eye(3).tolist(), [0.0, 0.0, 0.0], (0, 3))
    rmsd, rot, shift, fitted = core.py_superpose([(0, 0, math.nan), (1, 0, 0)], [(0, 0, 0), (1, 0, 0)])
    assert math.isnan(rmsd) and np.isnan(arr(rot)).all() and np.isnan(arr(fitted)).all()
    refusals = [
        (([(0, 0, 0)], [(0, 0, 0), (1, 1, 1)], None), "superpose: a and b must hold the same number of points (1 vs 2)"),
        (([(0, 0, 0)], [(1, 1, 1)], [1, 2]), "superpose: weights must hold one number per point (2 for 1 points)"),
        (([(0, 0, 0)], [(1, 1, 1)], [-1]), "superpose: weights must be finite and non-negative"),
        (([(0, 0, 0)], [(1, 1, 1)], [math.inf]), "superpose: weights must be finite and non-negative"),
        (([(0, 0, 0)], [(1, 1, 1)], [0.0]), "superpose: weights must not all be 0"),
        ((np.zeros((2, 2)), [(1, 1, 1)], None), "argument 'a': expected shape (N, 3), got (2, 2)"),
        (([(0, 0, 0)], [(1, 1, 1)], np.ones((1, 1))), "argument 'weights': expected shape (N,), got (1, 1)"),
    ]
    for args, message in refusals:
        with pytest.raises(ValueError) as info:
            core.py_superpose(*args)
        assert str(info.value) == message


# ---------------------------------------------------------------- without numpy


def test_core_and_package_import_and_answer_without_numpy(core):
    import lumivarex

    code = textwrap.dedent("""
        import sys
        class NoNumpy:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ImportError("numpy is hidden")
        sys.meta_path.insert(0, NoNumpy())
        import lumivarex
        from lumivarex import core
        ids, names = core.py_phase_map("carbon steel", ((0, 0, 0), (0.002, 0.001, 0.001)), 0.001)
        print(ids.tolist(), names, lumivarex.get("iron")["Symbol"], lumivarex.resolve("iron"))
        try:
            lumivarex.phase_map
        except ImportError as e:
            print("array API:", e)
    """)
    env = {**os.environ, "PYTHONPATH": str(Path(lumivarex.__file__).parents[1])}
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    ids, names = core.py_phase_map(STEEL, ((0, 0, 0), (0.002, 0.001, 0.001)), 0.001)
    assert proc.stdout.splitlines() == [
        f"{ids.tolist()} {names} Fe Resolved(tier='atom', key='Fe')", "array API: numpy is hidden"]
