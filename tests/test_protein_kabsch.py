"""Kabsch RMSD."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
from Bio.SVDSuperimposer import SVDSuperimposer
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import lumivarex

coord = st.floats(-100.0, 100.0, allow_nan=False)
point_sets = st.integers(1, 30).flatmap(
    lambda n: st.tuples(*[st.lists(st.tuples(coord, coord, coord), min_size=n, max_size=n)] * 2))
quaternions = st.tuples(*[st.floats(-1.0, 1.0)] * 4).filter(lambda q: sum(x * x for x in q) > 1e-3)


def rotation(q):
    w, x, y, z = np.array(q) / np.linalg.norm(q)
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                     [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                     [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])


def biopython_rms(a, b):
    sup = SVDSuperimposer()
    sup.set(np.array(a, dtype=float), np.array(b, dtype=float))
    sup.run()
    return sup.get_rms()


@settings(max_examples=80, deadline=None)
@given(point_sets)
def test_matches_biopython_and_is_symmetric(core, sets):
    a, b = sets
    expected = biopython_rms(a, b)
    assert core.py_kabsch_rmsd(a, b) == pytest.approx(expected, rel=1e-9, abs=1e-9)
    assert core.py_kabsch_rmsd(b, a) == pytest.approx(expected, rel=1e-9, abs=1e-9)


@settings(max_examples=60, deadline=None)
@given(point_sets, quaternions, st.tuples(coord, coord, coord))
def test_rigid_motion_gives_zero_and_mirror_image_does_not(core, sets, q, shift):
    a = np.array(sets[0])
    moved = a @ rotation(q).T + np.array(shift)
    assert core.py_kabsch_rmsd(a.tolist(), moved.tolist()) == pytest.approx(0.0, abs=1e-9)
    # A mirror image of a clearly non-planar set cannot be superimposed by a rotation.
    centred = a - a.mean(axis=0)
    assume(len(a) >= 4 and np.linalg.svd(centred, compute_uv=False)[-1] > 1.0)
    mirrored = moved * np.array([-1.0, 1.0, 1.0])
    assert core.py_kabsch_rmsd(a.tolist(), mirrored.tolist()) > 1e-3


def test_argument_forms(core):
    a = [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 2.0, 0.0], [0.0, 0.0, 3.0]]
    b = [[1.0, 2.0, 0.5], [0.0, 1.0, 1.0], [3.0, 0.0, 0.0], [1.0, 1.0, 1.0]]
    ref = core.py_kabsch_rmsd(a, b)
    assert ref > 0
    arr_b = np.array(b)
    same_value_forms = [
        (tuple(map(tuple, a)), tuple(map(tuple, b))),             # tuples of tuples
        (np.array(a), arr_b),                                      # float64 arrays
        (np.array(a, dtype=np.int64), arr_b),                      # integer array
        (np.array(a, dtype=np.float32), arr_b.astype(np.float32)),
        (np.hstack([a, np.ones((4, 2))])[:, :3], arr_b[::1]),      # strided view
        ([r + [99.0] for r in a], b),                              # extra columns ignored
    ]
    for x, y in same_value_forms:
        assert core.py_kabsch_rmsd(x, y) == pytest.approx(ref, rel=1e-6)
    assert core.py_kabsch_rmsd(b=b, a=a) == ref
    assert core.py_kabsch_rmsd([[1, 2, 3]], [[7, -8, 9]]) == 0.0
    assert core.py_kabsch_rmsd(a, a) == pytest.approx(0.0, abs=1e-12)


def test_wrapper_checks_in_order(core):
    ok = [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0]]
    # Two empty sets match; one empty set against a full one is a length
    # mismatch, checked before the rows.
    for x, y in [([], []), (np.zeros((0, 3)), ()), (np.zeros((0, 2)), [])]:
        assert core.py_kabsch_rmsd(x, y) == 0.0
    for x, y, message in [
        ([], ok, "a and b must have same length"),
        (ok, [], "a and b must have same length"),
        (np.zeros((0, 3)), ok, "a and b must have same length"),
        ([], [[1, 2]], "a and b must have same length"),
        (ok, ok[:1], "a and b must have same length"),
        ([[1, 2]], ok, "a and b must have same length"),  # length first, then rows
        ([[1, 2], [1, 2, 3]], ok, "each row must have 3 elements"),
        (ok, [[1, 2, 3], [1, 2]], "each row must have 3 elements"),
        (np.zeros((2, 2)), ok, "each row must have 3 elements"),
    ]:
        with pytest.raises(ValueError) as info:
            core.py_kabsch_rmsd(x, y)
        assert str(info.value) == message
    for x, y, arg in [("abc", ok, "a"), (ok, "abc", "b"), (["abc", "def"], ok, "a"), ([[1, "x", 3]], ok, "a"),
                      (ok, [[1, 2, 3], 4], "b"), ({1, 2}, ok, "a"), (ok, [[1, 2, 3], [1, 2, 3, "x"]], "b")]:
        with pytest.raises(TypeError, match=f"^argument '{arg}': "):
            core.py_kabsch_rmsd(x, y)


def test_non_finite_coordinates_return_promptly():
    # Run apart so that a decomposition that never converged would show up
    # as a timeout instead of a hung test run.
    script = textwrap.dedent("""
        import math, lumivarex._lumivarex_core as core
        base = [[0.0, 0.0, 0.0], [1.0, 0.2, 0.0], [0.3, 2.0, 0.1], [0.0, 0.5, 3.0]]
        results = []
        for bad in (math.nan, math.inf, -math.inf, 1e308):
            for side in range(2):
                pts = [list(r) for r in base]
                pts[2][1] = bad
                if bad == 1e308:
                    pts[1][1] = 1e308  # finite input whose sums overflow
                args = (pts, base) if side == 0 else (base, pts)
                results.append(core.py_kabsch_rmsd(*args))
        print(all(isinstance(r, float) for r in results), sum(r != r for r in results), len(results))
    """)
    env = dict(os.environ, PYTHONPATH=str(Path(lumivarex.__file__).parents[1]))
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, env=env)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["True", "8", "8"]
