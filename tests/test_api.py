"""The package's Python API: one resolver, numpy in and out, paths of any
kind, errors that name what is wrong, and types a user's script can check."""

from __future__ import annotations

import json
import math
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import lumivarex as lx
from lumivarex import core

PYTHON_DIR = Path(lx.__file__).resolve().parents[1]
STEEL_BOX = ((0.0, 0.0, 0.0), (0.004, 0.003, 0.002))


# ---------------------------------------------------------------- names


def test_one_resolver_for_every_name(core):
    assert lx.resolve("iron") == lx.resolve("FE") == lx.resolve("Fe", "atom") == ("atom", "Fe")
    assert lx.resolve("CO", "molecule") == ("molecule", "carbon monoxide")  # its symbol in that tier
    assert lx.resolve("AISI 1045") == ("alloy", "carbon steel")  # an alias
    assert lx.get("iron") == core.py_get("Fe") and lx.get("co", tier="molecule") == core.py_get("CO", "molecule")
    assert lx.get("{Fe=2, C=1}") == core.py_get("{Fe=2, C=1}")
    # Every function takes any name of the entry and works on the key.
    box, points = STEEL_BOX, [(0.0005, 0.0005, 0.0005)]
    assert lx.sample("aisi 1045", "Density_kg_m3", points).tolist() == [
        core.py_sample("carbon steel", "Density_kg_m3", points[0])]
    assert lx.phase_map("C45", box, 0.001).key == "carbon steel"
    assert lx.export_glsl("iron") == core.py_export_glsl("Fe")
    alloys = lx.entries("alloy")
    assert "carbon steel" in alloys and alloys == sorted(alloys, key=str.encode)
    assert lx.entries() == [k for t in core.py_list_tiers() for k in lx.entries(t)]
    props = lx.properties("iron")
    assert props["Density_kg_m3"] == core.py_get("Fe")["Properties"]["Density_kg_m3"]
    assert props["melting_point_K"] > 1800 and list(props) == sorted(props, key=str.encode)
    assert all(type(v) is float for v in props.values())


def test_unknown_names_suggest_close_ones():
    with pytest.raises(KeyError) as info:
        lx.get("ironn")
    err = info.value
    assert isinstance(err, lx.UnknownNameError) and err.suggestions[0] == "iron" and len(err.suggestions) <= 3
    assert str(err) == "unknown name: ironn; did you mean " + ", ".join(f"'{s}'" for s in err.suggestions) + "?"
    with pytest.raises(lx.UnknownNameError) as info:
        lx.phase_map("carbon stel", STEEL_BOX, 0.001)
    assert "'carbon steel'" in str(info.value)
    with pytest.raises(lx.UnknownNameError) as info:
        lx.resolve("zzzzzzzz", tier="protein")
    assert str(info.value) == "unknown name: zzzzzzzz in tier 'protein'" and info.value.suggestions == []


def test_a_key_shadowed_by_an_earlier_tier_is_refused(make_package):
    pkg = make_package({"atom/Fe.json": {"density": 1}, "alloy/Fe.json": {"density": 2},
                        "alloy/steel.json": {"Aliases": ["mild"], "density": 3}})
    for source in (PYTHON_DIR / "lumivarex").glob("*.py"):
        (pkg.pkg / source.name).write_text(source.read_text())
    out = pkg.run("""
        import lumivarex as lx
        print(lx.get("fe", "alloy"), lx.resolve("MILD"))
        try:
            lx.export_glsl("Fe", tier="alloy")
        except KeyError as e:
            print(e)
    """)
    assert out.stdout.splitlines() == [
        "{'density': 2} Resolved(tier='alloy', key='steel')",
        "\"'Fe' is 'Fe' of tier 'alloy', but an entry of tier 'atom' has the same key and would be read instead\""
    ], out.stderr


@pytest.mark.parametrize("call, error, message", [
    (lambda: lx.get(""), ValueError, "name must not be empty"),
    (lambda: lx.get(5), TypeError, "name must be a str, got int"),  # type: ignore[arg-type]
    (lambda: lx.get("Fe", tier="atoms"), ValueError, "tier must be one of subatomic, atom, ..."),
    (lambda: lx.get("{Fe=1001}"), ValueError, "formula count 1001 is above 1000"),
    (lambda: lx.sample("Fe", "", [(0, 0, 0)]), ValueError, "property must not be empty"),
    (lambda: lx.sample("Fe", "x", [(0, 0)]), ValueError, "points must have shape (..., 3), got (1, 2)"),
    (lambda: lx.sample("Fe", "x", [(0, 0, 0)], scale_m=math.nan), ValueError, "scale_m must be finite, got nan"),
    (lambda: lx.phase_map("Fe", STEEL_BOX, math.nan), ValueError, "voxel_size must be finite, got nan"),
    (lambda: lx.phase_map("Fe", STEEL_BOX, 0), ValueError, "voxel_size must be above zero, got 0.0"),
    (lambda: lx.phase_map("Fe", [(0, 0, 0)], 1), ValueError, "bounds must hold two corners, ..."),
    (lambda: lx.phase_map("Fe", [(0, 0, 0), (1, 1, math.inf)], 1), ValueError, "bounds[1] must be finite, got inf"),
    (lambda: lx.phase_map("Fe", STEEL_BOX, 1e-3, start=(0, -1, 0)), ValueError, "start must be three ints ..."),
    (lambda: lx.phase_map("Fe", STEEL_BOX, 1e-3, shape=(1, 0, 1)), ValueError, "shape must be three ints ..."),
    (lambda: lx.property_field("Fe", "x", STEEL_BOX, 1e-3, start=(9, 0, 0)), ValueError, "property_field: start ..."),
    (lambda: lx.backbone("", []), ValueError, "sequence must not be empty"),
    (lambda: lx.superpose([(0, 0, 0j)], [(0, 0, 0)]), TypeError, "a must hold real numbers, got dtype complex128"),
    (lambda: lx.bake_fft("Fe", "x", STEEL_BOX, (0, 1, 1)), ValueError, "grid_size must be three ints of at least 1..."),
    (lambda: lx.export_raw("Fe", "v.raw", STEEL_BOX, 1e-3, mode="occupany"), ValueError,  # type: ignore[arg-type]
     "mode must be 'phase' or 'occupancy', got 'occupany'"),
    (lambda: lx.export_vtk("Fe", "v.vtk", STEEL_BOX, 1e-3, [""]), ValueError, "properties[0] must not be empty"),
    (lambda: lx.export_stl("Fe", b"s.stl", STEEL_BOX, 1e-3), TypeError, "out_path must be a str or path-like, ..."),
])
def test_bad_arguments_are_named_before_the_core_can_panic(call, error, message):
    with pytest.raises(error) as info:
        call()
    text = info.value.args[0]
    assert text.startswith(message[:-3]) if message.endswith("...") else text == message


# ---------------------------------------------------------------- two spellings of get and sample


def test_get_and_sample_are_modules_and_functions():
    import lumivarex.get
    import lumivarex.sample
    from lumivarex import get, sample
    from lumivarex.get import Get, Save, list_tiers
    from lumivarex.sample import data_sheet

    assert get is lx.get is lumivarex.get and sample is lx.sample is sys.modules["lumivarex.sample"]
    assert get("iron") == Get("Fe") == get.Get("iron") and list_tiers() == core.py_list_tiers()
    assert callable(Save) and data_sheet("Fe") == get("Fe")
    # The module's own function is the scalar one; calling the module gives arrays.
    assert sample.sample("Fe", "Density_kg_m3") == 7874.0
    assert sample("Fe", "Density_kg_m3", np.zeros((2, 4, 3))).shape == (2, 4)
    assert str(__import__("inspect").signature(get)) == "(name: 'str', tier: 'Tier | None' = None) -> 'Json'"


# ---------------------------------------------------------------- arrays


def test_arrays_keep_their_shapes_and_are_writable():
    points = np.random.default_rng(3).uniform(0, 0.004, (2, 5, 3))
    values = lx.sample("carbon steel", "Density_kg_m3", points, 0.001)
    assert values.shape == (2, 5) and values.dtype == np.float64 and values.flags.writeable
    assert values.tolist() == [[core.py_sample("carbon steel", "Density_kg_m3", tuple(p), 0.001) for p in row]
                               for row in points.tolist()]
    half = lx.sample("carbon steel", "Density_kg_m3", points.astype(np.float16), 0.001)
    assert half.shape == (2, 5)
    pm = lx.phase_map("carbon steel", np.array(STEEL_BOX), 0.001, start=(1, 0, 1), shape=(1, 3, 2))
    whole = lx.phase_map("carbon steel", STEEL_BOX, 0.001)
    assert pm.phases.dtype == np.uint8 and np.array_equal(pm.phases, whole.phases[1:2, 0:3, 1:3])
    assert (pm.phase_names, pm.tier, pm.start, whole.start) == (["cementite", "ferrite"], "alloy", (1, 0, 1),
                                                                 (0, 0, 0))
    s = lx.surface("steel 1045" if False else "carbon steel", STEEL_BOX, 0.001)
    assert s.triangles.shape[1] == 3 and s.phases.shape == (len(s.triangles),) and s.key == "carbon steel"
    bb = lx.backbone("AAAA", np.array([(-57.0, -47.0)] * 4, dtype=np.float32))
    assert bb.shape == (12, 3) and bb.tolist() == [
        [a["x"], a["y"], a["z"]] for a in core.py_build_backbone("AAAA", [(-57.0, -47.0)] * 4)]
    fit = lx.superpose(bb, bb[::-1] + 1.0)
    assert np.allclose(fit.fitted, bb @ fit.rotation.T + fit.translation)
    assert fit.rmsd == core.py_kabsch_rmsd(bb, bb[::-1] + 1.0)


@settings(max_examples=40, deadline=None)
@given(st.tuples(*(st.integers(1, 9),) * 3), st.sampled_from([0.0, 0.01, 0.3, 1.0]),
       st.sampled_from([("carbon steel", 0.004), ("pearlite", 0.002), ("Fe", 0.004), ("carbon steel", 0.05)]))
def test_bake_fft_gives_the_coefficients_of_the_direct_sum(grid, threshold, entry):
    name, edge = entry
    box = ((0.0, -0.001, 0.0005), (edge, edge, edge))
    direct = core.py_bake_fourier(name, "Density_kg_m3", box, grid, threshold)
    fast = lx.bake_fft(name, "Density_kg_m3", box, grid, threshold)
    assert {k: v for k, v in fast.items() if k != "coefficients"} == {
        k: v for k, v in direct.items() if k != "coefficients"}
    # The documented tolerance: 1e-9 of the largest amplitude samples of this
    # size could give, twice their mean distance from base_value.
    samples, base, _ = core.py_bake_samples(name, "Density_kg_m3", box, grid)
    tol = 1e-9 * 2 * np.abs(np.asarray(samples) - base).mean()
    largest = max([c["amplitude"] for c in direct["coefficients"]], default=0.0)
    ours = {(c["n"], c["m"], c["l"]): c for c in fast["coefficients"]}
    theirs = {(c["n"], c["m"], c["l"]): c for c in direct["coefficients"]}
    # The same order; a coefficient within the tolerance of the cut-off may fall either way.
    assert [k for k in ours if k in theirs] == [k for k in theirs if k in ours]
    assert all(abs(c["amplitude"] - threshold * largest) <= 2 * tol for k, c in {**ours, **theirs}.items()
               if (k in ours) != (k in theirs))
    for k in ours.keys() & theirs.keys():
        a, b = (c["amplitude"] * np.exp(1j * c["phase"]) for c in (ours[k], theirs[k]))
        assert abs(a - b) <= tol


# ---------------------------------------------------------------- files


def test_exports_take_path_likes_and_make_every_folder(core, tmp_path):
    box = ((0.0, 0.0, 0.0), (0.002, 0.001, 0.001))
    out = tmp_path / "a" / "b"
    written = [
        lx.export_obj("AISI 1045", out / "obj" / "s.obj", box, 0.0005),
        lx.export_stl("AISI 1045", out / "stl" / "s.stl", box, 0.0005),
        lx.export_stl("AISI 1045", out / "astl" / "s.stl", box, 0.0005, binary=False),
        lx.export_vtk("AISI 1045", out / "vtk" / "s.vtk", box, 0.0005, ["Density_kg_m3"]),
        lx.export_raw("AISI 1045", out / "raw" / "s.raw", box, 0.0005, mode="occupancy"),
        lx.export_hlsl("AISI 1045", out / "hlsl" / "s.hlsl", ["Density_kg_m3"]),
    ]
    twins = tmp_path / "twins"
    twins.mkdir()
    expected = [
        core.py_export_obj("carbon steel", str(twins / "s.obj"), box, 0.0005),
        core.py_export_stl("carbon steel", str(twins / "s.stl"), box, 0.0005),
        core.py_export_stl("carbon steel", str(twins / "a.stl"), box, 0.0005, binary=False),
        core.py_export_vtk_legacy("carbon steel", str(twins / "s.vtk"), box, 0.0005, ["Density_kg_m3"]),
        core.py_export_sdf_raw("carbon steel", str(twins / "s.raw"), box, 0.0005, None, "occupancy"),
        core.py_export_hlsl("carbon steel", str(twins / "s.hlsl"), ["Density_kg_m3"]),
    ]
    assert written[0] == (str(out / "obj" / "s.obj"), str(out / "obj" / "s.mtl"))
    assert written[1:] == [str(out / d / f) for d, f in (("stl", "s.stl"), ("astl", "s.stl"), ("vtk", "s.vtk"),
                                                         ("raw", "s.raw"), ("hlsl", "s.hlsl"))]
    pairs = [(written[0][0], expected[0][0]), (written[0][1], expected[0][1])] + list(zip(written[1:], expected[1:]))
    pairs.append((str(out / "raw" / "s.json"), str(twins / "s.json")))
    for ours, theirs in pairs:
        assert Path(ours).read_bytes() == Path(theirs).read_bytes(), ours
    assert json.loads((out / "raw" / "s.json").read_text())["name"] == "carbon steel"


# ---------------------------------------------------------------- types


def test_a_user_script_type_checks(tmp_path):
    script = tmp_path / "user.py"
    script.write_text(textwrap.dedent("""
        from pathlib import Path

        import numpy as np
        import numpy.typing as npt

        import lumivarex as lx
        from lumivarex.get import Get

        where: lx.Resolved = lx.resolve("iron", "atom")
        keys: list[str] = lx.entries("alloy")
        props: dict[str, float] = lx.properties(where.key)
        values: npt.NDArray[np.float64] = lx.sample("iron", "Density_kg_m3", np.zeros((4, 3)))
        pm: lx.PhaseMap = lx.phase_map("iron", ((0, 0, 0), (0.01, 0.01, 0.01)), 0.001, shape=(1, 2, 3))
        surface = lx.surface("iron", np.zeros((2, 3)), 0.001)
        triangles: npt.NDArray[np.uint32] = surface.triangles
        fit = lx.superpose(lx.backbone("AA", [(-57.0, -47.0)] * 2), np.zeros((6, 3)))
        rmsd: float = fit.rmsd
        amplitude: float = lx.bake_fft("iron", "x", ((0, 0, 0), (1, 1, 1)), (4, 4, 4))["coefficients"][0]["amplitude"]
        obj, mtl = lx.export_obj("iron", Path("out/iron.obj"), ((0, 0, 0), (1, 1, 1)), 0.5)
        entry = lx.get("iron") or Get("Fe")
        lx.get("iron", tier="atoms")
        lx.sample("iron", "x", np.zeros(3), scale_m="1 mm")
    """))
    # An installed package is found (and typed, by its py.typed) as it is; a
    # source tree is named on MYPYPATH, which must not hold site-packages.
    env = dict(os.environ)
    if PYTHON_DIR.name != "site-packages":
        env["MYPYPATH"] = str(PYTHON_DIR)
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                           str(script)], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    errors = [line.split(": error: ")[1] for line in proc.stdout.splitlines() if ": error: " in line]
    assert len(errors) == 2 and 'Argument "tier" to "get"' in errors[0] and 'Argument "scale_m"' in errors[1], \
        proc.stdout + proc.stderr


def test_grid_places_a_block_where_the_exports_sample_it(tmp_path):
    """The grid of a phase map or property field block gives the box, the whole
    grid's counts and the block's voxel centres exactly as the exports compute them."""
    box, vs = ((-0.001, 0.0005, 0.0), (0.0042, 0.003, 0.0021)), 0.0007
    nx, ny, nz = core.py_voxel_counts(box, vs)
    pm = lx.phase_map("carbon steel", box, vs, start=(1, 2, 3), shape=(2, 1, 3))
    field = lx.property_field("carbon steel", "Density_kg_m3", box, vs, 0.001, start=(1, 2, 3), shape=(2, 1, 3))
    for g, scale in ((pm.grid, vs), (field.grid, 0.001)):
        assert (g.bounds, g.voxel_size, g.scale_m, g.counts) == (box, vs, scale, (nz, ny, nx))
        assert (g.start, g.shape) == ((1, 2, 3), (2, 1, 3))
        assert g.lower_corner() == (3 * vs + box[0][0], 2 * vs + box[0][1], 1 * vs + box[0][2])
        for a, (axis, first, n) in enumerate(zip("xyz", (3, 2, 1), (3, 1, 2))):
            assert g.centres(axis).tolist() == [(i + 0.5) * vs + box[0][a] for i in range(first, first + n)]
    assert (field.property, field.key, field.tier) == ("Density_kg_m3", "carbon steel", "alloy")
    # The values are the VTK file's at those voxels.
    vtk = tmp_path / "f.vtk"
    core.py_export_vtk_legacy("carbon steel", str(vtk), box, vs, ["Density_kg_m3"], 0.001)
    lines = vtk.read_text().splitlines()
    values = np.array([float(v) for v in lines[lines.index("SCALARS Density_kg_m3 float 1") + 2:]])
    whole = values.reshape(nz, ny, nx)
    assert np.allclose(field.values, whole[1:3, 2:3, 3:6], rtol=0, atol=5e-7)  # six decimals in the file
