"""One sampling decision, three ways in: a single py_sample, the property field
of a VTK export and the samples of a Fourier bake must take the same step for
the same entry and scale, and fail with the same message when every sample
fails."""

from __future__ import annotations

from conftest import CoreError

# Entries whose point pick can never succeed, with the message it fails with.
# Each also has a top-level density, which the average falls back to.
UNPICKABLE = {
    "nofractions": ({"phase_model": "voronoi", "density": 7},
                    "voronoi sample: entry missing 'phase_volume_fractions' object"),
    "empty": ({"phase_model": "voronoi", "phase_volume_fractions": {}, "density": 7},
              "voronoi sample: phase_volume_fractions is empty"),
    "strings": ({"phase_model": "voronoi", "phase_volume_fractions": {"a": "x"}, "density": 7},
                "voronoi sample: no numeric phase fractions"),
    "zero": ({"phase_model": "voronoi", "phase_volume_fractions": {"a": 0, "b": -0.0}, "density": 7,
              "phase_properties": {"a": {"density": 1}, "b": {"density": 2}}},
             "voronoi sample: total phase volume must be > 0"),
}

FINE = ((0.0, 0.0, 0.0), (0.01, 0.01, 0.01))  # 5 mm voxels and grid cells: a pick at every point
COARSE = ((0.0, 0.0, 0.0), (0.04, 0.04, 0.04))  # 20 mm: the average


def test_every_way_in_fails_alike_where_no_pick_can_succeed(make_package, tmp_path):
    pkg = make_package({f"alloy/{name}.json": doc for name, (doc, _) in UNPICKABLE.items()})
    exprs = []
    for name in UNPICKABLE:
        exprs += [
            f"core.py_sample({name!r}, 'density', (0.0025, 0.0025, 0.0025))",
            f"core.py_export_vtk_legacy({name!r}, {str(tmp_path / name) + '.vtk'!r}, {FINE!r}, 0.005, ['density'])",
            f"core.py_bake_fourier({name!r}, 'density', {FINE!r}, (2, 2, 2))",
            f"core.py_sample({name!r}, 'density')",
            f"core.py_sample({name!r}, 'density', (0.0025, 0.0025, 0.0025), 0.02)",
            f"core.py_bake_fourier({name!r}, 'density', {COARSE!r}, (2, 2, 2))['base_value']",
        ]
    got = pkg.eval_all(exprs)
    for i, (name, (_, message)) in enumerate(UNPICKABLE.items()):
        point, vtk, bake, no_point, coarse, coarse_bake = got[6 * i:6 * i + 6]
        for e, kind in ((point, "KeyError"), (vtk, "RuntimeError"), (bake, "ValueError")):
            assert isinstance(e, CoreError) and (e.name, e.arg) == (kind, message), (name, e)
        # without a point, or at coarse scale, the average falls back to the top-level value
        assert (no_point, coarse, coarse_bake) == (7.0, 7.0, 7.0), name


def test_every_way_in_gives_the_same_values(make_package, tmp_path):
    entries = {
        "duplex": {"phase_model": "voronoi", "phase_volume_fractions": {"a": 1, "b": 3},
                   "phase_properties": {"a": {"density": 1000}, "b": {"density": 5000.5}}},
        "plain": {"density": 7850, "phase_model": "homogeneous"},
    }
    pkg = make_package({f"alloy/{name}.json": doc for name, doc in entries.items()})
    box = ((0.0, 0.0, 0.0), (0.02, 0.01, 0.01))
    centres = [((i + 0.5) * 0.0025, (j + 0.5) * 0.0025, (k + 0.5) * 0.0025)
               for k in range(4) for j in range(4) for i in range(8)]  # x fastest, as in the file
    distinct = {}
    for name in entries:
        vtk = tmp_path / f"{name}.vtk"
        singles, _, bake = pkg.eval_all([
            f"[core.py_sample({name!r}, 'density', p, 0.0025) for p in {centres!r}]",
            f"core.py_export_vtk_legacy({name!r}, {str(vtk)!r}, {box!r}, 0.0025, ['density'])",
            f"core.py_bake_fourier({name!r}, 'density', {box!r}, (8, 4, 4), 0)['base_value']",
        ])
        field = vtk.read_text().split("SCALARS density float 1\nLOOKUP_TABLE default\n")[1].split()
        assert field == [f"{v:.6f}" for v in singles], name
        assert abs(bake - sum(singles) / len(singles)) <= 1e-9 * abs(bake), name
        distinct[name] = len(set(singles))
    assert distinct == {"duplex": 2, "plain": 1}  # the picks really vary from cell to cell
