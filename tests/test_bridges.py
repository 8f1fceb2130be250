"""Results handed to the libraries people already use, judged by those
libraries: meshes by trimesh and meshio, volumes by pyvista and xarray,
structures by gemmi and Biopython."""

from __future__ import annotations

import json
import math
import subprocess
import sys
import textwrap
from pathlib import Path

import gemmi
import meshio
import numpy as np
import pytest
import pyvista
import trimesh
from Bio.PDB import MMCIFParser, PDBParser, PPBuilder, Superimposer
from Bio.SVDSuperimposer import SVDSuperimposer
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import lumivarex as lx
from lumivarex import core
from lumivarex._mesh import phase_surface

PACKAGE = Path(lx.__file__).resolve().parent
STEEL = "carbon steel"


def api_package(make_package, files):
    """A throw-away package with the whole Python API over its own datasheets."""
    pkg = make_package(files)
    for source in PACKAGE.glob("*.py"):
        (pkg.pkg / source.name).write_text(source.read_text())
    return pkg


def run_json(pkg, code: str):
    proc = pkg.run(code)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


# ---------------------------------------------------------------- meshes


def test_each_phase_of_a_three_phase_box_is_a_closed_volume(make_package, tmp_path):
    """One phase per voxel, drawn at random: voxels of a phase touch along
    edges and at corners everywhere, and every phase is still one watertight,
    consistently outward-wound volume of exactly its voxels."""
    pkg = api_package(make_package, {"alloy/trio.json": {"phase_volume_fractions": {"a": 1, "b": 1, "c": 1}}})
    got = run_json(pkg, f"""
        import json, meshio, numpy as np, trimesh
        import lumivarex as lx
        box, vs = ((-0.0013, 0.0002, 0.001), (0.0017, 0.0024, 0.0030)), 0.00025
        s = lx.surface("trio", box, vs)
        pm = lx.phase_map("trio", box, vs)
        report = {{"names": s.phase_names, "counts": list(s.grid.counts), "phases": []}}
        for i, name in enumerate(s.phase_names):
            part = s.phase(name)
            mesh = part.to_trimesh()
            report["phases"].append({{
                "judged": [mesh.is_watertight, mesh.is_winding_consistent, mesh.is_volume],
                "volume": mesh.volume, "voxels": int((pm.phases == i).sum()),
                "owner": sorted(set(mesh.face_attributes["phase"].tolist())),
                "bodies": len(mesh.split(only_watertight=False)),
                "same": [part.phase_names == s.phase_names, part.grid == s.grid, part.phases.dtype == s.phases.dtype],
            }})
        try:
            s.phase("d")
        except KeyError as e:
            report["unknown"] = e.args[0]
        whole = s.to_trimesh()
        report["whole"] = [whole.faces.tolist() == s.triangles.tolist(),
                           whole.face_attributes["phase"].tolist() == s.phases.tolist(), whole.metadata]
        meshio.write({str(tmp_path / "s.vtu")!r}, s.to_meshio())
        back = meshio.read({str(tmp_path / "s.vtu")!r})
        report["meshio"] = [back.cell_data["phase"][0].tolist() == s.phases.tolist(),
                            back.cells[0].data.tolist() == s.triangles.tolist(), np.array_equal(back.points, s.vertices)]
        print(json.dumps(report))
    """)
    assert got["names"] == ["a", "b", "c"] and got["counts"] == [8, 9, 12]
    vs3 = 0.00025 ** 3
    assert sum(p["voxels"] for p in got["phases"]) == 8 * 9 * 12
    for i, part in enumerate(got["phases"]):
        assert part["judged"] == [True, True, True]
        assert part["volume"] == pytest.approx(part["voxels"] * vs3, rel=1e-12)
        assert part["owner"] == [i] and part["bodies"] > 1  # random voxels: many separate grains
        assert part["same"] == [True, True, True]
    assert got["unknown"] == "no phase 'd'; the phases are 'a', 'b', 'c'"
    assert got["whole"] == [True, True, {"name": "trio", "tier": "alloy", "phase_names": ["a", "b", "c"],
                                         "units": "m"}]
    assert got["meshio"] == [True, True, True]


def checkerboard(n: int) -> np.ndarray:
    return (np.indices((n, n, n)).sum(axis=0) % 2).astype(np.uint8)


@settings(max_examples=150, deadline=None)
@given(st.one_of(
    hnp.arrays(np.uint8, hnp.array_shapes(min_dims=3, max_dims=3, min_side=1, max_side=5), elements=st.integers(0, 2)),
    st.integers(1, 4).map(checkerboard)))
def test_phase_surfaces_are_closed_for_any_arrangement(phases):
    lines = tuple(np.arange(n + 1) * 0.5 - 1.0 for n in reversed(phases.shape))
    for index in range(3):
        vertices, triangles, normals = phase_surface(phases, index, lines)
        voxels = int((phases == index).sum())
        if voxels == 0:
            assert len(triangles) == 0
            continue
        mesh = trimesh.Trimesh(vertices, triangles, process=False)
        assert mesh.is_watertight and mesh.is_winding_consistent and mesh.is_volume
        assert mesh.volume == pytest.approx(voxels * 0.125, rel=1e-12)
        # The normals are the winding's, and every vertex lies on a voxel face.
        e1, e2 = (vertices[triangles[:, k]] - vertices[triangles[:, 0]] for k in (1, 2))
        assert np.allclose(np.cross(e1, e2) / np.linalg.norm(np.cross(e1, e2), axis=1)[:, None], normals)
        halves = (vertices + 1.0) / 0.25
        assert np.array_equal(halves, np.round(halves)) and (np.isclose(halves % 2, 0).sum(axis=1) >= 1).all()


# ---------------------------------------------------------------- volumes


def test_images_cover_the_voxel_box_and_hold_the_sampled_values(tmp_path):
    # The box ends inside a voxel along x and z: the image spans whole voxels.
    box, vs, scale = ((-0.001, 0.0005, 0.0), (0.0021, 0.003, 0.0022)), 0.0005, 0.001
    nx, ny, nz = core.py_voxel_counts(box, vs)
    field = lx.property_field(STEEL, "Density_kg_m3", box, vs, scale)
    image = field.to_pyvista()
    assert isinstance(image, pyvista.ImageData) and image.n_cells == nx * ny * nz == field.values.size
    assert image.dimensions == (nx + 1, ny + 1, nz + 1)
    assert np.allclose(image.bounds, [v for a, n in enumerate((nx, ny, nz)) for v in (box[0][a],
                                                                                  box[0][a] + n * vs)],
                       rtol=0, atol=1e-15)
    for z, y, x in ((0, 0, 0), (nz - 1, 2, nx - 1), (3, ny - 1, 4)):
        centre = (field.grid.centres("x")[x], field.grid.centres("y")[y], field.grid.centres("z")[z])
        cell = image.find_containing_cell(centre)  # pyvista's own location of the voxel
        assert image.cell_data["Density_kg_m3"][cell] == core.py_sample(STEEL, "Density_kg_m3", centre, scale)
    image.save(tmp_path / "f.vti")
    back = pyvista.read(tmp_path / "f.vti")
    assert np.array_equal(back.cell_data["Density_kg_m3"], field.values.ravel()) and back.bounds == image.bounds
    assert list(back.field_data["entry"]) == [STEEL] and back.field_data["voxel_size_m"][0] == vs

    # A block sits at its own lower corner and holds the map's phases.
    pm = lx.phase_map(STEEL, box, vs, scale, start=(1, 2, 3), shape=(2, 3, 4))
    block = pm.to_pyvista()
    assert block.origin == pytest.approx(pm.grid.lower_corner(), abs=1e-18) and block.n_cells == 24
    whole = lx.phase_map(STEEL, box, vs, scale).phases
    for z, y, x in ((0, 0, 0), (1, 2, 3)):
        cell = block.find_containing_cell((pm.grid.centres("x")[x], pm.grid.centres("y")[y],
                                           pm.grid.centres("z")[z]))
        assert block.cell_data["phase"][cell] == whole[1 + z, 2 + y, 3 + x]
    assert list(block.field_data["phase_names"]) == ["cementite", "ferrite"]


def test_data_arrays_are_placed_at_the_voxel_centres():
    box, vs = ((0.0, -0.001, 0.0005), (0.002, 0.0012, 0.0021)), 0.0004
    field = lx.property_field(STEEL, "Density_kg_m3", box, vs, 0.0008, start=(1, 0, 2), shape=(3, 4, 2))
    da = field.to_xarray()
    assert da.dims == ("z", "y", "x") and da.name == "Density_kg_m3" and np.array_equal(da.values, field.values)
    for axis in "xyz":
        assert np.array_equal(da[axis].values, field.grid.centres(axis)) and da[axis].attrs["units"] == "m"
    point = (float(da.x[1]), float(da.y[3]), float(da.z[0]))
    assert float(da.sel(x=point[0], y=point[1], z=point[2])) == core.py_sample(STEEL, "Density_kg_m3", point, 0.0008)
    assert da.attrs == {"entry": STEEL, "tier": "alloy", "property": "Density_kg_m3",
                        "bounds_m": [0.0, -0.001, 0.0005, 0.002, 0.0012, 0.0021], "voxel_size_m": vs,
                        "scale_m": 0.0008, "counts_zyx": [4, 6, 5], "start_zyx": [1, 0, 2]}
    phases = lx.phase_map(STEEL, box, vs).to_xarray()
    assert phases.name == "phase" and phases.attrs["phase_names"] == ["cementite", "ferrite"]
    assert phases.dtype == np.uint8


# ---------------------------------------------------------------- structures


def dihedral(p0, p1, p2, p3):
    b1, b2, b3 = p1 - p0, p2 - p1, p3 - p2
    n1, n2 = np.cross(b1, b2), np.cross(b2, b3)
    return np.degrees(np.arctan2(np.einsum("ij,ij->i", np.cross(n1, n2), b2 / np.linalg.norm(b2, axis=1)[:, None]),
                                 np.einsum("ij,ij->i", n1, n2)))


def angle_between(a, b):
    return (a - b + 180.0) % 360.0 - 180.0


def gemmi_phi_psi(structure):
    chain = structure[0][0]
    out = []
    for i in range(len(chain)):
        prev = chain[i - 1] if i > 0 else None
        after = chain[i + 1] if i + 1 < len(chain) else None
        out.append([math.degrees(v) for v in gemmi.calculate_phi_psi(prev, chain[i], after)])
    return np.array(out)


def biopython_phi_psi(structure):
    [polypeptide] = PPBuilder().build_peptides(structure, aa_only=False)
    return np.array([[math.degrees(v) if v is not None else math.nan for v in pair]
                     for pair in polypeptide.get_phi_psi_list()])


@pytest.fixture(scope="module")
def chain_angles():
    rng = np.random.default_rng(15)
    return rng.uniform(-180, 180, (30, 2))


@pytest.mark.filterwarnings("ignore:Assuming residue UNK is an unknown modified amino acid")
def test_the_readers_own_angles_are_the_requested_ones(chain_angles, tmp_path):
    sequence = "MKTAYIAKQRQISFVKSHFSRQLEERLGLX"
    chain = lx.peptide(sequence, chain_angles, name="random coil")
    inner = chain_angles[1:-1]
    written = {fmt: Path(chain.write(tmp_path / f"c.{fmt}")) for fmt in ("pdb", "cif")}
    # gemmi: its structure in memory and its reading of both files. PDB has
    # three decimals in ångström, whose rounding alone moves an angle by up to
    # about 0.2 degrees (0.12 measured over 4000 angles); mmCIF carries six.
    for structure, tol in ((chain.to_gemmi(), 1e-9), (gemmi.read_structure(str(written["cif"])), 1e-3),
                           (gemmi.read_structure(str(written["pdb"])), 0.25)):
        angles = gemmi_phi_psi(structure)
        assert np.abs(angle_between(angles[1:-1], inner)).max() < tol
        assert np.abs(angle_between(angles[0, 1], chain_angles[0, 1])) < tol  # psi of the first residue
        assert [r.name for r in structure[0][0]] == chain.residue_names
        assert [(r.seqid.num, structure[0][0].name) for r in structure[0][0]][::29] == [(1, "A"), (30, "A")]
    # Biopython: its structure in memory and its readers of both files.
    for structure, tol in ((chain.to_biopython(), 1e-9),
                           (MMCIFParser(QUIET=True).get_structure("c", written["cif"]), 1e-3),
                           (PDBParser(QUIET=True).get_structure("c", written["pdb"]), 0.25)):
        angles = biopython_phi_psi(structure)
        assert np.abs(angle_between(angles[1:-1], inner)).max() < tol
        residues = list(structure.get_residues())
        assert [r.get_resname() for r in residues][-2:] == ["LEU", "UNK"] and residues[0].id[1] == 1
        assert [a.get_id() for a in residues[0]] == ["N", "CA", "C", "O"]
    assert chain.residue_names[:4] == ["MET", "LYS", "THR", "ALA"] and chain.name == "random coil"
    assert gemmi.read_structure(str(written["cif"])).name == "random_coil"


def test_carbonyl_oxygen_lies_in_the_peptide_plane(chain_angles):
    chain = lx.peptide("A" * len(chain_angles), chain_angles)
    xyz = chain.coordinates.reshape(-1, 4, 3)
    n, ca, c, o = (xyz[:, k] for k in range(4))
    assert np.array_equal(xyz[:, :3].reshape(-1, 3), lx.backbone("A" * len(chain_angles), chain_angles))
    assert np.allclose(np.linalg.norm(o - c, axis=1), 1.231, rtol=0, atol=1e-12)
    cos = np.einsum("ij,ij->i", ca - c, o - c) / (np.linalg.norm(ca - c, axis=1) * 1.231)
    assert np.allclose(np.degrees(np.arccos(cos)), 120.5, rtol=0, atol=1e-9)
    # In the plane of CA, C and the next N, on the other side of CA-C from that N ...
    assert np.allclose(np.abs(dihedral(n[1:], ca[:-1], c[:-1], o[:-1])), 180.0, rtol=0, atol=1e-9)
    # ... and the last O where the next N would make it trans: psi + 180.
    assert abs(angle_between(dihedral(n[-1:], ca[-1:], c[-1:], o[-1:])[0], chain_angles[-1, 1] + 180)) < 1e-9
    names = lx.peptide("ACDEFGHIKLMNPQRSTVWYUOXBZacj", [(0, 0)] * 28).residue_names
    assert names == ["ALA", "CYS", "ASP", "GLU", "PHE", "GLY", "HIS", "ILE", "LYS", "LEU", "MET", "ASN", "PRO",
                     "GLN", "ARG", "SER", "THR", "VAL", "TRP", "TYR", "SEC", "PYL", "UNK", "UNK", "UNK", "ALA",
                     "CYS", "UNK"]


def test_a_ten_thousand_residue_chain_writes_and_reads_back(tmp_path):
    angles = np.random.default_rng(10_000).uniform(-180, 180, (10_000, 2))
    chain = lx.peptide("ACDEFGHIKLMNPQRSTVWY" * 500, angles)
    pdb, cif = Path(chain.write(tmp_path / "long.pdb")), Path(chain.write(tmp_path / "long.cif"))
    for path, tol in ((pdb, 6e-4), (cif, 6e-7)):
        structure = gemmi.read_structure(str(path))
        [read] = structure[0]
        assert len(read) == 10_000 and read[9_999].seqid.num == 10_000 and read[9_999].name == "TYR"
        xyz = np.array([a.pos.tolist() for r in read for a in r])
        assert np.abs(xyz - chain.coordinates).max() < tol
    # Biopython's PDB reader knows no hybrid-36 residue numbers (gemmi writes
    # 10000 as A000): it reads the mmCIF file.
    assert len(list(MMCIFParser(QUIET=True).get_structure("l", cif).get_atoms())) == 40_000


def test_structures_from_entries_and_what_cannot_be_written(make_package, tmp_path):
    chain = lx.peptide_from_entry("trp-cage")
    atoms = core.py_build_backbone_from_entry("trp-cage")
    assert np.array_equal(chain.coordinates.reshape(-1, 4, 3)[:, :3].reshape(-1, 3),
                          [(a["x"], a["y"], a["z"]) for a in atoms])
    assert chain.sequence == "NLYIQWLKDGGPSSGRPPPS" and chain.name == "trp-cage"
    assert chain.residue_names[:6] == ["ASN", "LEU", "TYR", "ILE", "GLN", "TRP"]
    pkg = api_package(make_package, {"protein/odd.json": {"residues": [
        {"residue": "Trp", "phi": -60, "psi": -40}, {"residue": "g", "psi": True}, {"residue": 5, "psi": 120},
        "X", {"residue": ""}]}})
    got = run_json(pkg, """
        import json, lumivarex as lx
        p = lx.peptide_from_entry("odd")
        print(json.dumps([p.sequence, p.residue_names, p.coordinates.tolist()]))
    """)
    assert got[:2] == ["WgXXX", ["TRP", "GLY", "UNK", "UNK", "UNK"]]
    xyz = np.array(got[2]).reshape(-1, 4, 3)
    psi = [-40, 0, 120, 0, 0]  # the core's rule: a value that is no number counts as 0
    assert np.allclose(angle_between(dihedral(*(xyz[:, k] for k in range(4))), np.add(psi, 180)), 0, atol=1e-9)

    broken = lx.peptide("AAA", [(-57, -47), (math.nan, 0), (0, 0)])
    for fmt in ("pdb", "cif"):
        with pytest.raises(ValueError, match=f"cannot write {'PDB' if fmt == 'pdb' else 'mmCIF'}: atom 7 has a "
                                             "coordinate that is not finite"):
            broken.write(tmp_path / f"b.{fmt}")
    far = chain._replace(coordinates=chain.coordinates + 1e8)
    with pytest.raises(ValueError, match="do not fit its columns; write mmCIF"):
        far.to_pdb()
    assert gemmi.read_structure(far.write(tmp_path / "far" / "far.cif")).calculate_box().get_size().x < 1e8
    with pytest.raises(ValueError, match="cannot tell the format from"):
        chain.write(tmp_path / "c.txt")
    assert chain.write(tmp_path / "c.txt", format="pdb").endswith("c.txt")


# ---------------------------------------------------------------- superposition


def test_superposition_is_svd_superimposers(chain_angles):
    rng = np.random.default_rng(7)
    for n in (3, 10, 90):
        a, b = rng.normal(size=(n, 3)) * 5, rng.normal(size=(n, 3)) * 5 + 3
        fit = lx.superpose(a, b)
        sup = SVDSuperimposer()
        sup.set(b, a)  # reference, then the coordinates it moves
        sup.run()
        rot, tran = sup.get_rotran()
        assert np.abs(fit.rotation - rot.T).max() < 1e-9 and np.abs(fit.translation - tran).max() < 1e-9
        assert abs(fit.rmsd - sup.get_rms()) < 1e-9


def test_structures_are_superposed_by_atom_name(chain_angles):
    a = lx.peptide("A" * 30, chain_angles)
    b = lx.peptide("G" * 30, chain_angles[::-1])
    ga, gb = a.to_gemmi(), b.to_gemmi()
    ba, bb = a.to_biopython(), b.to_biopython()
    ca_a, ca_b = a.coordinates[1::4], b.coordinates[1::4]
    expected = lx.superpose(ca_a, ca_b)
    # Biopython's and gemmi's own fits of the CA atoms.
    sup = Superimposer()
    sup.set_atoms([x for x in bb.get_atoms() if x.get_id() == "CA"], [x for x in ba.get_atoms() if x.get_id() == "CA"])
    rot, tran = sup.rotran
    theirs = gemmi.superpose_positions([r["CA"][0].pos for r in gb[0][0]], [r["CA"][0].pos for r in ga[0][0]])
    for x, y in ((a, b), (ga, gb), (ba, bb), (ga, bb), (a, gb)):
        fit = lx.superpose(x, y, atoms="CA")
        assert abs(fit.rmsd - expected.rmsd) < 1e-9 and np.abs(fit.fitted - expected.fitted).max() < 1e-9
        assert abs(fit.rmsd - sup.rms) < 1e-9 and abs(fit.rmsd - theirs.rmsd) < 1e-9
        assert np.abs(fit.rotation - rot.T).max() < 1e-9 and np.abs(fit.translation - tran).max() < 1e-9
    assert np.abs(np.array(theirs.transform.mat.tolist()) - expected.rotation).max() < 1e-9
    # Backbone rows name their atoms with a repeating cycle.
    bb_a, bb_b = lx.backbone("A" * 30, chain_angles), lx.backbone("A" * 30, chain_angles[::-1])
    assert lx.superpose(bb_a, bb_b, atoms="CA", names=("N", "CA", "C")).rmsd == expected.rmsd
    both = lx.superpose(a, b, atoms=("N", "CA", "C"))
    assert both.rmsd == lx.superpose(bb_a, bb_b).rmsd

    # The moved copies: every atom, every model; the originals stay.
    fit = lx.superpose(ga, gb, atoms="CA")
    moved = fit.apply(ga)
    assert np.allclose([r["CA"][0].pos.tolist() for r in moved[0][0]], fit.fitted, rtol=0, atol=1e-9)
    assert np.allclose([at.pos.tolist() for r in moved[0][0] for at in r], a.coordinates @ fit.rotation.T
                       + fit.translation, rtol=0, atol=1e-9)
    assert ga[0][0][0]["N"][0].pos.tolist() == [0.0, 0.0, 0.0]
    moved_bio = fit.apply(ba)
    assert np.allclose([x.coord for x in moved_bio.get_atoms()], fit.apply(a).coordinates, rtol=0, atol=1e-4)
    assert list(ba.get_atoms())[0].coord.tolist() == [0.0, 0.0, 0.0]
    assert np.allclose(fit.apply(a.coordinates[:5]), fit.apply(a).coordinates[:5])


def test_superposition_refuses_what_it_cannot_pair(chain_angles):
    a = lx.peptide("A" * 30, chain_angles)
    bb = lx.backbone("A" * 30, chain_angles)
    cases = [
        (lambda: lx.superpose(bb, bb, atoms="CA"), TypeError, "atoms selects by name, but a is an array without"),
        (lambda: lx.superpose(a, bb, names=("N", "CA", "C", "O")), ValueError, "names must name each of the 90 rows of b"),
        (lambda: lx.superpose(a, bb, names=("N", "CA", "C")), ValueError, "a has 120 atoms to superpose and b has 90"),
        (lambda: lx.superpose(a, a.coordinates, names=("CA", "N", "C", "O")), ValueError,
         "atom 1 to superpose is N of residue 1 in a but row 0 (CA) in b"),
        (lambda: lx.superpose(a.to_gemmi(), a.to_biopython()[0]["A"], atoms=["CA", "O"])[0], None, None),
        (lambda: lx.superpose(a.to_gemmi()[0][0][0], a.to_gemmi()[0][0][1], atoms="O").rmsd, None, None),
    ]
    for call, error, message in cases:
        if error is None:
            assert call() == pytest.approx(0.0, abs=1e-9)
            continue
        with pytest.raises(error) as info:
            call()
        assert str(info.value).startswith(message), str(info.value)


# ---------------------------------------------------------------- extras


def test_missing_libraries_name_the_extra_to_install(tmp_path):
    """Each bridge, with its library made unimportable in a fresh interpreter."""
    script = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {str(PACKAGE.parent)!r})
        for blocked in ("trimesh", "meshio", "pyvista", "xarray", "gemmi", "Bio"):
            sys.modules[blocked] = None
        import lumivarex as lx
        box = ((0, 0, 0), (0.001, 0.001, 0.001))
        s, pm = lx.surface("Fe", box, 0.0005), lx.phase_map("Fe", box, 0.0005)
        f, p = lx.property_field("Fe", "Density_kg_m3", box, 0.0005), lx.peptide("AA", [(0, 0)] * 2)
        for call in (s.to_trimesh, s.to_meshio, pm.to_pyvista, f.to_xarray, p.to_gemmi, p.to_biopython,
                     p.to_cif, lambda: lx.superpose(p.to_gemmi(), p)):
            try:
                call()
            except ImportError as e:
                print(e)
    """)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert proc.stdout.splitlines() == [
        "Surface.to_trimesh needs trimesh, which is not installed: pip install 'lumivarex[mesh]'",
        "Surface.to_meshio needs meshio, which is not installed: pip install 'lumivarex[mesh]'",
        "PhaseMap.to_pyvista needs pyvista, which is not installed: pip install 'lumivarex[viz]'",
        "PropertyField.to_xarray needs xarray, which is not installed: pip install 'lumivarex[xarray]'",
        "Peptide.to_gemmi needs gemmi, which is not installed: pip install 'lumivarex[structure]'",
        "Peptide.to_biopython needs biopython, which is not installed: pip install 'lumivarex[structure]'",
        "Peptide.to_cif needs gemmi, which is not installed: pip install 'lumivarex[structure]'",
        "Peptide.to_gemmi needs gemmi, which is not installed: pip install 'lumivarex[structure]'",
    ], proc.stderr


# ---------------------------------------------------------------- units of mesh files


@pytest.mark.parametrize("units, factor", [("mm", 1e3), ("um", 1e6)])
def test_mesh_files_in_other_units_differ_only_by_the_factor(tmp_path, units, factor):
    import struct

    box, vs = ((-0.0013, 0.0004, 0.0), (0.0021, 0.0031, 0.0022)), 0.0005
    vertices, triangles, _, normals, _ = core.py_surface_arrays(STEEL, box, vs, 0.0007)
    vertices, triangles, normals = np.asarray(vertices), np.asarray(triangles), np.asarray(normals)
    files = {}
    for u in ("m", units):
        folder = tmp_path / u
        files[u] = (Path(lx.export_stl(STEEL, folder / "s.stl", box, vs, 0.0007, units=u)).read_bytes(),
                    Path(lx.export_stl(STEEL, folder / "a.stl", box, vs, 0.0007, False, units=u)).read_text(),
                    *(Path(f).read_text() for f in lx.export_obj(STEEL, folder / "s.obj", box, vs, 0.0007, units=u)))
    # Metres are what the core writes.
    core.py_export_stl(STEEL, str(tmp_path / "core.stl"), box, vs, 0.0007)
    assert files["m"][0] == (tmp_path / "core.stl").read_bytes()

    scaled = vertices * factor  # the grid-line coordinates times the factor
    (m_bin, m_ascii, m_obj, m_mtl), (u_bin, u_ascii, u_obj, u_mtl) = files["m"], files[units]
    # Binary STL: the same header, count and normals; float32 of the scaled coordinates.
    records = b"".join(struct.pack("<12fH", *n, *scaled[t].ravel(), 0) for n, t in zip(normals, triangles))
    assert u_bin[:84] == m_bin[:84] and u_bin[84:] == records
    # ASCII STL and OBJ: every line but the coordinates' is the same, and those
    # are the scaled coordinates to six decimals.
    text = iter(" ".join("%.6f" % c for c in scaled[i]) for i in triangles.ravel())
    assert u_ascii.splitlines() == [f"\t  vertex {next(text)}" if line.startswith("\t  vertex") else line
                                    for line in m_ascii.splitlines()]
    text = iter(" ".join("%.6f" % c for c in v) for v in scaled)
    assert u_obj.splitlines() == [f"v {next(text)}" if line.startswith("v ") else line
                                  for line in m_obj.splitlines()]
    assert u_mtl == m_mtl


def test_units_are_checked(tmp_path):
    with pytest.raises(ValueError, match="units must be one of 'm', 'mm', 'um', got 'cm'"):
        lx.export_stl("Fe", tmp_path / "x.stl", ((0, 0, 0), (1, 1, 1)), 0.5, units="cm")  # type: ignore[arg-type]
    for factor in (0.0, -1.0, math.inf, math.nan):
        with pytest.raises(RuntimeError, match="^export_obj: units_per_m must be a finite number above zero$"):
            core.py_export_obj_units("Fe", str(tmp_path / "x.obj"), ((0, 0, 0), (1, 1, 1)), 0.5, None, factor)
        with pytest.raises(RuntimeError, match="^export_stl: units_per_m must be a finite number above zero$"):
            core.py_export_stl_units("Fe", str(tmp_path / "x.stl"), ((0, 0, 0), (1, 1, 1)), 0.5, None, True, factor)
    assert not list(tmp_path.iterdir())
