"""Backbone builder and Ramachandran regions."""

from __future__ import annotations

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import expect_errors

BONDS = {("N", "CA"): 1.458, ("CA", "C"): 1.525, ("C", "N"): 1.329}
ANGLES = {("N", "CA", "C"): 111.2, ("CA", "C", "N"): 116.2, ("C", "N", "CA"): 121.7}
C0 = (2.0094774693751907, 1.421793796853656, 0.0)

angle = st.floats(-360.0, 360.0, allow_nan=False)
chains = st.lists(st.tuples(angle, angle), min_size=1, max_size=40)


def xyz(atom):
    return np.array([atom["x"], atom["y"], atom["z"]])


def dihedral(a, b, c, d):
    b1, b2, b3 = b - a, c - b, d - c
    n1, n2 = np.cross(b1, b2), np.cross(b2, b3)
    return math.degrees(math.atan2(np.dot(np.cross(n1, n2), b2) / np.linalg.norm(b2), np.dot(n1, n2)))


def angle_between(a, b, c):
    u, v = a - b, c - b
    return math.degrees(math.acos(np.dot(u, v) / (np.linalg.norm(u) * np.linalg.norm(v))))


def wrapped_diff(x, y):
    return (x - y + 180.0) % 360.0 - 180.0


def reference_nerf(pairs):
    """The placement written out in plain Python, operation by operation."""
    rad = 0.017453292519943295

    def unit(v):
        n = math.sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2])
        return [0.0, 0.0, 0.0] if n == 0.0 else [v[0] / n, v[1] / n, v[2] / n]

    def cross(a, b):
        return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]

    def place(a, b, c, r, theta, tau):
        bc = unit([c[k] - b[k] for k in range(3)])
        nv = unit(cross([b[k] - a[k] for k in range(3)], bc))
        mv = cross(nv, bc)
        ax, rs = -r * math.cos(theta * rad), r * math.sin(theta * rad)
        cm, cn = rs * math.cos(tau), rs * math.sin(tau)
        return [c[k] + ax * bc[k] + cm * mv[k] + cn * nv[k] for k in range(3)]

    n, ca, c = [0.0, 0.0, 0.0], [1.458, 0.0, 0.0], list(C0)
    out = [n, ca, c]
    for i in range(1, len(pairs)):
        n = place(n, ca, c, 1.329, 116.2, pairs[i - 1][1] * rad)
        ca = place(ca, c, n, 1.458, 121.7, 180.0 * rad)
        c = place(c, n, ca, 1.525, 111.2, pairs[i][0] * rad)
        out += [n, ca, c]
    return out


@settings(max_examples=60, deadline=None)
@given(chains)
def test_random_chains_reproduce_geometry_and_angles(core, pairs):
    atoms = core.py_build_backbone("A" * len(pairs), pairs)
    assert len(atoms) == 3 * len(pairs)
    assert [a["name"] for a in atoms] == ["N", "CA", "C"] * len(pairs)
    assert [a["res_idx"] for a in atoms] == [i // 3 for i in range(len(atoms))]
    # The exact placement order: bit-identical to the reference.
    assert [[a["x"], a["y"], a["z"]] for a in atoms] == reference_nerf(pairs)

    pts = [xyz(a) for a in atoms]
    names = [a["name"] for a in atoms]
    for i in range(len(pts) - 1):
        assert np.linalg.norm(pts[i + 1] - pts[i]) == pytest.approx(BONDS[names[i], names[i + 1]], abs=1e-9)
    for i in range(len(pts) - 2):
        assert angle_between(*pts[i:i + 3]) == pytest.approx(ANGLES[tuple(names[i:i + 3])], abs=1e-6)
    for r in range(1, len(pairs)):
        n0, ca0, c0, n1, ca1, c1 = pts[3 * r - 3:3 * r + 3]
        assert wrapped_diff(dihedral(n0, ca0, c0, n1), pairs[r - 1][1]) == pytest.approx(0, abs=1e-6)
        assert wrapped_diff(dihedral(ca0, c0, n1, ca1), 180.0) == pytest.approx(0, abs=1e-6)
        assert wrapped_diff(dihedral(c0, n1, ca1, c1), pairs[r][0]) == pytest.approx(0, abs=1e-6)


@settings(max_examples=30, deadline=None)
@given(chains, angle, angle)
def test_first_phi_and_last_psi_are_unused(core, pairs, phi0, psi_last):
    changed = list(pairs)
    changed[0] = (phi0, changed[0][1])
    changed[-1] = (changed[-1][0], psi_last)
    assert core.py_build_backbone("G" * len(pairs), pairs) == core.py_build_backbone("G" * len(pairs), changed)
    first = core.py_build_backbone("M", [changed[0]])
    assert [(a["x"], a["y"], a["z"]) for a in first] == [(0.0, 0.0, 0.0), (1.458, 0.0, 0.0), C0]


def test_long_chains_match_the_reference_exactly(core):
    # Long enough that the chain is walked ahead of the dict building, with a
    # count that is not a multiple of the hand-over batch.
    rng = np.random.default_rng(3)
    pairs = [(float(p), float(q)) for p, q in rng.uniform(-180, 180, size=(5003, 2))]
    expected = reference_nerf(pairs)
    atoms = core.py_build_backbone("W" * len(pairs), pairs)
    assert [[a["x"], a["y"], a["z"]] for a in atoms] == expected
    assert [a["res_idx"] for a in atoms[-3:]] == [5002] * 3
    shorter = core.py_build_backbone("W" * 4100, pairs)
    assert [[a["x"], a["y"], a["z"]] for a in shorter] == expected[:3 * 4100]


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="an address-space limit starves the sanitizer's own mappings")
def test_running_out_of_memory_midway_is_a_clean_memory_error(tmp_path):
    # The output cannot fit under the limit, so building fails after many
    # residues are done; the error must come back (nothing hangs or leaks
    # into the next call) and the interpreter carries on.
    script = tmp_path / "oom.py"
    script.write_text(textwrap.dedent("""
        import resource, sys
        import lumivarex._lumivarex_core as core
        pairs = [(-57.0, -47.0)] * 400_000
        seq = "A" * len(pairs)
        # This thread's first C++ error sets up the runtime's per-thread data,
        # which the C library cannot do without memory: have it done now.
        try:
            core.py_build_backbone("", pairs)
        except core.PanicException:
            pass
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 50 * 2**20, resource.RLIM_INFINITY))
        try:
            core.py_build_backbone(seq, pairs)
        except MemoryError:
            pass
        else:
            sys.exit("no MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        assert len(core.py_build_backbone(seq[:3000], pairs)) == 9000
        print("ok")
    """))
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr


def test_alpha_helix_is_right_handed_with_ideal_ca_spacing(core):
    atoms = core.py_build_backbone("A" * 20, [(-57, -47)] * 20)
    ca = [xyz(a) for a in atoms if a["name"] == "CA"]
    assert {round(float(np.linalg.norm(ca[i + 1] - ca[i])), 3) for i in range(19)} == {3.804}
    # A right-handed helix has positive CA(i)..CA(i+3) pseudo-dihedrals (about +50 degrees).
    assert all(40 < dihedral(*ca[i:i + 4]) < 60 for i in range(17))
    # The CA step carries omega's non-zero sine (1.5e-16), not an exact zero.
    assert atoms[4]["z"] != 0.0


def test_residue_count_and_output_shape(core):
    pair = (-60.0, -45.0)
    assert len(core.py_build_backbone("AC", [pair] * 4)) == 6  # surplus pairs are ignored
    assert len(core.py_build_backbone("Aé😀", [pair] * 5)) == 9  # code points, not bytes
    # Too few pairs would silently cut the chain short.
    for sequence, pairs, counts in [("ACDEF", [pair] * 3, "3 < 5"), ("ACD", [], "0 < 3"),
                                    ("Aé😀", [pair] * 2, "2 < 3")]:
        with pytest.raises(ValueError) as info:
            core.py_build_backbone(sequence, pairs)
        assert str(info.value) == f"build_backbone: fewer phi/psi pairs than residues ({counts})"
    atoms = core.py_build_backbone("AC", ((1, 2), (3.5, 4)))  # tuple of tuples, ints accepted
    assert [list(a) for a in atoms] == [["name", "res_idx", "x", "y", "z"]] * 6
    assert all(type(a["res_idx"]) is int and type(a["x"]) is float for a in atoms)


def test_backbone_argument_errors(core):
    for pairs in ([], [(1.0, 2.0)]):
        with pytest.raises(core.PanicException, match="^build_backbone: sequence must be non-empty$"):
            core.py_build_backbone("", pairs)
    for bad in ([[1.0, 2.0]], "ab", [(1.0, 2.0, 3.0)], [(1.0,)], [("a", 1.0)], 5, {(1.0, 2.0)}):
        with pytest.raises(TypeError, match="^argument 'phi_psi_deg': "):
            core.py_build_backbone("A", bad)
    with pytest.raises(TypeError, match="^argument 'sequence': "):
        core.py_build_backbone(b"A", [(1.0, 2.0)])


RAMACHANDRAN = {
    "alpha_helix": [(-57, -47), (-100, -80), (-30, -10), (-57.0, -47.0)],
    "beta_sheet": [(-120, 130), (-90, 150), (-180, 180), (-90, 110)],
    "polyproline_ii": [(-75, 145), (-30, 110), (-89.999, 180)],
    "left_alpha": [(60, 45), (30, 0), (90, 90)],
    "other": [(-29.999, -47), (-75, 100), (60, -1), (180, 180), (-200, 150), (200, 45),
              (math.nan, -47), (-57, math.nan), (math.inf, math.inf)],
}


def test_ramachandran_regions(core):
    for region, cases in RAMACHANDRAN.items():
        for phi, psi in cases:
            assert core.py_ramachandran_region(phi, psi) == region, (phi, psi)
    assert core.py_ramachandran_region(psi_deg=-47, phi_deg=-57) == "alpha_helix"
    with pytest.raises(TypeError, match="^argument 'psi_deg': "):
        core.py_ramachandran_region(-57, "x")


def test_backbone_from_entry(make_package):
    residues = [{"residue": "Ala", "phi": -57, "psi": -47.5}, {"residue": "", "phi": "x"},
                {"residue": 5, "psi": 12}, {}, "Q", {"residue": "é"}]
    pkg = make_package({
        "protein/helix.json": {"residues": residues},
        "protein/upper.json": {"Residues": [{"residue": "G", "phi": 10, "psi": 20}] * 2},
        "protein/empty.json": {"residues": []},
        "protein/shadowed.json": {"residues": "ACD", "Residues": [{"residue": "G"}]},
        "protein/none.json": {"name": "none"},
        "molecule/both.json": {"residues": [{"residue": "W"}, {"residue": "W"}]},
        "protein/both.json": {"residues": [{"residue": "Y"}]},
    })
    out = pkg.eval("""(
        core.py_build_backbone_from_entry('helix')
          == core.py_build_backbone('AXXXXé', [(-57, -47.5), (0, 0), (0, 12), (0, 0), (0, 0), (0, 0)]),
        core.py_build_backbone_from_entry('upper') == core.py_build_backbone('GG', [(10, 20)] * 2),
        core.py_build_backbone_from_entry(entry_name='empty'),
        len(core.py_build_backbone_from_entry('both')),
    )""")
    assert out == (True, True, [], 6)  # the molecule tier is searched before protein
    expect_errors(pkg, [
        ("'missing'", "KeyError", "build_backbone_from_entry: entry 'missing' not found"),
        ("'HELIX'", "KeyError", "build_backbone_from_entry: entry 'HELIX' not found"),
        ("'shadowed'", "KeyError", "build_backbone_from_entry: entry 'shadowed' has no 'residues' array"),
        ("'none'", "KeyError", "build_backbone_from_entry: entry 'none' has no 'residues' array"),
        ("''", "PanicException", "build_backbone_from_entry: name must be non-empty"),
    ], "core.py_build_backbone_from_entry({})")
